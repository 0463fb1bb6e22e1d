#include "Ed25519.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>
#include <stdexcept>

namespace shared::ed25519 {

namespace {

struct TKeyFree {
    void operator()(EVP_PKEY* Key) const { EVP_PKEY_free(Key); }
};
struct TContextFree {
    void operator()(EVP_MD_CTX* Context) const { EVP_MD_CTX_free(Context); }
};
struct TKeyContextFree {
    void operator()(EVP_PKEY_CTX* Context) const { EVP_PKEY_CTX_free(Context); }
};
struct TBioFree {
    void operator()(BIO* Bio) const { BIO_free(Bio); }
};
using TKey = std::unique_ptr<EVP_PKEY, TKeyFree>;
using TContext = std::unique_ptr<EVP_MD_CTX, TContextFree>;

// An encrypted key is refused instead of asking for a pass phrase on the terminal.
int refusePassphrase(char*, int, int, void*)
{
    return 0;
}

TKey readPrivateKey(const QByteArray& PrivateKeyPem)
{
    std::unique_ptr<BIO, TBioFree> Bio(BIO_new_mem_buf(PrivateKeyPem.constData(), PrivateKeyPem.size()));
    if (!Bio) {
        return nullptr;
    }
    TKey Key(PEM_read_bio_PrivateKey(Bio.get(), nullptr, &refusePassphrase, nullptr));
    if (!Key || EVP_PKEY_id(Key.get()) != EVP_PKEY_ED25519) {
        return nullptr;
    }
    return Key;
}

QByteArray rawPublicKey(EVP_PKEY* Key)
{
    QByteArray Raw(kPublicKeySize, Qt::Uninitialized);
    std::size_t Length = static_cast<std::size_t>(Raw.size());
    if (EVP_PKEY_get_raw_public_key(Key, reinterpret_cast<unsigned char*>(Raw.data()), &Length) != 1 ||
        Length != static_cast<std::size_t>(kPublicKeySize)) {
        return {};
    }
    return Raw;
}

} // namespace

TKeyPair generateKeyPair()
{
    std::unique_ptr<EVP_PKEY_CTX, TKeyContextFree> Context(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
    EVP_PKEY* RawKey = nullptr;
    if (!Context || EVP_PKEY_keygen_init(Context.get()) != 1 || EVP_PKEY_keygen(Context.get(), &RawKey) != 1) {
        throw std::runtime_error("Could not generate an Ed25519 key");
    }
    TKey Key(RawKey);
    std::unique_ptr<BIO, TBioFree> Bio(BIO_new(BIO_s_mem()));
    if (!Bio || PEM_write_bio_PrivateKey(Bio.get(), Key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        throw std::runtime_error("Could not write an Ed25519 key");
    }
    char* Data = nullptr;
    const long Size = BIO_get_mem_data(Bio.get(), &Data);
    TKeyPair Pair;
    Pair.m_PrivateKeyPem = QByteArray(Data, static_cast<int>(Size));
    Pair.m_PublicKey = rawPublicKey(Key.get());
    if (Pair.m_PublicKey.isEmpty()) {
        throw std::runtime_error("Could not read an Ed25519 public key");
    }
    return Pair;
}

QByteArray publicKeyOfPrivateKey(const QByteArray& PrivateKeyPem)
{
    const TKey Key = readPrivateKey(PrivateKeyPem);
    return Key ? rawPublicKey(Key.get()) : QByteArray();
}

QByteArray sign(const QByteArray& PrivateKeyPem, const QByteArray& Message)
{
    const TKey Key = readPrivateKey(PrivateKeyPem);
    const TContext Context(EVP_MD_CTX_new());
    if (!Key || !Context || EVP_DigestSignInit(Context.get(), nullptr, nullptr, nullptr, Key.get()) != 1) {
        throw std::runtime_error("Not an Ed25519 private key");
    }
    QByteArray Signature(kSignatureSize, Qt::Uninitialized);
    std::size_t Length = static_cast<std::size_t>(Signature.size());
    if (EVP_DigestSign(Context.get(), reinterpret_cast<unsigned char*>(Signature.data()), &Length,
                       reinterpret_cast<const unsigned char*>(Message.constData()), static_cast<std::size_t>(Message.size())) != 1 ||
        Length != static_cast<std::size_t>(kSignatureSize)) {
        throw std::runtime_error("Could not sign with the Ed25519 key");
    }
    return Signature;
}

bool verify(const QByteArray& PublicKey, const QByteArray& Message, const QByteArray& Signature)
{
    if (PublicKey.size() != kPublicKeySize || Signature.size() != kSignatureSize) {
        return false;
    }
    const TKey Key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(PublicKey.constData()),
                                               static_cast<std::size_t>(PublicKey.size())));
    const TContext Context(EVP_MD_CTX_new());
    if (!Key || !Context || EVP_DigestVerifyInit(Context.get(), nullptr, nullptr, nullptr, Key.get()) != 1) {
        return false;
    }
    return EVP_DigestVerify(Context.get(), reinterpret_cast<const unsigned char*>(Signature.constData()),
                            static_cast<std::size_t>(Signature.size()), reinterpret_cast<const unsigned char*>(Message.constData()),
                            static_cast<std::size_t>(Message.size())) == 1;
}

QByteArray encodeBase64(const QByteArray& Raw)
{
    return Raw.toBase64();
}

QByteArray decodeBase64(const QByteArray& Text, int ExpectedSize)
{
    const QByteArray Trimmed = Text.trimmed();
    // Base64 of N bytes is exactly 4 * ceil(N / 3) characters; anything longer is refused
    // before decoding.
    if (Trimmed.size() != 4 * ((ExpectedSize + 2) / 3)) {
        return {};
    }
    const QByteArray::FromBase64Result Result = QByteArray::fromBase64Encoding(Trimmed, QByteArray::AbortOnBase64DecodingErrors);
    if (!Result || Result.decoded.size() != ExpectedSize) {
        return {};
    }
    return Result.decoded;
}

QByteArray signatureFileContent(const QByteArray& PrivateKeyPem, const QByteArray& Message)
{
    return encodeBase64(sign(PrivateKeyPem, Message)) + '\n';
}

bool verifyWithAnyKey(const QList<QByteArray>& PublicKeys, const QByteArray& Message, const QByteArray& SignatureFile)
{
    const QByteArray Signature = decodeBase64(SignatureFile, kSignatureSize);
    if (Signature.isEmpty()) {
        return false;
    }
    for (const QByteArray& Key : PublicKeys) {
        if (verify(Key, Message, Signature)) {
            return true;
        }
    }
    return false;
}

} // namespace shared::ed25519
