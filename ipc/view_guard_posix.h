// POSIX backend helper: the SIGBUS guard of mapped views (the contract is at the top of
// shared_memory.h). Used by shared_memory_posix.cpp only.
//
// Threads: any thread. The table of guarded views is a fixed array of atomics, read by the signal
// handler without a lock.
#pragma once

#include <cstddef>

namespace tavrik {

// Guards a mapped view, installing the SIGBUS handler on first use. False when the table is full;
// that view then stays unguarded.
bool GuardView(void* address, std::size_t size);
// Forgets a view; call before it is unmapped.
void UnguardView(void* address);

// True when a fault swapped the view for private pages and nobody has taken the mark since.
bool ViewLost(const void* address);
// Takes the mark: true when it was set (and is now clear).
bool TakeViewLost(const void* address);
// Swaps the view for private zero pages and sets the mark, as a fault would.
void MarkViewLost(void* address);

}  // namespace tavrik
