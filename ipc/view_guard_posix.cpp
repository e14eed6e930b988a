// POSIX backend of view_guard_posix.h: a SIGBUS handler that swaps a guarded view whose object was
// cut short for private zero pages, so that the faulting access is retried and succeeds.
#include "ipc/view_guard_posix.h"

#include <errno.h>
#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace tavrik {
namespace {

struct GuardedView {
  std::atomic<std::uintptr_t> begin{0};  // 0: free entry
  std::atomic<std::size_t> size{0};      // 0 while the entry is being filled or emptied
  std::atomic<bool> lost{false};
};

// Each process maps a handful of rings; tests and clients a few more at a time.
constexpr std::size_t kMaxGuardedViews = 64;
GuardedView g_views[kMaxGuardedViews];
struct sigaction g_previous {};  // written once, before the handler is installed
std::once_flag g_installed;

GuardedView* Find(const void* address) {
  const auto begin = reinterpret_cast<std::uintptr_t>(address);
  for (GuardedView& view : g_views) {
    if (begin != 0 && view.begin.load(std::memory_order_acquire) == begin) return &view;
  }
  return nullptr;
}

// Replaces [begin, begin + size) by private zero pages. Async-signal-safe: mmap is a bare system
// call on the systems this backend targets.
bool SwapForPrivatePages(std::uintptr_t begin, std::size_t size) {
  return ::mmap(reinterpret_cast<void*>(begin), size, PROT_READ | PROT_WRITE,
                MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED;
}

// True for the codes of a fault that the faulting instruction raises: returning from the handler
// retries the access, which faults again. Everything else (kill, sigqueue, an asynchronous
// machine-check report such as BUS_MCEERR_AO) happens once and is lost unless raised again.
bool RepeatsOnReturn(int code) {
  switch (code) {
    case BUS_ADRALN:
    case BUS_ADRERR:
    case BUS_OBJERR:
#ifdef BUS_MCEERR_AR
    case BUS_MCEERR_AR:
#endif
      return true;
    default:
      return false;
  }
}

// What the process does with a SIGBUS that is not ours to mend: what it would have done without
// this handler. The guard stays armed whenever the process lives on.
void PassOn(int signal, siginfo_t* info, void* context) {
  if ((g_previous.sa_flags & SA_SIGINFO) != 0 && g_previous.sa_sigaction != nullptr) {
    g_previous.sa_sigaction(signal, info, context);
    return;
  }
  const bool fault = RepeatsOnReturn(info->si_code);
  if ((g_previous.sa_flags & SA_SIGINFO) == 0 && g_previous.sa_handler == SIG_IGN && !fault) {
    return;  // ignored before the guard came, and still ignored
  }
  if ((g_previous.sa_flags & SA_SIGINFO) == 0 && g_previous.sa_handler != SIG_DFL &&
      g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(signal);
    return;
  }
  // The default action: the process ends by SIGBUS (a core where it dumps core). A fault repeats
  // when the access is retried; a signal sent from outside is raised again, and arrives as soon
  // as this handler returns (it is blocked until then).
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(SIGBUS, &fallback, nullptr);
  if (!fault) ::raise(signal);
}

void OnBusError(int signal, siginfo_t* info, void* context) {
  // The interrupted code may be between a failing call and its look at errno.
  const int savedErrno = errno;
  // Only the kernel's own report of an access past the end of a mapped object is ours, and only
  // inside a view we guard. kill(2) and sigqueue(3) from another process cannot forge that code.
  if (info->si_code == BUS_ADRERR) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (GuardedView& view : g_views) {
      const std::uintptr_t begin = view.begin.load(std::memory_order_acquire);
      const std::size_t size = view.size.load(std::memory_order_acquire);
      if (begin == 0 || address - begin >= size) continue;
      if (!SwapForPrivatePages(begin, size)) break;
      view.lost.store(true, std::memory_order_release);
      errno = savedErrno;
      return;  // the access is retried on the private pages
    }
  }
  PassOn(signal, info, context);
  errno = savedErrno;
}

void InstallHandler() {
  struct sigaction action {};
  action.sa_sigaction = OnBusError;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGBUS, &action, &g_previous);
}

}  // namespace

bool GuardView(void* address, std::size_t size) {
  std::call_once(g_installed, InstallHandler);
  const auto begin = reinterpret_cast<std::uintptr_t>(address);
  for (GuardedView& view : g_views) {
    std::uintptr_t expected = 0;
    if (!view.begin.compare_exchange_strong(expected, begin, std::memory_order_acq_rel)) continue;
    view.lost.store(false, std::memory_order_relaxed);
    // Release: pairs with the handler's acquire loads; begin is set before size, so a handler
    // that sees the size sees the whole entry.
    view.size.store(size, std::memory_order_release);
    return true;
  }
  return false;
}

void UnguardView(void* address) {
  if (GuardedView* view = Find(address)) {
    view->size.store(0, std::memory_order_release);
    view->begin.store(0, std::memory_order_release);
  }
}

bool ViewLost(const void* address) {
  const GuardedView* view = Find(address);
  // Acquire: pairs with the handler's release store of the mark.
  return view != nullptr && view->lost.load(std::memory_order_acquire);
}

bool TakeViewLost(const void* address) {
  GuardedView* view = Find(address);
  return view != nullptr && view->lost.exchange(false, std::memory_order_acq_rel);
}

void MarkViewLost(void* address) {
  if (GuardedView* view = Find(address)) {
    SwapForPrivatePages(reinterpret_cast<std::uintptr_t>(address),
                        view->size.load(std::memory_order_acquire));
    view->lost.store(true, std::memory_order_release);
  }
}

}  // namespace tavrik
