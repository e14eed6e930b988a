// Idle priority for helper threads: they take a core only when nothing else wants it, so the
// worker's extra threads never compete with the user's own work.
//
// Threads: call on the thread to be lowered, once, before it starts its work.
#pragma once

namespace tavrik {

// Lowers the calling thread to idle priority (Linux: SCHED_IDLE; Windows: THREAD_PRIORITY_IDLE).
// False when the system refused (the thread then keeps its priority and works as before).
bool LowerToIdlePriority();

}  // namespace tavrik
