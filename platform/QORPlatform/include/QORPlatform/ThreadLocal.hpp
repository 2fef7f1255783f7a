#pragma once
// Thread-local variables that hot paths read on every call.

/// Marks a thread-local variable of one of the project's libraries (not a plug-in) for the
/// initial-exec TLS model: it is reached with one thread-pointer-relative load instead of a
/// call to `__tls_get_addr`, which the shared libraries' default model makes on every access
/// (the walk of one packet reads a few such memories several times).
///
/// The model sets the variable in the static TLS block that the loader lays out when the
/// program starts, so the library that defines it must be loaded with the program (linked to
/// it, or a dependency of a linked library), as the project's libraries are: a library loaded
/// later with `dlopen` only gets the small surplus the loader keeps, and its loading fails past
/// that. Plug-ins are loaded with `dlopen` and must not use it.
#if defined(__GNUC__) && !defined(_WIN32)
#define QOR_INITIAL_EXEC_TLS [[gnu::tls_model("initial-exec")]]
#else
#define QOR_INITIAL_EXEC_TLS
#endif
