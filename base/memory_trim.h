// Handing freed heap memory back to the system.
//
// The allocator keeps freed memory for reuse, so a process that once held a large buffer stays
// that large in resident memory. After the detection releases its caches (a template removed, the
// registry cleared, a budget overrun), ReturnFreeMemory asks the allocator to give the unused
// pages back: glibc's malloc_trim on Linux; on Windows the heap manager decommits on its own and
// the call does nothing.
//
// Threads: any thread; it may take the allocator's locks for a few milliseconds.
#pragma once

namespace tavrik {

void ReturnFreeMemory();

}  // namespace tavrik
