// The worker executable as a peer sees it: start-up order, the exit path and the first messages.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "ipc/ring_layout.h"
#include "ipc/shared_memory.h"
#include "tests/ipc/ring_test_util.h"
#include "tests/support/test_support.h"
#include "tests/support/xvfb_fixture.h"

namespace tavrik {
namespace {

using namespace std::chrono_literals;
using test::ReadHitSlot;
using test::ReadU32;
using test::WaitUntil;

// An 8x8 24-bit BMP of one colour: a template image made without an image library here.
bool WriteSolidBmp(const std::string& path) {
  std::string file(54 + 8 * 8 * 3, '\x40');
  const auto put = [&](std::size_t at, std::uint32_t value) { std::memcpy(&file[at], &value, 4); };
  file.replace(0, 2, "BM");
  const std::uint32_t header[] = {static_cast<std::uint32_t>(file.size()),
                                  0,
                                  54,
                                  40,
                                  8,
                                  8,
                                  1 | (24 << 16),
                                  0,
                                  8 * 8 * 3,
                                  0,
                                  0,
                                  0,
                                  0};
  for (std::size_t i = 0; i < std::size(header); ++i) put(2 + 4 * i, header[i]);
  std::ofstream out(path, std::ios::binary);
  out << file;
  return static_cast<bool>(out);
}

class WorkerProcessTest : public ::testing::Test {
 protected:
  std::string LogPath() const {
    return (std::filesystem::temp_directory_path() / (ns_.Name() + ".log")).string();
  }
  void TearDown() override {
    std::filesystem::remove(LogPath());
    std::filesystem::remove(StderrPath());
  }
  // TAVRIK_LOG is `log`, the log file by default; the namespace is already in the environment.
  // The worker's standard error goes to StderrPath().
  test::SpawnedProcess StartWorker(const std::optional<std::string>& log = std::nullopt) {
    test::ScopedEnv logVariable("TAVRIK_LOG", log.value_or(LogPath()));
    const int stderrFd =
        ::open(StderrPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    auto worker = test::SpawnedProcess::Spawn({test::BuiltExecutable("tavrik-worker")}, false, true,
                                              stderrFd);
    ::close(stderrFd);
    return worker;
  }
  std::string StderrPath() const { return LogPath() + ".stderr"; }
  // Waits for the hit ring of a started worker and for its start-up version message.
  SharedMapping WaitForHitRing() {
    SharedMapping hit;
    EXPECT_TRUE(WaitUntil(
        [&] {
          hit = SharedMapping::Open(kHitRingMappingName, kHitRingBytes, OpenMode::kOpenExisting);
          return hit.View() != nullptr && ReadU32(hit.View(), 0) >= 1;
        },
        10s));
    return hit;
  }
  // Asks for a heartbeat and expects the reply as hit-ring message number `index`.
  void ExpectHeartbeatReply(const SharedMapping& hit, std::uint32_t index) {
    const SharedMapping cmd =
        SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes, OpenMode::kOpenExisting);
    ASSERT_NE(cmd.View(), nullptr);
    Publish(cmd, kHeartbeat);
    ASSERT_TRUE(WaitUntil([&] { return ReadU32(hit.View(), 0) >= index + 1; }, 5s));
    EXPECT_EQ(ReadHitSlot(hit.View(), index).name, u"__hb__:CMD");
  }
  // Publishes a command of `type` as the UI would: slot, writeIndex, then the event.
  static void Publish(const SharedMapping& cmd, std::int32_t type) {
    test::PeerCommand command;
    command.commandType = type;
    const std::uint32_t w = ReadU32(cmd.View(), 0);
    test::WriteCommandSlot(cmd.View(), w, command);
    StoreIndex(static_cast<CmdRingLayout*>(cmd.View())->header.writeIndex, w + 1);
    NamedEvent::Open(kCmdRingEventName, OpenMode::kOpenExisting).Signal();
  }
  // Waits for a whole line, or with `whole` false for a text anywhere in the log.
  bool LogHas(const std::string& line, bool whole = true) {
    const std::string text = whole ? line + "\n" : line;
    return WaitUntil([&] { return test::ReadFile(LogPath()).find(text) != std::string::npos; }, 5s);
  }

  test::ScopedIpcNamespace ns_;
};

TEST_F(WorkerProcessTest, ACommandRingOfAnotherUserExitsWithCodeOne) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give an object to another user";
  SharedMapping foreign = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes);
  ASSERT_NE(foreign.View(), nullptr);
  ASSERT_EQ(::fchown(static_cast<int>(foreign.Handle()), 65534, 65534), 0);
  auto worker = StartWorker();
  EXPECT_EQ(worker.Wait(10s), 1);
  EXPECT_EQ(test::ReadFile(LogPath()), "[Init] Failed to initialize CmdRing consumer.\n");
  // Neither the hit ring nor its event was created before the failure.
  EXPECT_FALSE(std::filesystem::exists("/dev/shm/" + ns_.Name() + "-HitRingMMF"));
}

TEST_F(WorkerProcessTest, FatalStartUpLinesReachTheStandardErrorWhenNoLogIsSet) {
  const test::ScopedEnv variable("TAVRIK_IPC_NAMESPACE", "two\nlines");
  auto worker = StartWorker("");
  EXPECT_EQ(worker.Wait(10s), 1);
  EXPECT_EQ(test::ReadFile(StderrPath()),
            "[Init] TAVRIK_IPC_NAMESPACE 'two\\u{A}lines' is not a valid namespace: it must be 1 "
            "to 64 ASCII letters, digits, '.', '_' or '-', not starting with '.'; exiting.\n");
}

TEST_F(WorkerProcessTest, WarningsAndErrorsCarryJournalPrioritiesOnlyOnTheJournalsOwnStream) {
  const std::string failed = "[Spec] Failed to load template 'gone' from \"/nonexistent/gone.png\"\n";
  const struct {
    const char* what;
    std::optional<std::string> log;  // TAVRIK_LOG; nullopt: the log file
    int inodeOffset;                 // JOURNAL_STREAM names the standard error's inode plus this
    const char* ns;                  // a namespace outside the rule ends the worker at start
    std::string expected;            // in what the worker wrote, its log file and standard error
  } kCases[] = {
      {"journal", "stderr", 0, nullptr, "\n<4>" + failed},
      {"another stream", "stderr", 1, nullptr, "\n" + failed},
      {"a file", std::nullopt, 0, nullptr, "\n" + failed},
      {"fatal, no log", "", 0, "bad/name", "<3>[Init] TAVRIK_IPC_NAMESPACE 'bad/name' is"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    std::ofstream(StderrPath(), std::ios::trunc).close();  // StartWorker keeps its inode
    std::filesystem::remove(LogPath());
    struct stat status {};
    ASSERT_EQ(::stat(StderrPath().c_str(), &status), 0);
    const test::ScopedEnv journal("JOURNAL_STREAM", std::to_string(status.st_dev) + ":" +
                                                        std::to_string(status.st_ino + c.inodeOffset));
    const test::ScopedEnv ns("TAVRIK_IPC_NAMESPACE", c.ns ? c.ns : ns_.Name());
    const test::ScopedEnv x11("WAYLAND_DISPLAY", std::nullopt);  // its note is a warning too
    auto worker = StartWorker(c.log);
    if (c.ns == nullptr) {
      ASSERT_NE(WaitForHitRing().View(), nullptr);
      const SharedMapping cmd =
          SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes, OpenMode::kOpenExisting);
      ASSERT_NE(cmd.View(), nullptr);
      test::PeerCommand add;
      add.commandType = kAddSpec;
      add.name = u"gone";
      add.path = u"/nonexistent/gone.png";
      test::WriteCommandSlot(cmd.View(), 0, add);
      StoreIndex(static_cast<CmdRingLayout*>(cmd.View())->header.writeIndex, 1);
      NamedEvent::Open(kCmdRingEventName, OpenMode::kOpenExisting).Signal();
    }
    const auto written = [&] { return test::ReadFile(StderrPath()) + test::ReadFile(LogPath()); };
    EXPECT_TRUE(WaitUntil([&] { return written().find(c.expected) != std::string::npos; }, 5s))
        << written();
    // Only the warning or the error carries a prefix: no other line, and nothing off the journal.
    const std::string text = written();
    EXPECT_EQ(std::count(text.begin(), text.end(), '<'),
              std::count(c.expected.begin(), c.expected.end(), '<'))
        << text;
    worker.Stop();
    ns_.Cleanup();
  }
}

TEST_F(WorkerProcessTest, ASecondWorkerOnTheSameRingsExitsWithCodeThreeAndSaysWhichNamespace) {
  auto first = StartWorker();
  SharedMapping hit = WaitForHitRing();
  ASSERT_NE(hit.View(), nullptr);
  auto second = StartWorker();
  EXPECT_EQ(second.Wait(10s), 3);
  const std::string line =
      "[Init] Another worker is already running in namespace '" + ns_.Name() + "'; exiting.";
  EXPECT_EQ(test::ReadFile(StderrPath()), line + "\n");
  EXPECT_TRUE(LogHas(line));

  // The second worker touched no ring: no version of its own, and the first alone answers.
  ExpectHeartbeatReply(hit, 1);
  EXPECT_TRUE(first.Running());

  // A worker killed outright leaves its objects but not its lock. tavrik-ctl sees that nobody
  // runs, and publishes nothing nobody would read...
  first.Stop(SIGKILL);
  const std::string ctl = test::BuiltExecutable("tavrik-ctl");
  const int status = std::system((ctl + " clear 2>" + StderrPath()).c_str());
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 3);
  EXPECT_EQ(test::ReadFile(StderrPath())
                .rfind("tavrik-ctl: no worker is running in namespace '" + ns_.Name() + "'; ", 0),
            0u);
  const SharedMapping cmd =
      SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes, OpenMode::kOpenExisting);
  ASSERT_NE(cmd.View(), nullptr);
  EXPECT_EQ(ReadU32(cmd.View(), 0), 1u);  // nothing published
  // ...and the next worker starts.
  auto third = StartWorker();
  ASSERT_TRUE(WaitUntil([&] { return ReadU32(hit.View(), 0) >= 3; }, 10s));
  EXPECT_EQ(ReadHitSlot(hit.View(), 2).name, u"__ver__:0.2.4");
  EXPECT_TRUE(third.Running());
}

TEST_F(WorkerProcessTest, VersionAtStartUpThenAnswersCommands) {
  auto worker = StartWorker();
  SharedMapping hit = WaitForHitRing();
  ASSERT_NE(hit.View(), nullptr);
  EXPECT_EQ(ReadHitSlot(hit.View(), 0).name, u"__ver__:0.2.4");
  EXPECT_TRUE(LogHas("Tavrik waiting for spec registrations from C#."));

  ExpectHeartbeatReply(hit, 1);
  EXPECT_TRUE(worker.Running());
}

TEST_F(WorkerProcessTest, CommandsQueuedBeforeStartAreExecuted) {
  SharedMapping cmd = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes);
  ASSERT_NE(cmd.View(), nullptr);
  test::PeerCommand version;
  version.commandType = kVersion;
  test::WriteCommandSlot(cmd.View(), 0, version);
  test::PeerCommand clear;
  clear.commandType = kClearSpecs;
  test::WriteCommandSlot(cmd.View(), 1, clear);
  StoreIndex(static_cast<CmdRingLayout*>(cmd.View())->header.writeIndex, 2);

  auto worker = StartWorker();
  EXPECT_TRUE(LogHas("[Spec] Cleared all templates"));
  SharedMapping hit =
      SharedMapping::Open(kHitRingMappingName, kHitRingBytes, OpenMode::kOpenExisting);
  ASSERT_NE(hit.View(), nullptr);
  ASSERT_TRUE(WaitUntil([&] { return ReadU32(hit.View(), 0) >= 2; }, 5s));
  EXPECT_EQ(ReadHitSlot(hit.View(), 0).name, u"__ver__:0.2.4");  // start-up
  EXPECT_EQ(ReadHitSlot(hit.View(), 1).name, u"__ver__:0.2.4");  // the queued request
  EXPECT_EQ(ReadU32(cmd.View(), 4), 2u);
}

TEST_F(WorkerProcessTest, WithoutAHitRingTheWorkerStillRunsCommands) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give an object to another user";
  SharedMapping small = SharedMapping::Open(kHitRingMappingName, 64);
  ASSERT_NE(small.View(), nullptr);
  ASSERT_EQ(::fchown(static_cast<int>(small.Handle()), 65534, 65534), 0);
  auto worker = StartWorker();
  EXPECT_TRUE(LogHas("[Init] Warning: HitRingWriter not ready; hits won't reach UI."));
  SharedMapping cmd;
  ASSERT_TRUE(WaitUntil(
      [&] {
        cmd = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes, OpenMode::kOpenExisting);
        return cmd.View() != nullptr;
      },
      5s));
  Publish(cmd, kClearSpecs);
  EXPECT_TRUE(LogHas("[Spec] Cleared all templates"));
  EXPECT_TRUE(worker.Running());
  // Another user's hit ring is left as it was: the worker never writes into a ring it refused.
  EXPECT_EQ(ReadU32(small.View(), 0), 0u);
  EXPECT_EQ(std::filesystem::file_size("/dev/shm/" + ns_.Name() + "-HitRingMMF"), 64u);
}

TEST_F(WorkerProcessTest, AFifoLogWithoutAReaderNeverHoldsUpStartUp) {
  const std::string fifo = LogPath() + ".fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto worker = StartWorker(fifo);
  // Start-up went all the way: rings made, version sent, commands taken.
  SharedMapping hit = WaitForHitRing();
  ASSERT_NE(hit.View(), nullptr);
  EXPECT_EQ(ReadHitSlot(hit.View(), 0).name, u"__ver__:0.2.4");

  // A reader that comes later gets the lines from then on (after a count of those it missed, when
  // the writer had any to drop before it came).
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  SharedMapping cmd =
      SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes, OpenMode::kOpenExisting);
  ASSERT_NE(cmd.View(), nullptr);
  Publish(cmd, kClearSpecs);
  std::string text;
  EXPECT_TRUE(WaitUntil(
      [&] {
        char buffer[4096];
        const ssize_t n = ::read(reader, buffer, sizeof buffer);
        if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
        return text.find("[Spec] Cleared all templates\n") != std::string::npos;
      },
      10s))
      << text;
  EXPECT_TRUE(worker.Running());
  ::close(reader);
  std::filesystem::remove(fifo);
}

TEST_F(WorkerProcessTest, RingsCutShortByAnotherProcessAreRestoredAndTheWorkerCarriesOn) {
  auto worker = StartWorker();
  ASSERT_NE(WaitForHitRing().View(), nullptr);
  const std::string cmdFile = "/dev/shm/" + ns_.Name() + "-CmdRingMMF";
  const std::string hitFile = "/dev/shm/" + ns_.Name() + "-HitRingMMF";

  // The command ring: the CommandThread looks at it every 50 ms.
  ASSERT_EQ(::truncate(cmdFile.c_str(), 0), 0);
  EXPECT_TRUE(
      LogHas("[Spec] Command ring was cut short by another process (to 0 bytes); restored at "
             "20496 bytes, pending commands lost"));
  EXPECT_EQ(std::filesystem::file_size(cmdFile), kCmdRingBytes);
  ASSERT_TRUE(worker.Running());

  // The hit ring, cut short before the reply to a command: the reply lands in the restored ring.
  ASSERT_EQ(::truncate(hitFile.c_str(), 0), 0);
  SharedMapping cmd =
      SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes, OpenMode::kOpenExisting);
  ASSERT_NE(cmd.View(), nullptr);
  EXPECT_EQ(ReadU32(cmd.View(), 0), 0u);  // restored zero-filled
  Publish(cmd, kHeartbeat);
  EXPECT_TRUE(
      LogHas("[Loop] Hit ring was cut short by another process (to 0 bytes); restored at 8464 "
             "bytes, unread messages lost"));
  EXPECT_EQ(std::filesystem::file_size(hitFile), kHitRingBytes);
  const SharedMapping hit =
      SharedMapping::Open(kHitRingMappingName, kHitRingBytes, OpenMode::kOpenExisting);
  ASSERT_NE(hit.View(), nullptr);
  ASSERT_TRUE(WaitUntil([&] { return ReadU32(hit.View(), 0) == 1; }, 5s));
  EXPECT_EQ(ReadHitSlot(hit.View(), 0).name, u"__hb__:CMD");
  EXPECT_TRUE(worker.Running());
}

TEST_F(WorkerProcessTest, SigtermAndSigintStopTheWorkerInOrderAndLeaveTheObjects) {
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    auto worker = StartWorker();
    SharedMapping hit = WaitForHitRing();
    ASSERT_NE(hit.View(), nullptr);
    ASSERT_TRUE(LogHas("Tavrik waiting for spec registrations from C#."));
    ::kill(worker.Pid(), signal);
    EXPECT_EQ(worker.Wait(10s), 0);
    EXPECT_TRUE(LogHas(std::string("[Init] Stopping on ") +
                       (signal == SIGTERM ? "SIGTERM" : "SIGINT") + "."));
    EXPECT_TRUE(LogHas("[Init] Stopped."));
    for (const char* object :
         {"CmdRingMMF", "HitRingMMF", "sem.CmdRingEvent", "sem.HitRingEvent"}) {
      const std::string name = std::string(object).rfind("sem.", 0) == 0
                                   ? "sem." + ns_.Name() + "-" + (object + 4)
                                   : ns_.Name() + "-" + object;
      EXPECT_TRUE(std::filesystem::exists("/dev/shm/" + name)) << name;
    }
    std::filesystem::remove(LogPath());
  }
}

TEST_F(WorkerProcessTest, AStopWaitsForTheCommandInProgressAndLeavesTheNextOnesQueued) {
  // An add that reaches an X server which does not answer (stopped) is in progress for as long as
  // the test likes.
  test::XvfbServer xvfb;
  ASSERT_TRUE(xvfb.Start());
  const test::ScopedEnv display("DISPLAY", xvfb.DisplayName());
  struct Frozen {
    pid_t pid;
    explicit Frozen(pid_t p) : pid(p) { ::kill(pid, SIGSTOP); }
    ~Frozen() { Thaw(); }
    void Thaw() const { ::kill(pid, SIGCONT); }
  };
  const std::string image = LogPath() + ".bmp";
  ASSERT_TRUE(WriteSolidBmp(image));

  auto worker = StartWorker();
  SharedMapping hit = WaitForHitRing();
  ASSERT_NE(hit.View(), nullptr);
  SharedMapping cmd =
      SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes, OpenMode::kOpenExisting);
  ASSERT_NE(cmd.View(), nullptr);
  const Frozen frozen(xvfb.Pid());
  test::PeerCommand add;
  add.commandType = kAddSpec;
  add.name = u"slow";
  add.processName = u"nothing";
  add.path = std::u16string(image.begin(), image.end());
  add.roi[2] = add.roi[3] = 8;
  test::WriteCommandSlot(cmd.View(), 0, add);
  StoreIndex(static_cast<CmdRingLayout*>(cmd.View())->header.writeIndex, 1);
  Publish(cmd, kHeartbeat);
  ASSERT_TRUE(LogHas("[Spec] Add requested name=slow ", false));

  ::kill(worker.Pid(), SIGTERM);
  EXPECT_TRUE(LogHas("[Init] Stopping on SIGTERM."));
  EXPECT_EQ(worker.Wait(500ms), -1);  // still in the add, which waits for the server
  frozen.Thaw();
  EXPECT_EQ(worker.Wait(10s), 0);

  // The add ran to its end; the heartbeat after it stays queued for the next worker.
  const std::string log = test::ReadFile(LogPath());
  const auto registered = log.find("[Spec] Registered 'slow'");
  EXPECT_NE(registered, std::string::npos) << log;
  EXPECT_LT(registered, log.find("[Init] Stopped.")) << log;
  EXPECT_EQ(ReadU32(cmd.View(), 4), 1u);
  EXPECT_EQ(ReadU32(cmd.View(), 0), 2u);
  EXPECT_EQ(ReadU32(hit.View(), 0), 1u);  // the start-up version only
  std::filesystem::remove(image);
}

// tavrik-ctl with ARGS in the current namespace: its exit code, and its standard output in `out`.
int RunCtl(const std::string& arguments, std::string* out = nullptr) {
  const std::string file =
      std::filesystem::temp_directory_path() / ("ctl-" + std::to_string(::getpid()) + ".out");
  const int status = std::system(
      (test::BuiltExecutable("tavrik-ctl") + " " + arguments + " >" + file + " 2>&1").c_str());
  if (out != nullptr) *out = test::ReadFile(file);
  std::filesystem::remove(file);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(WorkerProcessTest, UnlinkingEveryObjectOfTheNamespaceLeavesTheWorkerAliveAndAlone) {
  auto first = StartWorker();
  ASSERT_NE(WaitForHitRing().View(), nullptr);
  // A common clean-up: every object of the namespace gone from /dev/shm under a running worker.
  ns_.Cleanup();
  ASSERT_FALSE(std::filesystem::exists("/dev/shm/" + ns_.Name() + "-CmdRingMMF"));

  std::string status;
  RunCtl("status", &status);
  EXPECT_NE(status.find("worker: running"), std::string::npos) << status;
  auto second = StartWorker();
  EXPECT_EQ(second.Wait(10s), 3);
  EXPECT_TRUE(first.Running());

  // It dies with its holder.
  first.Stop(SIGKILL);
  RunCtl("status", &status);
  EXPECT_EQ(status.find("worker: running"), std::string::npos) << status;
}

TEST_F(WorkerProcessTest, AnotherUserHoldingTheLockNamesNeitherStopsTheWorkerNorFakesOne) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to run a squatter as uid 65534";
  const test::LockSquatter squatter(ns_.Name(), std::getenv("XDG_RUNTIME_DIR"));
  ASSERT_TRUE(squatter.Holding()) << squatter.Why();
  auto worker = StartWorker();
  ASSERT_NE(WaitForHitRing().View(), nullptr);
  std::string out;
  EXPECT_EQ(RunCtl("status", &out), 0) << out;
  EXPECT_NE(out.find("worker: running"), std::string::npos) << out;
  worker.Stop(SIGTERM);
  ASSERT_FALSE(worker.Running());

  // Its rings are left behind, and nobody will read a command published to them.
  const std::string add = "add --name t:x --path /x.png --process game.exe --roi 0,0,8,8";
  EXPECT_EQ(RunCtl(add, &out), 3) << out;
  {
    const test::ScopedEnv none("XDG_RUNTIME_DIR", std::nullopt);
    EXPECT_EQ(RunCtl(add, &out), 3) << out;
    EXPECT_NE(out.find("belongs to another user"), std::string::npos) << out;
  }
}

TEST_F(WorkerProcessTest, ASigbusSentFromOutsideEndsTheWorkerAsSigbusWould) {
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer's own SIGBUS report can hang in a process whose other threads hold its
  // locks; without it the guard hands the signal on to the default action, as in a plain build.
  const char* options = std::getenv("TSAN_OPTIONS");
  const test::ScopedEnv sanitizer(
      "TSAN_OPTIONS", std::string(options != nullptr ? options : "") + " handle_sigbus=0");
#endif
  auto worker = StartWorker();
  ASSERT_NE(WaitForHitRing().View(), nullptr);
  ASSERT_EQ(::kill(worker.Pid(), SIGBUS), 0);
  const int code = worker.Wait(10s);
#if defined(__SANITIZE_ADDRESS__)
  // The guard hands the signal on to the sanitizer's own SIGBUS handler, which reports and ends
  // the process in its own way.
  EXPECT_NE(code, -1);
  EXPECT_NE(code, 0);
#else
  EXPECT_EQ(code, 128 + SIGBUS);
#endif
}

TEST_F(WorkerProcessTest, RingsCutShortToAnySizeAreGrownBackWhileRunning) {
  auto worker = StartWorker();
  ASSERT_NE(WaitForHitRing().View(), nullptr);
  const std::string cmdFile = "/dev/shm/" + ns_.Name() + "-CmdRingMMF";
  const std::string hitFile = "/dev/shm/" + ns_.Name() + "-HitRingMMF";
  for (const off_t size : {8000, 100, 4096, 20000}) {
    SCOPED_TRACE(size);
    for (const std::string& file : {cmdFile, hitFile}) {
      if (static_cast<std::uintmax_t>(size) >= std::filesystem::file_size(file)) continue;
      ASSERT_EQ(::truncate(file.c_str(), size), 0);
    }
    EXPECT_TRUE(
        WaitUntil([&] { return std::filesystem::file_size(cmdFile) == kCmdRingBytes; }, 5s));
    EXPECT_TRUE(
        WaitUntil([&] { return std::filesystem::file_size(hitFile) == kHitRingBytes; }, 5s));
    EXPECT_TRUE(LogHas("[Spec] Command ring was cut short by another process (to " +
                       std::to_string(size) +
                       " bytes); restored at 20496 bytes, pending "
                       "commands lost"));
    if (size < static_cast<off_t>(kHitRingBytes)) {
      EXPECT_TRUE(LogHas("[Loop] Hit ring was cut short by another process (to " +
                         std::to_string(size) +
                         " bytes); restored at 8464 bytes, unread "
                         "messages lost"));
    }
    EXPECT_EQ(RunCtl("heartbeat --timeout 5"), 0);
  }
  EXPECT_TRUE(worker.Running());
}

TEST_F(WorkerProcessTest, ShortRingsLeftFromEarlierAreGrownAtStart) {
  for (const std::size_t size : {8000u, 100u, 4096u, 20000u}) {
    SCOPED_TRACE(size);
    {
      SharedMapping cmd = SharedMapping::Open(kCmdRingMappingName, size);
      SharedMapping hit =
          SharedMapping::Open(kHitRingMappingName, std::min<std::size_t>(size, 8000));
      ASSERT_NE(cmd.View(), nullptr);
      ASSERT_NE(hit.View(), nullptr);
    }
    auto worker = StartWorker();
    EXPECT_TRUE(LogHas("[Init] Command ring was " + std::to_string(size) +
                       " bytes, cut short by another process; grown to 20496 bytes, pending "
                       "commands lost"));
    EXPECT_TRUE(LogHas("[Init] Hit ring was " + std::to_string(std::min<std::size_t>(size, 8000)) +
                       " bytes, cut short by another process; grown to 8464 bytes, unread "
                       "messages lost"));
    ASSERT_NE(WaitForHitRing().View(), nullptr);
    EXPECT_EQ(RunCtl("heartbeat --timeout 5"), 0);
    worker.Stop();
    ns_.Cleanup();
    std::filesystem::remove(LogPath());
  }
}

TEST_F(WorkerProcessTest, ANamespaceOutsideTheRuleIsRefusedWithExitCodeOne) {
  for (const std::string& bad :
       {std::string("a\nb"), std::string(".."), std::string(" "), std::string(".hidden"),
        std::string("a/b"), std::string(65, 'n'), std::string("caf\xc3\xa9")}) {
    SCOPED_TRACE(bad);
    test::ScopedEnv variable("TAVRIK_IPC_NAMESPACE", bad);
    auto worker = StartWorker("");
    EXPECT_EQ(worker.Wait(10s), 1);
    EXPECT_NE(test::ReadFile(StderrPath()).find("[Init] TAVRIK_IPC_NAMESPACE '"), std::string::npos)
        << test::ReadFile(StderrPath());
    std::string out;
    EXPECT_EQ(RunCtl("heartbeat", &out), 1);
    EXPECT_NE(out.find("tavrik-ctl: TAVRIK_IPC_NAMESPACE '"), std::string::npos) << out;
  }
  // The longest accepted namespace works all the way.
  std::string longest = "A_." + std::to_string(::getpid()) + "-";
  longest.resize(64, 'z');
  test::ScopedEnv variable("TAVRIK_IPC_NAMESPACE", longest);
  auto worker = StartWorker();
  EXPECT_NE(WaitForHitRing().View(), nullptr);
  EXPECT_EQ(RunCtl("heartbeat --timeout 5"), 0);
  worker.Stop();
  for (const std::string file : {"", "sem."}) {
    for (const char* object : {"CmdRingMMF", "HitRingMMF", "CmdRingEvent", "HitRingEvent"}) {
      std::filesystem::remove("/dev/shm/" + file + longest + "-" + object);
    }
  }
}

TEST_F(WorkerProcessTest, AParentToWatchThatIsNotTheParentIsRefusedWithExitCodeOne) {
  // The test's own parent exists, but it is not the worker's.
  for (const std::string& bad : {std::string("abc"), std::string("12x"), std::string("0"),
                                 std::string("1"), std::string("-5"),
                                 std::string("99999999999"), std::to_string(::getppid())}) {
    SCOPED_TRACE(bad);
    test::ScopedEnv variable("TAVRIK_PARENT_PID", bad);
    auto worker = StartWorker("");
    EXPECT_EQ(worker.Wait(10s), 1);
    EXPECT_NE(test::ReadFile(StderrPath()).find("[Init] TAVRIK_PARENT_PID"), std::string::npos)
        << test::ReadFile(StderrPath());
  }
  // Its real parent is watched, and serves as usual while it lives.
  test::ScopedEnv variable("TAVRIK_PARENT_PID", std::to_string(::getpid()));
  auto worker = StartWorker();
  EXPECT_NE(WaitForHitRing().View(), nullptr);
  EXPECT_EQ(RunCtl("heartbeat --timeout 5"), 0);
  EXPECT_TRUE(worker.Running());
}

TEST_F(WorkerProcessTest, AWriteIndexHalfTheIndexSpaceAheadRunsNothing) {
  SharedMapping cmd = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes);
  ASSERT_NE(cmd.View(), nullptr);
  test::PeerCommand version;
  version.commandType = kVersion;
  for (std::uint32_t i = 0; i < kRingSlotCount; ++i) test::WriteCommandSlot(cmd.View(), i, version);
  StoreIndex(static_cast<CmdRingLayout*>(cmd.View())->header.writeIndex, 0x80000000u);

  auto worker = StartWorker();
  SharedMapping hit = WaitForHitRing();
  ASSERT_NE(hit.View(), nullptr);
  EXPECT_TRUE(
      LogHas("[Spec] Command ring writeIndex went backwards: writeIndex=2147483648 "
             "readIndex=0; nothing run, readIndex set to writeIndex"));
  ExpectHeartbeatReply(hit, 1);  // only the start-up version came before it
  EXPECT_EQ(ReadU32(cmd.View(), 4), 0x80000001u);
}

}  // namespace
}  // namespace tavrik
