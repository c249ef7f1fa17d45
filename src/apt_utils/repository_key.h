#pragma once

#include <QString>

namespace AppStore {

// The store repository's signing key in apt's key store.
//
// The overloads that take a fingerprint and a key ring exist so that a key
// other than the shipped one can be checked and added (a machine's own test
// key, say); the daemon itself uses the forms without them.
class RepositoryKey
{
public:
    RepositoryKey() = delete;

    static QString storeKeyFingerprint();
    static QString storeKeyRing();

    // apt's key list shows the fingerprint.
    static bool isStoreKeyInstalled();
    static bool isStoreKeyInstalled(const QString &fingerprint);
    // The key ring was added to apt's key store.
    static bool addStoreKey(bool usePkexec);
    static bool addStoreKey(bool usePkexec, const QString &keyRing);
    // Adds the key ring unless its fingerprint is listed already.
    static bool ensureStoreKey();
    static bool ensureStoreKey(const QString &fingerprint, const QString &keyRing);
};

} // namespace AppStore
