// POSIX (glibc) implementation of base/memory_trim.h.
#include <malloc.h>

#include "base/memory_trim.h"

namespace tavrik {

void ReturnFreeMemory() { malloc_trim(0); }

}  // namespace tavrik
