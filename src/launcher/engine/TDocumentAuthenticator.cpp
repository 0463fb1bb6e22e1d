#include "TDocumentAuthenticator.h"

#include "Ed25519.h"

#include <QDebug>

namespace zarvo::launcher {

const char* const TDocumentAuthenticator::kSignatureSuffix = ".sig";

TDocumentAuthenticator::TDocumentAuthenticator(const QStringList& KeyTexts)
{
    for (const QString& Text : KeyTexts) {
        if (Text.trimmed().isEmpty()) {
            continue;
        }
        m_Required = true;
        const QByteArray Key = ::shared::ed25519::decodeBase64(Text.toLatin1(), ::shared::ed25519::kPublicKeySize);
        if (Key.isEmpty()) {
            qWarning() << "Ignoring a public key that is not 32 bytes of base64:" << Text;
            continue;
        }
        m_PublicKeys.append(Key);
    }
}

bool TDocumentAuthenticator::isAuthentic(const QByteArray& Document, const QByteArray& SignatureFile) const
{
    if (!m_Required) {
        return true;
    }
    return ::shared::ed25519::verifyWithAnyKey(m_PublicKeys, Document, SignatureFile);
}

QUrl TDocumentAuthenticator::signatureUrl(const QUrl& DocumentUrl)
{
    if (!DocumentUrl.isValid() || DocumentUrl.isEmpty()) {
        return {};
    }
    QUrl Url = DocumentUrl;
    Url.setPath(DocumentUrl.path(QUrl::FullyEncoded) + QLatin1String(kSignatureSuffix), QUrl::TolerantMode);
    return Url;
}

QString TDocumentAuthenticator::signaturePath(const QString& DocumentPath)
{
    return DocumentPath + QLatin1String(kSignatureSuffix);
}

} // namespace zarvo::launcher
