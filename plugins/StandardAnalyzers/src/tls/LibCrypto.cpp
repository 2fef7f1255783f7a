#include "tls/LibCrypto.hpp"

#include <dlfcn.h>
#include <openssl/opensslv.h>

namespace qor::standard::tls {
namespace {

#define QOR_LIBCRYPTO_STRING(x) #x
#define QOR_LIBCRYPTO_VERSION_STRING(x) QOR_LIBCRYPTO_STRING(x)

/// Opens libcrypto and looks every function up; null when anything is missing. The handle is
/// never closed: the algorithm objects fetched from the library live as long as the process.
const LibCrypto* open() {
    void* handle = ::dlopen(libCryptoFileName(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) return nullptr;
    static LibCrypto functions;
    bool complete = true;
#define QOR_LIBCRYPTO_LOOKUP(name)                                                                   \
    functions.name = reinterpret_cast<decltype(functions.name)>(::dlsym(handle, QOR_LIBCRYPTO_STRING(name))); \
    complete = complete && functions.name != nullptr;
    QOR_LIBCRYPTO_FUNCTIONS(QOR_LIBCRYPTO_LOOKUP)
#undef QOR_LIBCRYPTO_LOOKUP
    return complete ? &functions : nullptr;
}

}  // namespace

const char* libCryptoFileName() { return "libcrypto.so." QOR_LIBCRYPTO_VERSION_STRING(OPENSSL_SHLIB_VERSION); }

const LibCrypto* libCrypto() {
    static const LibCrypto* const functions = open();
    return functions;
}

}  // namespace qor::standard::tls
