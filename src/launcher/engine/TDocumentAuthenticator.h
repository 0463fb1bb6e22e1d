#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

namespace zarvo::launcher {

// Decides whether a downloaded document (launcher configuration, package document, assets
// document) may be used: with publisher keys configured, only when its detached signature
// (the document's URL or path with ".sig" appended, base64 Ed25519 over the exact bytes)
// verifies under one of them. Several keys may be configured so that a new key can be
// introduced before the documents are signed with it.
class TDocumentAuthenticator {
public:
    static const char* const kSignatureSuffix;

    // KeyTexts: the base64 public keys as the settings give them. A text that is no
    // Ed25519 public key is logged and skipped; when every configured text is broken,
    // nothing verifies (a misconfigured launcher must not fall back to trusting anything).
    explicit TDocumentAuthenticator(const QStringList& KeyTexts = {});

    // True when keys are configured, so that every document needs a signature.
    bool isRequired() const { return m_Required; }
    int keyCount() const { return m_PublicKeys.size(); }

    // True when signatures are not required, or SignatureFile verifies Document under one
    // of the keys.
    bool isAuthentic(const QByteArray& Document, const QByteArray& SignatureFile) const;

    // Where a document's signature lives: the path gets ".sig" appended; scheme, host and
    // query stay (a no-cache query must reach the signature too).
    static QUrl signatureUrl(const QUrl& DocumentUrl);
    static QString signaturePath(const QString& DocumentPath);

private:
    QList<QByteArray> m_PublicKeys;
    bool m_Required = false;
};

} // namespace zarvo::launcher
