#include "sha256_hasher.h"

#include <QString>

#include <openssl/evp.h>

Sha256Hasher::Sha256Hasher()
    : m_context(EVP_MD_CTX_new())
{
    reset();
}

Sha256Hasher::~Sha256Hasher()
{
    EVP_MD_CTX_free(m_context);
}

void Sha256Hasher::reset()
{
    EVP_DigestInit_ex(m_context, EVP_sha256(), nullptr);
}

void Sha256Hasher::addData(const QByteArray &data)
{
    EVP_DigestUpdate(m_context, data.constData(), size_t(data.size()));
}

QString Sha256Hasher::hexResult() const
{
    // Finished on a copy, so that more data may still follow.
    EVP_MD_CTX *copy = EVP_MD_CTX_new();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool ok =
        copy && EVP_MD_CTX_copy_ex(copy, m_context) && EVP_DigestFinal_ex(copy, digest, &length);
    EVP_MD_CTX_free(copy);
    if (!ok)
        return QString();
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex());
}
