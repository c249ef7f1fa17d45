#pragma once

#include <QByteArray>

struct evp_md_ctx_st;

// SHA-256 over data fed in pieces, through the system's crypto library: its
// processor-specific code hashes several times faster than a portable one,
// and a package file is hashed while it downloads, on the download's thread.
class Sha256Hasher
{
public:
    Sha256Hasher();
    ~Sha256Hasher();
    Sha256Hasher(const Sha256Hasher &) = delete;
    Sha256Hasher &operator=(const Sha256Hasher &) = delete;

    void reset();
    void addData(const QByteArray &data);
    // Lower-case hexadecimal digest of what was added since the last reset.
    QString hexResult() const;

private:
    evp_md_ctx_st *m_context;
};
