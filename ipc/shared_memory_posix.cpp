// POSIX backend of shared_memory.h: shm_open mappings and named semaphores standing in for
// auto-reset events.
//
// Every object lives under "/<ns>-<name>" and is private to its owner: created 0600, reset to
// 0600 when an existing one of ours grants anything to group or others, and refused when it
// belongs to another user (or its mode cannot be reset), so that nobody else can feed commands to
// a worker or read its results through a pre-created object.
#include <errno.h>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "ipc/object_access_posix.h"
#include "ipc/shared_memory.h"
#include "ipc/view_guard_posix.h"

namespace tavrik {
namespace {

// Where glibc keeps named semaphores: "/name" becomes this prefix followed by "name".
constexpr char kSemaphoreFilePrefix[] = "/dev/shm/sem.";

// A semaphore has no descriptor of its own; its file is vetted through one opened for the
// purpose (never following a link, never waiting on anything).
bool VetPrivateFile(const std::string& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  const bool ok = VetPrivateObject(fd, st);
  ::close(fd);
  return ok;
}

OpenStatus Failure(OpenError error, int systemError = errno) { return {error, systemError}; }

// Opens an existing object and vets it. A creator that has just made the object may not have
// sized it yet; a zero size is given a moment to change before it counts as "too small".
int OpenExistingShm(const std::string& object, off_t& size, OpenStatus& status) {
  const int fd = ::shm_open(object.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) {
    status = Failure(OpenErrorOf(errno));
    return -1;
  }
  struct stat st {};
  for (int attempt = 0;; ++attempt) {
    if (!VetPrivateObject(fd, st)) {
      ::close(fd);
      status = Failure(OpenError::kNotOwned, EACCES);
      return -1;
    }
    if (st.st_size != 0 || attempt >= 50) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  size = st.st_size;
  return fd;
}

// Creates the object exclusively, sized and zero-filled. Returns -1 with errno EEXIST when it is
// already there; any other failure leaves nothing behind.
int CreateShm(const std::string& object, std::size_t bytes) {
  const int fd =
      ::shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateObjectMode);
  if (fd < 0) return -1;
  // The umask may have narrowed the mode; the peer (another process of ours) needs read-write.
  if (::fchmod(fd, kPrivateObjectMode) != 0 || ::ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
    const int saved = errno;
    ::close(fd);
    ::shm_unlink(object.c_str());
    errno = saved == EEXIST ? EIO : saved;
    return -1;
  }
  return fd;
}

timespec MonotonicDeadline(std::chrono::milliseconds timeout) {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const long long ms = timeout.count() < 0 ? 0 : timeout.count();
  long long nsec = now.tv_nsec + (ms % 1000) * 1'000'000LL;
  timespec deadline{};
  deadline.tv_sec = now.tv_sec + static_cast<time_t>(ms / 1000 + nsec / 1'000'000'000LL);
  deadline.tv_nsec = static_cast<long>(nsec % 1'000'000'000LL);
  return deadline;
}

}  // namespace

OpenError OpenErrorOf(int error) {
  return error == ENOENT   ? OpenError::kNotFound
         : error == EACCES ? OpenError::kNotOwned
                           : OpenError::kSystem;
}

bool VetPrivateObject(int fd, struct stat& st) {
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) return false;
  if ((st.st_mode & 07777) == kPrivateObjectMode) return true;
  if (::fchmod(fd, kPrivateObjectMode) != 0) return false;
  return ::fstat(fd, &st) == 0 && (st.st_mode & 07777) == kPrivateObjectMode;
}

void KernelHandleTraits::Close(Value handle) noexcept { ::close(static_cast<int>(handle)); }

void MappedViewTraits::Close(Value view) noexcept {
  UnguardView(view.address);
  ::munmap(view.address, view.size);
}

void EventTraits::Close(Value event) noexcept { ::sem_close(static_cast<sem_t*>(event)); }

std::string CurrentIpcNamespace() {
  if (const char* ns = std::getenv("TAVRIK_IPC_NAMESPACE"); ns != nullptr && *ns != '\0') {
    return ns;
  }
  return "tavrik-" + std::to_string(::getuid());
}

SharedMapping SharedMapping::Open(std::string_view name, std::size_t bytes, OpenMode mode) {
  SharedMapping mapping;
  const std::string object = PosixObjectName(CurrentIpcNamespace(), name);
  if (object.empty() || bytes == 0) {
    mapping.status_ = Failure(OpenError::kBadName, EINVAL);
    return mapping;
  }

  int fd = -1;
  off_t existingSize = 0;
  bool created = false;
  if (mode == OpenMode::kOpenExisting) {
    fd = OpenExistingShm(object, existingSize, mapping.status_);
  } else {
    // Create and open race with a peer doing the same; a few rounds settle who made it.
    for (int attempt = 0; attempt < 4 && fd < 0; ++attempt) {
      fd = CreateShm(object, bytes);
      if (fd >= 0) {
        created = true;
        break;
      }
      if (errno != EEXIST) {
        mapping.status_ = Failure(errno == EACCES ? OpenError::kNotOwned : OpenError::kSystem);
        break;
      }
      fd = OpenExistingShm(object, existingSize, mapping.status_);
      if (fd < 0 && mapping.status_.error != OpenError::kNotFound) break;
    }
  }
  if (fd < 0) return mapping;
  mapping.handle_.Reset(fd);
  mapping.status_ = {};

  if (!created && existingSize < static_cast<off_t>(bytes)) {
    // A ring object is ours (vetted above) and has one size: one cut short, by hand or by a
    // crash, is grown back by the ring's owner rather than left unusable for every peer.
    if (mode == OpenMode::kOpenExisting || ::ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
      mapping.status_ = Failure(OpenError::kTooSmall, mode == OpenMode::kOpenExisting ? 0 : errno);
      return mapping;  // no view
    }
    mapping.grownFrom_ = static_cast<std::uint64_t>(existingSize);
  }
  void* view = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) {
    mapping.status_ = Failure(OpenError::kMapFailed);
    return mapping;
  }
  mapping.view_.Reset(MappedView{view, bytes});
  GuardView(view, bytes);
  return mapping;
}

bool SharedMapping::Lost() const { return View() != nullptr && ViewLost(View()); }

SharedMapping::Restore SharedMapping::RestoreIfLost() {
  void* view = View();
  // The mark goes first: a fault after the remapping below marks the view lost again.
  if (view == nullptr || !TakeViewLost(view)) return Restore::kIntact;
  const int fd = static_cast<int>(handle_.Get());
  const auto bytes = static_cast<off_t>(Size());
  struct stat st {};
  // The content is gone either way; growing the object back (zero-filled) gives every peer a
  // whole ring again, under the name it already knows.
  const bool sized = ::fstat(fd, &st) == 0 && (st.st_size >= bytes || ::ftruncate(fd, bytes) == 0);
  if (sized &&
      ::mmap(view, Size(), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0) != MAP_FAILED) {
    return Restore::kRestored;
  }
  status_ = Failure(OpenError::kMapFailed);
  // A failed MAP_FIXED may have unmapped the range: private pages keep it safe to touch.
  MarkViewLost(view);
  return Restore::kLost;
}

SharedMapping::Restore SharedMapping::RestoreIfCutShort(std::uint64_t* sizeFound) {
  void* view = View();
  if (view == nullptr) return Restore::kIntact;
  // The mark goes first, as in RestoreIfLost.
  const bool faulted = TakeViewLost(view);
  const int fd = static_cast<int>(handle_.Get());
  const auto bytes = static_cast<off_t>(Size());
  struct stat st {};
  const bool known = ::fstat(fd, &st) == 0;
  if (!faulted && (!known || st.st_size >= bytes)) return Restore::kIntact;
  if (sizeFound != nullptr) *sizeFound = known ? static_cast<std::uint64_t>(st.st_size) : 0;
  const bool sized = known && (st.st_size >= bytes || ::ftruncate(fd, bytes) == 0);
  // Unfaulted, the view still maps the object: once it has its size again every page of the view
  // is backed by it. A faulted view stands on private pages and is mapped again.
  if (sized && (!faulted || ::mmap(view, Size(), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd,
                                   0) != MAP_FAILED)) {
    return Restore::kRestored;
  }
  status_ = Failure(sized ? OpenError::kMapFailed : OpenError::kSystem);
  // Still short, or a failed MAP_FIXED may have unmapped the range: private pages keep it safe to
  // touch until the next call.
  MarkViewLost(view);
  return Restore::kLost;
}

NamedEvent NamedEvent::Open(std::string_view name, OpenMode mode) {
  NamedEvent event;
  const std::string object = PosixObjectName(CurrentIpcNamespace(), name);
  if (object.empty()) {
    event.status_ = Failure(OpenError::kBadName, EINVAL);
    return event;
  }
  const std::string file = kSemaphoreFilePrefix + object.substr(1);

  sem_t* sem = SEM_FAILED;
  if (mode == OpenMode::kCreateOrOpen) {
    sem = ::sem_open(object.c_str(), O_CREAT | O_EXCL, kPrivateObjectMode, 0U);
    if (sem == SEM_FAILED && errno != EEXIST) {
      event.status_ = Failure(errno == EACCES ? OpenError::kNotOwned : OpenError::kSystem);
      return event;
    }
  }
  if (sem == SEM_FAILED) sem = ::sem_open(object.c_str(), 0);
  if (sem == SEM_FAILED) {
    event.status_ = Failure(OpenErrorOf(errno));
    return event;
  }
  event.native_.Reset(sem);

  // The umask may have narrowed a new semaphore's mode, or a peer widened an old one's; either
  // way it ends up exactly 0600 or is refused.
  if (!VetPrivateFile(file)) {
    event.native_.Reset();
    event.status_ = Failure(OpenError::kNotOwned, EACCES);
  }
  return event;
}

void NamedEvent::Signal() const {
  auto* sem = static_cast<sem_t*>(native_.Get());
  if (sem == nullptr) return;
  // An auto-reset event is set or not; a semaphore counts. Posting only at zero keeps the count
  // at most 1 (two racing signallers may still both post; Wait absorbs the extra).
  int value = 0;
  if (::sem_getvalue(sem, &value) == 0 && value > 0) return;
  ::sem_post(sem);
}

bool NamedEvent::Wait(std::chrono::milliseconds timeout) const {
  auto* sem = static_cast<sem_t*>(native_.Get());
  if (sem == nullptr) return false;
  const timespec deadline = MonotonicDeadline(timeout);
  for (;;) {
    if (::sem_clockwait(sem, CLOCK_MONOTONIC, &deadline) == 0) break;
    if (errno != EINTR) return false;  // ETIMEDOUT, or a broken semaphore
  }
  // Posts that raced past the zero test in Signal belong to the wake just consumed. Taking them
  // too is safe for the rings: the waker re-reads the indexes after it wakes, and every producer
  // stores its index before it signals.
  while (::sem_trywait(sem) == 0) {
  }
  return true;
}

}  // namespace tavrik
