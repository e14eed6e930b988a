// Real POSIX shared memory and semaphores, each test in its own namespace.
#include "ipc/shared_memory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
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
#include "tests/support/xvfb_fixture.h"

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

TEST(PosixObjectNameTest, LongestNamespaceStillFitsASemaphoreFileAndTheLockFile) {
  const std::string name = "CmdRingEvent";
  const std::string fits(kMaxIpcNamespaceChars, 'n');
  EXPECT_EQ(PosixObjectName(fits, name).size(), 1 + 64 + 1 + name.size());
  EXPECT_EQ(PosixObjectName(fits + "n", name), "");
  EXPECT_NE(WorkerLockPath(fits), "");
  EXPECT_EQ(WorkerLockPath(fits + "n"), "");
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
  // A client's way; the ring owner's way grows it (below).
  SharedMapping full =
      SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes, OpenMode::kOpenExisting);
  EXPECT_TRUE(full.HasHandle());
  EXPECT_EQ(full.View(), nullptr);
  EXPECT_EQ(full.Size(), 0u);
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
            "[Loop] Hit ring was cut short by another process (to 0 bytes); restored at 8464 "
            "bytes, unread messages lost");
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

TEST(SharedMappingDeathTest, ASigbusSentFromOutsideEndsTheProcessAsSigbusWould) {
  ScopedIpcNamespace ns;
  const SharedMapping guarded = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes);
  ASSERT_NE(guarded.View(), nullptr);
  // kill(2) from another process, and a queued signal that names an address inside the view:
  // neither is a fault of ours, and neither may leave the process alive without its guard.
  // Ended by SIGBUS; under a sanitizer, whose own SIGBUS handler the guard hands the signal on
  // to, by its report instead. Exit status 0 is survival, 2 a view wrongly taken as faulted.
  const auto endedBySigbus = [](int status) {
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGBUS) return true;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return !(WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 2));
#else
    return false;
#endif
  };
  EXPECT_EXIT(
      {
        ::kill(::getpid(), SIGBUS);
        std::this_thread::sleep_for(milliseconds(100));
        std::exit(0);
      },
      endedBySigbus, "");
  // A queued signal, and the kernel's asynchronous report of a memory error found elsewhere
  // (a process may queue any code to itself): neither repeats once the handler returns.
  for (const int code : {int{SI_QUEUE}, int{BUS_MCEERR_AO}}) {
    SCOPED_TRACE(code);
    EXPECT_EXIT(
        {
          siginfo_t info{};
          info.si_signo = SIGBUS;
          info.si_code = code;
          info.si_pid = ::getpid();
          info.si_uid = ::getuid();
          info.si_addr = guarded.View();
          ::syscall(SYS_rt_sigqueueinfo, ::getpid(), SIGBUS, &info);
          std::this_thread::sleep_for(milliseconds(100));
          std::exit(guarded.Lost() ? 2 : 0);
        },
        endedBySigbus, "");
  }
}

TEST(SharedMappingTest, AnObjectCutShortButNotToZeroIsGrownBackWithoutAFault) {
  ScopedIpcNamespace ns;
  SharedMapping mapping = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes);
  ASSERT_NE(mapping.View(), nullptr);
  std::memset(mapping.View(), 0x5A, kCmdRingBytes);
  std::uint64_t found = 0;
  EXPECT_EQ(mapping.RestoreIfCutShort(&found), SharedMapping::Restore::kIntact);

  const std::string file = ShmFile(ns, "CmdRingMMF");
  for (const off_t size : {8000, 100, 4096, 20000, 1}) {
    SCOPED_TRACE(size);
    ASSERT_EQ(::truncate(file.c_str(), size), 0);
    // Nothing touched the part cut off: no fault marked the view, only the size tells.
    EXPECT_FALSE(mapping.Lost());
    EXPECT_EQ(mapping.RestoreIfCutShort(&found), SharedMapping::Restore::kRestored);
    EXPECT_EQ(found, static_cast<std::uint64_t>(size));
    EXPECT_EQ(std::filesystem::file_size(file), kCmdRingBytes);
    EXPECT_EQ(mapping.RestoreIfCutShort(&found), SharedMapping::Restore::kIntact);
    // The whole view maps the object again: a peer sees what it writes, even past the cut.
    auto* bytes = static_cast<volatile unsigned char*>(mapping.View());
    bytes[kCmdRingBytes - 1] = 0x11;
    const SharedMapping peer =
        SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes, OpenMode::kOpenExisting);
    ASSERT_NE(peer.View(), nullptr);
    EXPECT_EQ(static_cast<const unsigned char*>(peer.View())[kCmdRingBytes - 1], 0x11);
    EXPECT_FALSE(mapping.Lost());
  }
}

TEST(SharedMappingTest, TheWorkerGrowsAShortObjectOfOursAtOpenAndAClientDoesNot) {
  ScopedIpcNamespace ns;
  {
    SharedMapping small = SharedMapping::Open(kHitRingMappingName, 100);
    ASSERT_NE(small.View(), nullptr);
    std::memset(small.View(), 0x33, 100);
  }
  const SharedMapping client =
      SharedMapping::Open(kHitRingMappingName, kHitRingBytes, OpenMode::kOpenExisting);
  EXPECT_EQ(client.View(), nullptr);
  EXPECT_EQ(client.Status().error, OpenError::kTooSmall);
  EXPECT_EQ(client.GrownFrom(), std::nullopt);

  const SharedMapping worker = SharedMapping::Open(kHitRingMappingName, kHitRingBytes);
  ASSERT_NE(worker.View(), nullptr);
  EXPECT_EQ(worker.GrownFrom(), std::optional<std::uint64_t>(100));
  EXPECT_EQ(std::filesystem::file_size(ShmFile(ns, "HitRingMMF")), kHitRingBytes);
  const auto* bytes = static_cast<const unsigned char*>(worker.View());
  EXPECT_EQ(bytes[99], 0x33);  // the bytes the cut left are the ring owner's to judge
  EXPECT_EQ(bytes[kHitRingBytes - 1], 0);
  EXPECT_EQ(SharedMapping::Open(kHitRingMappingName, kHitRingBytes).GrownFrom(), std::nullopt);
}

TEST(IpcNamespaceTest, LettersDigitsDotUnderscoreAndDashUpToSixtyFourWithoutALeadingDot) {
  for (const std::string& good :
       std::vector<std::string>{"tavrik-1000", "a", "A.b_c-d", "0", "x..y", std::string(64, 'n'),
                                "-leading-dash", "_"}) {
    EXPECT_TRUE(IsValidIpcNamespace(good)) << good;
    EXPECT_NE(PosixObjectName(good, "CmdRingMMF"), "") << good;
  }
  for (const std::string& bad : std::vector<std::string>{
           "", ".", "..", ".hidden", " ", "a b", "a\nb", "a/b", std::string(65, 'n'), "caf\xc3\xa9",
           "tab\t", std::string("n\0s", 3), "a:b", "a*", "a\x7f"}) {
    EXPECT_FALSE(IsValidIpcNamespace(bad)) << bad;
    EXPECT_EQ(PosixObjectName(bad, "CmdRingMMF"), "") << bad;
  }
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
  // rings and their events alike.
  ScopedIpcNamespace ns;
  {
    SharedMapping mapping = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes);
    NamedEvent event = NamedEvent::Open(kCmdRingEventName);
    ASSERT_NE(mapping.View(), nullptr);
    ASSERT_TRUE(event.Valid());
  }
  const std::string shm = ShmFile(ns, "CmdRingMMF");
  const std::string sem = SemFile(ns, "CmdRingEvent");
  for (const mode_t wide : {0666, 0644, 0660, 0606, 0700}) {
    for (OpenMode mode : {OpenMode::kCreateOrOpen, OpenMode::kOpenExisting}) {
      SCOPED_TRACE(testing::Message() << std::oct << wide << " mode " << static_cast<int>(mode));
      for (const std::string& file : {shm, sem}) ASSERT_EQ(::chmod(file.c_str(), wide), 0);
      const SharedMapping mapping = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes, mode);
      EXPECT_NE(mapping.View(), nullptr);
      EXPECT_EQ(ModeOf(shm), 0600u);
      const NamedEvent event = NamedEvent::Open(kCmdRingEventName, mode);
      EXPECT_TRUE(event.Valid());
      EXPECT_EQ(ModeOf(sem), 0600u);
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
  EXPECT_EQ(QueryWorkerLiveness(), WorkerLiveness::kNotRunning);

  WorkerLock first;
  ASSERT_EQ(WorkerLock::Acquire(first), WorkerLock::Result::kAcquired);
  EXPECT_TRUE(first.Held());
  EXPECT_EQ(QueryWorkerLiveness(), WorkerLiveness::kRunning);
  EXPECT_EQ(QueryWorkerLiveness(), WorkerLiveness::kRunning);  // probing did not take it

  WorkerLock second;
  EXPECT_EQ(WorkerLock::Acquire(second, kShortWait), WorkerLock::Result::kTaken);
  EXPECT_FALSE(second.Held());

  first.Release();
  EXPECT_EQ(QueryWorkerLiveness(), WorkerLiveness::kNotRunning);
  EXPECT_EQ(WorkerLock::Acquire(second, milliseconds(0)), WorkerLock::Result::kAcquired);
  second.Release();
  // It lives in the runtime directory: no clean-up of /dev/shm can free the lock of a running
  // worker.
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
    EXPECT_EQ(entry.path().filename().string().find(ns.Name()), std::string::npos) << entry.path();
  }
  EXPECT_EQ(QueryWorkerLiveness(), WorkerLiveness::kNotRunning);
}

// The runtime directory counts only when no other user can place a file in it.
TEST(WorkerLockTest, TheLockFileIsInAPrivateRuntimeDirectoryOrElseInDevShm) {
  ScopedIpcNamespace ns;
  const std::string runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string file = "/" + ns.Name() + "-TavrikWorkerLock";
  const std::string shared = std::filesystem::temp_directory_path() / (ns.Name() + "-shared");
  ASSERT_EQ(::mkdir(shared.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
  struct Case {
    std::optional<std::string> variable;
    std::string directory;
  };
  for (const Case& c : {Case{runtime, runtime}, Case{runtime + "/", runtime},
                        Case{std::nullopt, "/dev/shm"}, Case{"", "/dev/shm"},
                        Case{"relative/dir", "/dev/shm"}, Case{shared, "/dev/shm"},
                        Case{runtime + "/missing", "/dev/shm"}}) {
    SCOPED_TRACE(c.variable.value_or("(unset)"));
    const test::ScopedEnv variable("XDG_RUNTIME_DIR", c.variable);
    EXPECT_EQ(WorkerLockPath(ns.Name()), c.directory + file);
  }
  std::filesystem::remove(shared);
}

// A local user of another uid that holds the worker's former abstract socket name, and in /dev/shm
// a lock file of its own under our name, flocked. Needs root to become that user.
TEST(WorkerLockTest, AnotherUserCannotPassForOurWorkerNorKeepItFromStarting) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to run a squatter as uid 65534";
  ScopedIpcNamespace ns;
  const std::string runtime = std::getenv("XDG_RUNTIME_DIR");
  const test::LockSquatter squatter(ns.Name(), runtime);
  ASSERT_TRUE(squatter.Holding()) << squatter.Why();
  {
    // With a runtime directory, the worker starts and clients see exactly it.
    EXPECT_EQ(QueryWorkerLiveness(), WorkerLiveness::kNotRunning);
    WorkerLock lock;
    EXPECT_EQ(WorkerLock::Acquire(lock, kShortWait), WorkerLock::Result::kAcquired);
    EXPECT_EQ(QueryWorkerLiveness(), WorkerLiveness::kRunning);
    lock.Release();
    EXPECT_EQ(QueryWorkerLiveness(), WorkerLiveness::kNotRunning);
  }
  {
    // Without one, the stranger's file is refused, never taken for a running worker.
    const test::ScopedEnv none("XDG_RUNTIME_DIR", std::nullopt);
    OpenStatus status;
    EXPECT_EQ(QueryWorkerLiveness(&status), WorkerLiveness::kUnknown);
    EXPECT_EQ(status.error, OpenError::kNotOwned);
    WorkerLock lock;
    EXPECT_EQ(WorkerLock::Acquire(lock, kShortWait), WorkerLock::Result::kUnavailable);
    EXPECT_EQ(lock.Status().error, OpenError::kNotOwned);
  }
}

TEST(WorkerLockTest, TheLockDiesWithAHolderKilledOutrightAndIsPerNamespace) {
  ScopedIpcNamespace ns;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  ASSERT_NE(holder, -1);
  if (holder == 0) {
    WorkerLock lock;
    const char ok = WorkerLock::Acquire(lock) == WorkerLock::Result::kAcquired ? 1 : 0;
    if (::write(ready[1], &ok, 1) != 1) _exit(1);
    ::pause();
    _exit(0);
  }
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ::close(ready[0]);
  ::close(ready[1]);
  ASSERT_EQ(ok, 1);
  EXPECT_EQ(QueryWorkerLiveness(), WorkerLiveness::kRunning);
  WorkerLock lock;
  EXPECT_EQ(WorkerLock::Acquire(lock, kShortWait), WorkerLock::Result::kTaken);
  {
    ScopedIpcNamespace other;  // another namespace is another name
    EXPECT_EQ(QueryWorkerLiveness(), WorkerLiveness::kNotRunning);
  }
  ::kill(holder, SIGKILL);
  ASSERT_EQ(::waitpid(holder, nullptr, 0), holder);
  EXPECT_EQ(QueryWorkerLiveness(), WorkerLiveness::kNotRunning);
  EXPECT_EQ(WorkerLock::Acquire(lock, milliseconds(0)), WorkerLock::Result::kAcquired);
}

TEST(WorkerLockTest, ANamespaceOutsideTheRuleIsNeverAskedFor) {
  ScopedIpcNamespace ns;
  ::setenv("TAVRIK_IPC_NAMESPACE", "a\nb", 1);
  WorkerLock lock;
  EXPECT_EQ(WorkerLock::Acquire(lock, kShortWait), WorkerLock::Result::kUnavailable);
  EXPECT_EQ(lock.Status().error, OpenError::kBadName);
  OpenStatus status;
  EXPECT_EQ(QueryWorkerLiveness(&status), WorkerLiveness::kUnknown);
  EXPECT_EQ(status.error, OpenError::kBadName);
  ::setenv("TAVRIK_IPC_NAMESPACE", ns.Name().c_str(), 1);
}

}  // namespace
}  // namespace tavrik
