// The allocator settings of the qor tool.
//
// When qor is linked with jemalloc it runs on jemalloc's defaults: ordinary pages, each arena's
// freed memory returned after the usual decay. Backing jemalloc's extents with transparent huge
// pages was measured and dropped: on a virtual machine whose memory the hypervisor has not yet
// backed (any freshly started one), each 2 MiB page is zeroed through host faults, and
// `qor protocols` on a million-packet capture took 1.1 to 1.3 s instead of 0.5 s, with half its
// time clearing huge pages; on a machine whose memory had all been touched before, huge pages
// saved at most a tenth. The packet arena, which holds the records of a kept capture, uses
// ordinary pages too and populates them a step at a time ahead of use (see PacketArena), and so
// do the list of a kept capture's packets and the index of their bytes. Backed by huge pages,
// those two made `taskset -c 0 qor protocols` take 1.16 s instead of 1.00 s and `qor protocols`
// on two cores 0.93 s instead of 0.67 s in one series of alternating runs, with a seventh of the
// time clearing their huge pages, and made no difference in a later series. The tool asks for
// ordinary pages for the whole process, so a system set to use huge pages "always" does not
// bring them back.

#include "Allocator.hpp"

#include <sys/prctl.h>

namespace qor::cli {

void preferSmallPages() {
    // The flag is the process's: memory faulted in from now on is backed by 4 KiB pages, even
    // where the system would back it with huge ones. A kernel without it just keeps huge pages.
    (void)::prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
}

}  // namespace qor::cli
