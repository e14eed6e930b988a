// Windows implementation of base/memory_trim.h: the heap decommits freed blocks itself.
#include "base/memory_trim.h"

namespace tavrik {

void ReturnFreeMemory() {}

}  // namespace tavrik
