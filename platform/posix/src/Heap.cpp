// The process heap. A large block (a message body of many megabytes) is
// taken from the heap, not from a fresh mapping of its own: each fresh page
// costs a fault when first written, and on a virtual machine those faults
// cost more than copying the body. A freed block therefore stays for the
// next large one while the process is at work, and the message loop gives
// the heap's free memory back to the system once the process has been idle
// for a moment (TrimHeap), so nothing stays counted in the process's memory
// for long.
#include <malloc.h>

#include "Heap.h"

namespace {

// glibc's largest threshold on 64-bit systems; larger blocks are mapped
// for themselves, and unmapped when freed.
constexpr int kLargestHeapBlock = 32 * 1024 * 1024;
// Free memory at the heap's top is not given back as blocks are freed,
// only by TrimHeap.
constexpr int kNoTrimOnFree = 1024 * 1024 * 1024;

struct HeapPolicy {
  HeapPolicy() {
    mallopt(M_MMAP_THRESHOLD, kLargestHeapBlock);
    mallopt(M_TRIM_THRESHOLD, kNoTrimOnFree);
    // One heap for every thread: the body a worker read and the window's
    // thread freed is there for the next worker.
    mallopt(M_ARENA_MAX, 1);
  }
} heapPolicy;

}  // namespace

void kwin32::TrimHeap() { malloc_trim(0); }
