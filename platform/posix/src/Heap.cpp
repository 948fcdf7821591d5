// The process heap as Windows keeps it for large blocks. Windows gives a
// block above about half a megabyte its own pages and returns them when it
// is freed. glibc does so too at first, but raises its threshold after each
// such free, so that later blocks of a large message come from the main heap
// and stay with the process once freed: a session fetching several large
// messages one after another would then seem to keep them all. A fixed
// threshold keeps the Windows behaviour.
#include <malloc.h>

namespace {

constexpr int kLargeBlock = 512 * 1024;

__attribute__((constructor)) void KeepLargeBlocksApart() { mallopt(M_MMAP_THRESHOLD, kLargeBlock); }

}  // namespace
