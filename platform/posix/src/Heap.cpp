// The process heap. A large block (a message body of many megabytes) is
// taken from the heap, not from a fresh mapping of its own: each fresh page
// costs a fault when first written, and on a virtual machine those faults
// cost more than copying the body. A freed block therefore stays for the
// next large one while the process is at work (the next message of a fetch
// lands in warm memory). The heap gives its free memory back to the system
// when asked (HeapCompact) and once the process has been idle for a moment
// (the message loop calls TrimHeap), so it is not held for long.
#include <malloc.h>

#include "Heap.h"
#include "Internal.h"

namespace {

// glibc's largest threshold on 64-bit systems; larger blocks are mapped
// for themselves, and unmapped when freed.
constexpr int kLargestHeapBlock = 32 * 1024 * 1024;
// Free memory is not given back as blocks are freed, only by a trim.
constexpr int kNoTrimOnFree = 1024 * 1024 * 1024;
// What GetProcessHeap returns: there is one heap, glibc's.
char processHeap;

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

HANDLE WINAPI GetProcessHeap(void) { return &processHeap; }

// Gives the free memory back. Windows answers with the largest free block
// still committed; none is left once the memory has gone back.
size_t WINAPI HeapCompact(HANDLE hHeap, DWORD) {
  if (hHeap != &processHeap) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  malloc_trim(0);
  SetLastError(ERROR_SUCCESS);
  return 0;
}
