#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace shared {

// Ed25519 signatures through OpenSSL's EVP interface, shared by the packaging tool (which
// signs) and the launcher (which verifies).
//
// Formats, chosen so that a publisher can also use stock tools:
//   - private key: PEM "PRIVATE KEY" (PKCS#8), as `openssl genpkey -algorithm ed25519` writes it;
//   - public key: base64 of the raw 32 key bytes, one line;
//   - signature: base64 of the raw 64 signature bytes over the document's exact bytes, one line
//     (a trailing line break and surrounding white space are ignored when reading).
namespace ed25519 {

constexpr int kPublicKeySize = 32;
constexpr int kSignatureSize = 64;

struct TKeyPair {
    QByteArray m_PrivateKeyPem; // PKCS#8 PEM text
    QByteArray m_PublicKey; // the 32 raw bytes
};

// A fresh random key pair. Throws std::runtime_error when OpenSSL fails.
TKeyPair generateKeyPair();

// The raw public key of a PEM private key; empty when the PEM is not an Ed25519 private key.
QByteArray publicKeyOfPrivateKey(const QByteArray& PrivateKeyPem);

// The 64 signature bytes of Message. Throws std::runtime_error when the key is not an
// Ed25519 private key.
QByteArray sign(const QByteArray& PrivateKeyPem, const QByteArray& Message);

// True when Signature (64 raw bytes) is PublicKey's (32 raw bytes) signature of Message.
// Wrong sizes are simply false.
bool verify(const QByteArray& PublicKey, const QByteArray& Message, const QByteArray& Signature);

// Base64 text of a key or signature, and back. decodeBase64 returns empty bytes unless the
// text (trimmed) is strict base64 of exactly ExpectedSize bytes.
QByteArray encodeBase64(const QByteArray& Raw);
QByteArray decodeBase64(const QByteArray& Text, int ExpectedSize);

// The content of a ".sig" file for Message.
QByteArray signatureFileContent(const QByteArray& PrivateKeyPem, const QByteArray& Message);

// True when SignatureFile (the content of a ".sig" file) verifies Message under any of
// PublicKeys (raw 32-byte keys).
bool verifyWithAnyKey(const QList<QByteArray>& PublicKeys, const QByteArray& Message, const QByteArray& SignatureFile);

} // namespace ed25519
} // namespace shared
