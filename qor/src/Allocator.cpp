// The allocator settings of the qor tool.
//
// When qor is linked with jemalloc, jemalloc reads `malloc_conf` before the first allocation.
// Analysing a capture keeps hundreds of bytes per packet alive in small objects, a gigabyte for
// a large file; backing jemalloc's extents with transparent huge pages makes the first touch of
// that memory several times cheaper (one fault per 2 MiB instead of one per 4 KiB), which on
// virtual machines is most of the cost of growing the heap. Freed memory goes back to the
// system after the usual decay; nothing else changes. Commands that stream a capture opt out of
// huge pages at run time (`preferSmallPages`).

#include "Allocator.hpp"

#include <sys/prctl.h>

#ifdef QOR_WITH_JEMALLOC
extern "C" {
extern const char* malloc_conf;
const char* malloc_conf = "thp:always,metadata_thp:auto";
}
#endif

namespace qor::cli {

void preferSmallPages() {
    // The flag is the process's: memory faulted in from now on is backed by 4 KiB pages, even
    // where jemalloc asked for huge ones. A kernel without it just keeps huge pages.
    (void)::prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
}

}  // namespace qor::cli
