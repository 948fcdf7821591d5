// The process heap as Windows keeps it for large blocks: a block of 512 KiB
// or more is taken from the system and given back when freed. glibc would
// otherwise raise its threshold after the first large free, so that a
// freed message body of many megabytes stays in the heap, counted in the
// process's memory, until the process ends.
#include <malloc.h>

namespace {

constexpr int kLargeBlock = 512 * 1024;

struct LargeBlocksFromTheSystem {
  LargeBlocksFromTheSystem() { mallopt(M_MMAP_THRESHOLD, kLargeBlock); }
} largeBlocksFromTheSystem;

}  // namespace
