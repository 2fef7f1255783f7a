#pragma once
// libcrypto, opened the first time the plug-in needs a cipher, a MAC or a key derivation.
//
// Loading libcrypto maps and relocates megabytes of code and tables, about 1.5 MB resident, and
// runs its initialisers; only TLS decryption uses it, and most commands never decrypt. So the
// plug-in does not link libcrypto: it opens it with `dlopen` when a TLS session first derives
// keys or decrypts a record, and calls it through the table `libCrypto()` gives. The types and
// constants still come from OpenSSL's headers, so the table's function types are the library's
// own. A library that cannot be opened, or that lacks one of the functions, gives no table:
// decryption then finds no keys, as it does for a cipher OpenSSL does not offer.

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

/// The libcrypto functions the plug-in calls, each as `QOR_LIBCRYPTO_FUNCTION(name)`.
#define QOR_LIBCRYPTO_FUNCTIONS(QOR_LIBCRYPTO_FUNCTION) \
    QOR_LIBCRYPTO_FUNCTION(CRYPTO_memcmp)                \
    QOR_LIBCRYPTO_FUNCTION(EVP_CIPHER_fetch)             \
    QOR_LIBCRYPTO_FUNCTION(EVP_CIPHER_get_key_length)    \
    QOR_LIBCRYPTO_FUNCTION(EVP_CIPHER_CTX_new)           \
    QOR_LIBCRYPTO_FUNCTION(EVP_CIPHER_CTX_free)          \
    QOR_LIBCRYPTO_FUNCTION(EVP_CIPHER_CTX_ctrl)          \
    QOR_LIBCRYPTO_FUNCTION(EVP_CIPHER_CTX_set_padding)   \
    QOR_LIBCRYPTO_FUNCTION(EVP_DecryptInit_ex2)          \
    QOR_LIBCRYPTO_FUNCTION(EVP_DecryptUpdate)            \
    QOR_LIBCRYPTO_FUNCTION(EVP_DecryptFinal_ex)          \
    QOR_LIBCRYPTO_FUNCTION(EVP_MAC_fetch)                \
    QOR_LIBCRYPTO_FUNCTION(EVP_MAC_CTX_new)              \
    QOR_LIBCRYPTO_FUNCTION(EVP_MAC_CTX_free)             \
    QOR_LIBCRYPTO_FUNCTION(EVP_MAC_init)                 \
    QOR_LIBCRYPTO_FUNCTION(EVP_MAC_update)               \
    QOR_LIBCRYPTO_FUNCTION(EVP_MAC_final)                \
    QOR_LIBCRYPTO_FUNCTION(EVP_KDF_fetch)                \
    QOR_LIBCRYPTO_FUNCTION(EVP_KDF_CTX_new)              \
    QOR_LIBCRYPTO_FUNCTION(EVP_KDF_CTX_free)             \
    QOR_LIBCRYPTO_FUNCTION(EVP_KDF_derive)               \
    QOR_LIBCRYPTO_FUNCTION(OSSL_PARAM_construct_int)     \
    QOR_LIBCRYPTO_FUNCTION(OSSL_PARAM_construct_utf8_string) \
    QOR_LIBCRYPTO_FUNCTION(OSSL_PARAM_construct_octet_string) \
    QOR_LIBCRYPTO_FUNCTION(OSSL_PARAM_construct_end)

namespace qor::standard::tls {

/// The functions of the opened libcrypto, under their own names.
struct LibCrypto {
#define QOR_LIBCRYPTO_FIELD(name) decltype(&::name) name = nullptr;
    QOR_LIBCRYPTO_FUNCTIONS(QOR_LIBCRYPTO_FIELD)
#undef QOR_LIBCRYPTO_FIELD
};

/// The file name libcrypto is opened by: the shared-library version of the headers the plug-in
/// was built with ("libcrypto.so.3"), so the functions found have the types compiled against.
const char* libCryptoFileName();

/// libcrypto's functions, the library opened on the first call (from any thread) and kept open
/// for the life of the process; null when it cannot be opened or lacks a function, then and on
/// every later call.
const LibCrypto* libCrypto();

}  // namespace qor::standard::tls
