// Real POSIX shared memory and semaphores, each test in its own namespace.
#include "ipc/shared_memory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ipc/command_ring.h"
#include "ipc/hit_ring.h"
#include "ipc/producer_lock.h"
#include "ipc/ring_layout.h"
#include "ipc/worker_lock.h"
#include "tests/support/test_support.h"

namespace tavrik {
namespace {

using std::chrono::milliseconds;
using test::ScopedIpcNamespace;

constexpr milliseconds kShortWait{20};
constexpr milliseconds kLongWait{5000};

std::string ShmFile(const ScopedIpcNamespace& ns, const char* name) {
  return "/dev/shm/" + ns.Name() + "-" + name;
}
std::string SemFile(const ScopedIpcNamespace& ns, const char* name) {
  return "/dev/shm/sem." + ns.Name() + "-" + name;
}
mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// Sets a umask for one scope, restoring the old one.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(previous_); }

 private:
  mode_t previous_;
};

TEST(PosixObjectNameTest, FormsSlashNamespaceDashName) {
  EXPECT_EQ(PosixObjectName("tavrik-1000", "CmdRingMMF"), "/tavrik-1000-CmdRingMMF");
  EXPECT_EQ(PosixObjectName("tavrik-1000", "HitRingEvent"), "/tavrik-1000-HitRingEvent");
}

TEST(PosixObjectNameTest, RefusesWhatCannotBeAFileName) {
  EXPECT_EQ(PosixObjectName("a/b", "CmdRingMMF"), "");
  EXPECT_EQ(PosixObjectName("/ns", "CmdRingMMF"), "");
  EXPECT_EQ(PosixObjectName("ns", "Cmd/Ring"), "");
  EXPECT_EQ(PosixObjectName("", "CmdRingMMF"), "");
  EXPECT_EQ(PosixObjectName(std::string_view("n\0s", 3), "CmdRingMMF"), "");
}

TEST(PosixObjectNameTest, LongestNameStillFitsASemaphoreFile) {
  // "sem." + "<ns>-<name>" must stay within NAME_MAX (255).
  const std::string name = "CmdRingEvent";
  const std::string fits(251 - 1 - name.size(), 'n');
  EXPECT_EQ(PosixObjectName(fits, name).size(), 252u);
  EXPECT_EQ(PosixObjectName(fits + "n", name), "");
}

TEST(CurrentIpcNamespaceTest, EnvironmentOverridesUidDefault) {
  ScopedIpcNamespace ns;
  EXPECT_EQ(CurrentIpcNamespace(), ns.Name());
  ::setenv("TAVRIK_IPC_NAMESPACE", "", 1);  // empty counts as unset
  EXPECT_EQ(CurrentIpcNamespace(), "tavrik-" + std::to_string(::getuid()));
  ::setenv("TAVRIK_IPC_NAMESPACE", ns.Name().c_str(), 1);
}

TEST(SharedMappingTest, CreatesZeroFilledPrivateObjectUnderExactName) {
  ScopedIpcNamespace ns;
  ScopedUmask umask(0277);  // would leave 0400 if the mode were not set explicitly
  SharedMapping mapping = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes);
  ASSERT_TRUE(mapping.HasHandle());
  ASSERT_NE(mapping.View(), nullptr);
  EXPECT_EQ(mapping.Size(), kCmdRingBytes);
  const auto* bytes = static_cast<const unsigned char*>(mapping.View());
  for (std::size_t i = 0; i < kCmdRingBytes; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;

  const std::string file = ShmFile(ns, "CmdRingMMF");
  EXPECT_EQ(std::filesystem::file_size(file), kCmdRingBytes);
  EXPECT_EQ(ModeOf(file), 0600u);
}

TEST(SharedMappingTest, ExistingObjectKeepsContentsInEveryOpenMode) {
  ScopedIpcNamespace ns;
  SharedMapping first = SharedMapping::Open(kHitRingMappingName, kHitRingBytes);
  ASSERT_NE(first.View(), nullptr);
  std::memset(first.View(), 0xA5, kHitRingBytes);

  for (OpenMode mode : {OpenMode::kCreateOrOpen, OpenMode::kOpenExisting}) {
    SharedMapping again = SharedMapping::Open(kHitRingMappingName, kHitRingBytes, mode);
    ASSERT_NE(again.View(), nullptr);
    const auto* bytes = static_cast<const unsigned char*>(again.View());
    EXPECT_EQ(bytes[0], 0xA5);
    EXPECT_EQ(bytes[kHitRingBytes - 1], 0xA5);
    // Both views share the pages.
    bytes = static_cast<const unsigned char*>(first.View());
    static_cast<unsigned char*>(again.View())[7] = 0x11;
    EXPECT_EQ(bytes[7], 0x11);
  }
}

TEST(SharedMappingTest, SmallerExistingObjectGivesHandleWithoutView) {
  ScopedIpcNamespace ns;
  SharedMapping small = SharedMapping::Open(kCmdRingMappingName, 100);
  ASSERT_NE(small.View(), nullptr);
  for (OpenMode mode : {OpenMode::kCreateOrOpen, OpenMode::kOpenExisting}) {
    SharedMapping full = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes, mode);
    EXPECT_TRUE(full.HasHandle());
    EXPECT_EQ(full.View(), nullptr);
    EXPECT_EQ(full.Size(), 0u);
  }
  // Opening did not grow the object.
  EXPECT_EQ(std::filesystem::file_size(ShmFile(ns, "CmdRingMMF")), 100u);
}

TEST(SharedMappingTest, OpenExistingNeverCreates) {
  ScopedIpcNamespace ns;
  SharedMapping mapping =
      SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes, OpenMode::kOpenExisting);
  EXPECT_FALSE(mapping.HasHandle());
  EXPECT_EQ(mapping.View(), nullptr);
  EXPECT_FALSE(std::filesystem::exists(ShmFile(ns, "CmdRingMMF")));
  NamedEvent event = NamedEvent::Open(kCmdRingEventName, OpenMode::kOpenExisting);
  EXPECT_FALSE(event.Valid());
  EXPECT_FALSE(std::filesystem::exists(SemFile(ns, "CmdRingEvent")));
}

TEST(SharedMappingTest, UnusableNamespaceOpensNothing) {
  ScopedIpcNamespace ns;
  ::setenv("TAVRIK_IPC_NAMESPACE", "bad/namespace", 1);
  EXPECT_FALSE(SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes).HasHandle());
  EXPECT_FALSE(NamedEvent::Open(kCmdRingEventName).Valid());
  ::setenv("TAVRIK_IPC_NAMESPACE", std::string(300, 'x').c_str(), 1);
  EXPECT_FALSE(SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes).HasHandle());
  EXPECT_FALSE(NamedEvent::Open(kCmdRingEventName).Valid());
  ::setenv("TAVRIK_IPC_NAMESPACE", ns.Name().c_str(), 1);
}

TEST(SharedMappingTest, AViewCutShortByAnotherProcessIsLostThenRestored) {
  ScopedIpcNamespace ns;
  SharedMapping mapping = SharedMapping::Open(kHitRingMappingName, kHitRingBytes);
  ASSERT_NE(mapping.View(), nullptr);
  auto* bytes = static_cast<volatile unsigned char*>(mapping.View());
  std::memset(mapping.View(), 0xA5, kHitRingBytes);
  EXPECT_EQ(mapping.RestoreIfLost(), SharedMapping::Restore::kIntact);

  const std::string file = ShmFile(ns, "HitRingMMF");
  ASSERT_EQ(::truncate(file.c_str(), 0), 0);
  EXPECT_EQ(bytes[kHitRingBytes - 1], 0);  // would have been SIGBUS
  EXPECT_TRUE(mapping.Lost());
  bytes[0] = 7;  // reaches nobody
  EXPECT_EQ(std::filesystem::file_size(file), 0u);

  EXPECT_EQ(mapping.RestoreIfLost(), SharedMapping::Restore::kRestored);
  EXPECT_FALSE(mapping.Lost());
  EXPECT_EQ(mapping.View(), static_cast<void*>(const_cast<unsigned char*>(bytes)));
  EXPECT_EQ(std::filesystem::file_size(file), kHitRingBytes);
  bytes[5] = 9;
  const SharedMapping peer =
      SharedMapping::Open(kHitRingMappingName, kHitRingBytes, OpenMode::kOpenExisting);
  ASSERT_NE(peer.View(), nullptr);
  const auto* seen = static_cast<const unsigned char*>(peer.View());
  EXPECT_EQ(seen[5], 9);  // shared again
  EXPECT_EQ(seen[0], 0);  // what the ring held is gone
  EXPECT_EQ(seen[kHitRingBytes - 1], 0);
  EXPECT_EQ(mapping.RestoreIfLost(), SharedMapping::Restore::kIntact);
}

TEST(SharedMappingTest, BothEndsOfTheRingsRideOutATruncation) {
  ScopedIpcNamespace ns;
  // Hit ring: the writer stores the message that met the truncation again into the restored
  // ring, and a reader maps that ring again instead of staring at private pages.
  std::vector<std::string> lines;
  const std::unique_ptr<HitRingWriter> writer =
      HitRingWriter::Create(LogSink([&](std::string_view line) { lines.emplace_back(line); }));
  HitRingReader reader(
      SharedMapping::Open(kHitRingMappingName, kHitRingBytes, OpenMode::kOpenExisting),
      NamedEvent::Open(kHitRingEventName, OpenMode::kOpenExisting));
  writer->Publish("before", HitMessage{});
  ASSERT_EQ(::truncate(ShmFile(ns, "HitRingMMF").c_str(), 0), 0);
  writer->Publish("after", HitMessage{});
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "[Loop] Hit ring was cut short by another process; restored at 8464 bytes, unread "
            "messages lost");
  std::optional<HitSlot> got;
  for (int i = 0; i < 2 && !got; ++i) got = reader.TryNext();  // the first look may fault
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(DecodeHitName(*got), "after");
  EXPECT_FALSE(reader.TryNext().has_value());

  // Command ring: a client that published into a ring cut short hears that it reached nobody.
  const SharedMapping worker = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes);
  const SharedMapping client =
      SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes, OpenMode::kOpenExisting);
  ASSERT_EQ(::truncate(ShmFile(ns, "CmdRingMMF").c_str(), 0), 0);
  EXPECT_EQ(PublishCommand(client, NamedEvent(), CommandSlot{},
                           std::chrono::steady_clock::now() + kLongWait),
            PublishResult::kRingLost);
}

TEST(SharedMappingDeathTest, ABusErrorOutsideEveryViewStillEndsTheProcess) {
  ScopedIpcNamespace ns;
  const SharedMapping guarded = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes);
  ASSERT_NE(guarded.View(), nullptr);  // the guard's handler is installed
  // Surviving the read means exit code 0 (the byte read, or a set-up that failed); a sanitizer
  // that reports the fault itself ends the process otherwise than by SIGBUS.
  const auto crashed = [](int status) { return !(WIFEXITED(status) && WEXITSTATUS(status) == 0); };
  EXPECT_EXIT(
      {
        FILE* file = std::tmpfile();
        const int fd = file == nullptr ? -1 : ::fileno(file);
        if (fd < 0 || ::ftruncate(fd, 4096) != 0) std::exit(0);
        void* other = ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
        if (other == MAP_FAILED || ::ftruncate(fd, 0) != 0) std::exit(0);
        std::exit(static_cast<volatile unsigned char*>(other)[0]);
      },
      crashed, "");
}

TEST(SharedMappingTest, MoveTransfersOwnershipAndResetReleases) {
  ScopedIpcNamespace ns;
  SharedMapping a = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes);
  void* view = a.View();
  ASSERT_NE(view, nullptr);
  SharedMapping b = std::move(a);
  EXPECT_FALSE(a.HasHandle());  // NOLINT(bugprone-use-after-move): moved-from state is defined
  EXPECT_EQ(a.View(), nullptr);
  EXPECT_EQ(b.View(), view);
  const auto fd = static_cast<int>(b.Handle());
  b = SharedMapping();  // move-assigning releases what b held
  EXPECT_FALSE(b.HasHandle());
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // the descriptor was closed
  b.Reset();                            // resetting an empty mapping is harmless
}

TEST(SharedMappingTest, ObjectOwnedByAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give an object to another user";
  ScopedIpcNamespace ns;
  {
    SharedMapping mapping = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes);
    NamedEvent event = NamedEvent::Open(kCmdRingEventName);
    ASSERT_NE(mapping.View(), nullptr);
    ASSERT_TRUE(event.Valid());
  }
  ASSERT_EQ(::chown(ShmFile(ns, "CmdRingMMF").c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chown(SemFile(ns, "CmdRingEvent").c_str(), 65534, 65534), 0);
  for (OpenMode mode : {OpenMode::kCreateOrOpen, OpenMode::kOpenExisting}) {
    EXPECT_FALSE(SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes, mode).HasHandle());
    EXPECT_FALSE(NamedEvent::Open(kCmdRingEventName, mode).Valid());
  }
}

TEST(SharedMappingTest, ObjectCreatedByAnotherUserProcessIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a child as another user";
  ScopedIpcNamespace ns;
  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) _exit(2);
    SharedMapping mapping = SharedMapping::Open(kHitRingMappingName, kHitRingBytes);
    NamedEvent event = NamedEvent::Open(kHitRingEventName);
    _exit(mapping.View() != nullptr && event.Valid() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0) << "child could not create the objects";
  EXPECT_FALSE(SharedMapping::Open(kHitRingMappingName, kHitRingBytes).HasHandle());
  EXPECT_FALSE(NamedEvent::Open(kHitRingEventName).Valid());
}

TEST(SharedMappingTest, ExistingObjectsOfOursAreMadePrivateAgain) {
  // A peer (or a careless chmod) that opened our objects to the group or to everyone would let any
  // local user write commands or read results: the mode goes back to 0600 on every open, for the
  // rings, their events and the worker lock alike.
  ScopedIpcNamespace ns;
  {
    SharedMapping mapping = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes);
    NamedEvent event = NamedEvent::Open(kCmdRingEventName);
    WorkerLock lock;
    ASSERT_NE(mapping.View(), nullptr);
    ASSERT_TRUE(event.Valid());
    ASSERT_EQ(WorkerLock::Acquire(lock), WorkerLock::Result::kAcquired);
  }
  const std::string shm = ShmFile(ns, "CmdRingMMF");
  const std::string sem = SemFile(ns, "CmdRingEvent");
  const std::string lock = ShmFile(ns, "TavrikWorkerLock");
  for (const mode_t wide : {0666, 0644, 0660, 0606, 0700}) {
    for (OpenMode mode : {OpenMode::kCreateOrOpen, OpenMode::kOpenExisting}) {
      SCOPED_TRACE(testing::Message() << std::oct << wide << " mode " << static_cast<int>(mode));
      for (const std::string& file : {shm, sem, lock}) ASSERT_EQ(::chmod(file.c_str(), wide), 0);
      const SharedMapping mapping = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes, mode);
      EXPECT_NE(mapping.View(), nullptr);
      EXPECT_EQ(ModeOf(shm), 0600u);
      const NamedEvent event = NamedEvent::Open(kCmdRingEventName, mode);
      EXPECT_TRUE(event.Valid());
      EXPECT_EQ(ModeOf(sem), 0600u);
      // The lock object: by the client's probe, or by the worker taking it.
      if (mode == OpenMode::kOpenExisting) {
        EXPECT_EQ(QueryWorkerLiveness(), WorkerLiveness::kNotRunning);
      } else {
        WorkerLock taken;
        EXPECT_EQ(WorkerLock::Acquire(taken), WorkerLock::Result::kAcquired);
      }
      EXPECT_EQ(ModeOf(lock), 0600u);
    }
  }
}

TEST(NamedEventTest, CreatesPrivateSemaphoreUnderExactName) {
  ScopedIpcNamespace ns;
  ScopedUmask umask(0277);
  NamedEvent event = NamedEvent::Open(kCmdRingEventName);
  ASSERT_TRUE(event.Valid());
  EXPECT_EQ(ModeOf(SemFile(ns, "CmdRingEvent")), 0600u);
}

TEST(NamedEventTest, AutoResetsAndNeverCountsAboveOne) {
  ScopedIpcNamespace ns;
  NamedEvent event = NamedEvent::Open(kHitRingEventName);
  ASSERT_TRUE(event.Valid());
  EXPECT_FALSE(event.Wait(kShortWait));  // created not signalled

  event.Signal();
  EXPECT_TRUE(event.Wait(kShortWait));
  EXPECT_FALSE(event.Wait(kShortWait));

  event.Signal();
  event.Signal();
  event.Signal();
  EXPECT_TRUE(event.Wait(kShortWait));
  EXPECT_FALSE(event.Wait(kShortWait));
}

TEST(NamedEventTest, SignalIsSeenThroughAnotherHandleOfTheSameName) {
  ScopedIpcNamespace ns;
  NamedEvent consumer = NamedEvent::Open(kCmdRingEventName);
  NamedEvent producer = NamedEvent::Open(kCmdRingEventName, OpenMode::kOpenExisting);
  ASSERT_TRUE(producer.Valid());
  producer.Signal();
  producer.Signal();
  EXPECT_TRUE(consumer.Wait(kShortWait));
  EXPECT_FALSE(consumer.Wait(kShortWait));
}

TEST(NamedEventTest, WakesAWaitingThread) {
  ScopedIpcNamespace ns;
  NamedEvent event = NamedEvent::Open(kCmdRingEventName);
  std::atomic<bool> waiting{false};
  bool woke = false;
  std::thread waiter([&] {
    waiting = true;
    woke = event.Wait(kLongWait);
  });
  while (!waiting) std::this_thread::yield();
  event.Signal();
  waiter.join();
  EXPECT_TRUE(woke);
}

TEST(NamedEventTest, WakesAWaiterInAnotherProcess) {
  ScopedIpcNamespace ns;
  NamedEvent event = NamedEvent::Open(kHitRingEventName);
  ASSERT_TRUE(event.Valid());
  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    NamedEvent mine = NamedEvent::Open(kHitRingEventName, OpenMode::kOpenExisting);
    mine.Signal();
    _exit(mine.Valid() ? 0 : 1);
  }
  EXPECT_TRUE(event.Wait(kLongWait));
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(NamedEventTest, InvalidEventNeitherSignalsNorWaits) {
  NamedEvent event;
  event.Signal();
  EXPECT_FALSE(event.Wait(milliseconds(1)));
  NamedEvent moved = std::move(event);
  EXPECT_FALSE(moved.Valid());
}

TEST(ProducerLockTest, ExcludesOtherOpensUntilReleased) {
  ScopedIpcNamespace ns;
  SharedMapping a = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes);
  SharedMapping b = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes);
  ProducerLock first;
  ProducerLock second;
  ASSERT_EQ(ProducerLock::Acquire(a, kShortWait, first), ProducerLock::Result::kAcquired);
  EXPECT_TRUE(first.Held());
  EXPECT_EQ(ProducerLock::Acquire(b, kShortWait, second), ProducerLock::Result::kTimedOut);
  EXPECT_FALSE(second.Held());

  // The lock does not depend on the mapping it came from staying open.
  a.Reset();
  EXPECT_EQ(ProducerLock::Acquire(b, kShortWait, second), ProducerLock::Result::kTimedOut);

  ProducerLock moved = std::move(first);
  EXPECT_EQ(ProducerLock::Acquire(b, kShortWait, second), ProducerLock::Result::kTimedOut);
  moved.Release();
  EXPECT_EQ(ProducerLock::Acquire(b, kShortWait, second), ProducerLock::Result::kAcquired);
}

TEST(ProducerLockTest, NoMappingNoLock) {
  ProducerLock lock;
  EXPECT_EQ(ProducerLock::Acquire(SharedMapping(), kShortWait, lock),
            ProducerLock::Result::kUnavailable);
  EXPECT_FALSE(lock.Held());
}

TEST(WorkerLockTest, OneHolderAtATimeAndClientsSeeIt) {
  ScopedIpcNamespace ns;
  ScopedUmask umask(0277);
  EXPECT_EQ(QueryWorkerLiveness(), WorkerLiveness::kNotRunning);
  EXPECT_FALSE(std::filesystem::exists(ShmFile(ns, "TavrikWorkerLock")));  // asking creates nothing

  WorkerLock first;
  ASSERT_EQ(WorkerLock::Acquire(first), WorkerLock::Result::kAcquired);
  EXPECT_TRUE(first.Held());
  EXPECT_EQ(ModeOf(ShmFile(ns, "TavrikWorkerLock")), 0600u);
  EXPECT_EQ(QueryWorkerLiveness(), WorkerLiveness::kRunning);
  EXPECT_EQ(QueryWorkerLiveness(), WorkerLiveness::kRunning);  // probing did not take it

  WorkerLock second;
  EXPECT_EQ(WorkerLock::Acquire(second, kShortWait), WorkerLock::Result::kTaken);
  EXPECT_FALSE(second.Held());

  first.Release();
  EXPECT_EQ(QueryWorkerLiveness(), WorkerLiveness::kNotRunning);
  EXPECT_EQ(WorkerLock::Acquire(second, kShortWait), WorkerLock::Result::kAcquired);
  // The object stays behind, like the rings; only the lock on it tells whether a worker runs.
  second.Release();
  EXPECT_TRUE(std::filesystem::exists(ShmFile(ns, "TavrikWorkerLock")));
  EXPECT_EQ(QueryWorkerLiveness(), WorkerLiveness::kNotRunning);
}

TEST(WorkerLockTest, AClientsProbeDoesNotKeepTheWorkerOut) {
  ScopedIpcNamespace ns;
  {
    WorkerLock create;
    ASSERT_EQ(WorkerLock::Acquire(create), WorkerLock::Result::kAcquired);
  }
  // A client holds its shared probe lock far longer than any real probe does.
  const int probe = ::open(ShmFile(ns, "TavrikWorkerLock").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(probe, 0);
  ASSERT_EQ(::flock(probe, LOCK_SH | LOCK_NB), 0);
  std::thread release([probe] {
    std::this_thread::sleep_for(milliseconds(200));
    ::close(probe);
  });
  WorkerLock lock;
  EXPECT_EQ(WorkerLock::Acquire(lock, kLongWait), WorkerLock::Result::kAcquired);
  release.join();
}

TEST(WorkerLockTest, ALockObjectOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give an object to another user";
  ScopedIpcNamespace ns;
  {
    WorkerLock create;
    ASSERT_EQ(WorkerLock::Acquire(create), WorkerLock::Result::kAcquired);
  }
  ASSERT_EQ(::chown(ShmFile(ns, "TavrikWorkerLock").c_str(), 65534, 65534), 0);
  WorkerLock lock;
  EXPECT_EQ(WorkerLock::Acquire(lock, kShortWait), WorkerLock::Result::kUnavailable);
  EXPECT_EQ(lock.Status().error, OpenError::kNotOwned);
  OpenStatus status;
  EXPECT_EQ(QueryWorkerLiveness(&status), WorkerLiveness::kUnknown);
  EXPECT_EQ(status.error, OpenError::kNotOwned);
}

}  // namespace
}  // namespace tavrik
