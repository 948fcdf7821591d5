// What the message loop tells the heap.
#ifndef KWIN32_HEAP_H
#define KWIN32_HEAP_H

namespace kwin32 {

// Gives the heap's free memory back to the system; the message loop calls
// it once the process has been idle for a moment after work.
void TrimHeap();

}  // namespace kwin32

#endif
