#pragma once
// OpenSSL algorithm objects fetched once per process.
//
// Fetching an algorithm by name looks it up in OpenSSL's provider store under a process-wide
// lock; done for every session (a key derivation, a record decryptor), the probes of many
// sessions on many threads queue on that lock. Each name is fetched once and the object kept
// for the life of the process; the objects are immutable and shared by any number of contexts
// on any thread.

#include <map>
#include <mutex>
#include <string>

#include "tls/LibCrypto.hpp"

namespace qor::standard::tls {

namespace detail {
template <class Algorithm>
Algorithm* fetchedOnce(Algorithm* (*fetch)(OSSL_LIB_CTX*, const char*, const char*), const char* name) {
    static std::mutex lock;
    // Never destroyed, so that the objects stay reachable (and usable) until the process ends,
    // after static destructors have run.
    static auto* fetched = new std::map<std::string, Algorithm*, std::less<>>;
    std::lock_guard guard(lock);
    auto it = fetched->find(std::string_view(name));
    if (it != fetched->end()) return it->second;
    Algorithm* algorithm = fetch(nullptr, name, nullptr);
    if (algorithm) fetched->emplace(name, algorithm);
    return algorithm;
}
}  // namespace detail

/// The named key-derivation function, or null when OpenSSL does not offer it (or libcrypto
/// cannot be opened).
inline EVP_KDF* fetchedKDF(const char* name) {
    const LibCrypto* crypto = libCrypto();
    return crypto ? detail::fetchedOnce(crypto->EVP_KDF_fetch, name) : nullptr;
}
/// The named cipher, or null.
inline EVP_CIPHER* fetchedCipher(const char* name) {
    const LibCrypto* crypto = libCrypto();
    return crypto ? detail::fetchedOnce(crypto->EVP_CIPHER_fetch, name) : nullptr;
}
/// The named MAC, or null.
inline EVP_MAC* fetchedMAC(const char* name) {
    const LibCrypto* crypto = libCrypto();
    return crypto ? detail::fetchedOnce(crypto->EVP_MAC_fetch, name) : nullptr;
}

}  // namespace qor::standard::tls
