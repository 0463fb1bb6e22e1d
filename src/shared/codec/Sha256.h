#pragma once

#include <QByteArray>

#include <cstddef>

typedef struct evp_md_ctx_st EVP_MD_CTX;

namespace shared {

// SHA-256 through OpenSSL's libcrypto (several times faster than QCryptographicHash here).
class TSha256 {
public:
    static constexpr int kDigestSize = 32;

    TSha256();
    ~TSha256();
    TSha256(const TSha256&) = delete;
    TSha256& operator=(const TSha256&) = delete;

    void addData(const void* Data, std::size_t Size);
    void addData(const QByteArray& Data) { addData(Data.constData(), static_cast<std::size_t>(Data.size())); }
    // The 32 digest bytes; the object starts over afterwards.
    QByteArray result();

    static QByteArray hash(const void* Data, std::size_t Size);
    static QByteArray hash(const QByteArray& Data) { return hash(Data.constData(), static_cast<std::size_t>(Data.size())); }

private:
    EVP_MD_CTX* m_pContext;
};

} // namespace shared
