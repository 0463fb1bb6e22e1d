#include "Sha256.h"

#include <openssl/evp.h>

#include <new>

namespace shared {

TSha256::TSha256()
    : m_pContext(EVP_MD_CTX_new())
{
    if (!m_pContext || EVP_DigestInit_ex(m_pContext, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(m_pContext);
        throw std::bad_alloc();
    }
}

TSha256::~TSha256()
{
    EVP_MD_CTX_free(m_pContext);
}

void TSha256::addData(const void* Data, std::size_t Size)
{
    if (Size > 0) {
        EVP_DigestUpdate(m_pContext, Data, Size);
    }
}

QByteArray TSha256::result()
{
    QByteArray Digest(kDigestSize, Qt::Uninitialized);
    unsigned int Length = 0;
    EVP_DigestFinal_ex(m_pContext, reinterpret_cast<unsigned char*>(Digest.data()), &Length);
    EVP_DigestInit_ex(m_pContext, EVP_sha256(), nullptr);
    return Digest;
}

QByteArray TSha256::hash(const void* Data, std::size_t Size)
{
    QByteArray Digest(kDigestSize, Qt::Uninitialized);
    unsigned int Length = 0;
    EVP_Digest(Data, Size, reinterpret_cast<unsigned char*>(Digest.data()), &Length, EVP_sha256(), nullptr);
    return Digest;
}

} // namespace shared
