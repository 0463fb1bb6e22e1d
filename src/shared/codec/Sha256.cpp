#include "Sha256.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <new>

namespace shared {

namespace {
// By default OpenSSL registers an exit handler that frees the state of every thread that
// used it. A pool thread still ending while the process exits frees its own state at the
// same moment: one block freed twice, and a heap damaged at exit ("malloc_consolidate():
// invalid chunk size" as the last thread ends). Initialised before anything else uses
// it, and without that handler, OpenSSL leaves the memory to the end of the process.
[[maybe_unused]] const bool g_OpenSslWithoutExitHandler = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
} // namespace

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
