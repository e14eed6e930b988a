// The rings between separate Windows processes: tavrik-worker.exe on one side, tavrik-ctl.exe
// (and this test as a second producer) on the other, through the real Local\CmdRingMMF,
// Local\HitRingMMF and their named events.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "ipc/command_ring.h"
#include "ipc/ring_layout.h"
#include "ipc/shared_memory.h"
#include "tests/ipc/ring_test_util.h"
#include "tests/support/child_process.h"
#include "tests/support/test_support.h"
#include "tools/ctl/ctl_args.h"

namespace tavrik {
namespace {

using namespace std::chrono_literals;
using test::WaitUntil;

// A number from `tavrik-ctl status --json` output: `key` inside the object of `ring`.
long long StatusField(const std::string& json, const std::string& ring, const std::string& key) {
  const auto object = json.find("\"" + ring + "\":{");
  if (object == std::string::npos) return -1;
  const auto at = json.find("\"" + key + "\":", object);
  if (at == std::string::npos) return -1;
  return std::stoll(json.substr(at + key.size() + 3));
}

class WorkerRingsTest : public ::testing::Test {
 protected:
  void SetUp() override { log_.emplace("TAVRIK_LOG", (dir_.Path() / "worker.log").string()); }
  void TearDown() override { worker_.Terminate(); }

  void StartWorker() {
    worker_ = test::ChildProcess::Start(test::BuiltExecutable("tavrik-worker"), {});
    ASSERT_TRUE(worker_.Started());
    ASSERT_TRUE(WaitUntil([&] { return Ctl({"status", "--json"}).exitCode == 0; }, 30s));
  }
  test::RunResult Ctl(const std::vector<std::string>& args) {
    return test::RunProgram(test::BuiltExecutable("tavrik-ctl"), args);
  }
  std::string Log() const { return test::ReadFile((dir_.Path() / "worker.log").string()); }
  // Generous: the first programs started in a new Wine prefix take seconds to load.
  bool LogHas(const std::string& text) const {
    return WaitUntil([&] { return Log().find(text) != std::string::npos; }, 30s);
  }
  std::string Status() { return Ctl({"status", "--json"}).output; }

  // Publishes `count` heartbeat requests from this process, as a second producer.
  void PublishHeartbeats(int count) {
    const SharedMapping cmd =
        SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes, OpenMode::kOpenExisting);
    ASSERT_NE(cmd.View(), nullptr);
    const NamedEvent event = NamedEvent::Open(kCmdRingEventName, OpenMode::kOpenExisting);
    const ctl::ParseResult parsed = ctl::ParseCtlArgs({"heartbeat"});
    ASSERT_TRUE(parsed.ok) << parsed.error;
    for (int i = 0; i < count; ++i) {
      ASSERT_EQ(PublishCommand(cmd, event, EncodeCommandSlot(parsed.request.command),
                               std::chrono::steady_clock::now() + 10s),
                PublishResult::kPublished);
    }
  }

  test::ScratchDirectory dir_{"rings"};
  std::optional<test::ScopedEnvironment> log_;
  test::ChildProcess worker_;
};

TEST_F(WorkerRingsTest, WithoutAWorkerTheClientReportsNoWorker) {
  EXPECT_EQ(Ctl({"heartbeat", "--timeout", "1"}).exitCode, 3);
  EXPECT_EQ(Ctl({"status"}).exitCode, 3);
}

TEST_F(WorkerRingsTest, VersionHeartbeatAndSpecCommandsTravelBetweenProcesses) {
  StartWorker();
  // The version message sent at start-up is the first message of the hit ring.
  const test::RunResult first = Ctl({"watch", "--count", "1", "--timeout", "10"});
  ASSERT_EQ(first.exitCode, 0) << first.output;
  EXPECT_NE(first.output.find("\"isHit\":0"), std::string::npos) << first.output;
  EXPECT_NE(first.output.find("\"name\":\"__ver__:0.2.4\""), std::string::npos) << first.output;
  EXPECT_TRUE(LogHas("Tavrik waiting for spec registrations from C#.\n"));

  const test::RunResult heartbeat = Ctl({"heartbeat"});
  EXPECT_EQ(heartbeat.exitCode, 0);
  EXPECT_NE(heartbeat.output.find("__hb__:CMD"), std::string::npos) << heartbeat.output;
  const test::RunResult version = Ctl({"version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_NE(version.output.find("__ver__:0.2.4"), std::string::npos) << version.output;

  const std::filesystem::path image = dir_.Path() / "t.png";
  ASSERT_TRUE(cv::imwrite(image.string(), cv::Mat(8, 8, CV_8UC3, cv::Scalar(10, 200, 30))));
  ASSERT_EQ(Ctl({"add", "--name", "spec:a", "--path", image.string(), "--roi", "1,2,30,40",
                 "--process", "nothing.exe", "--threshold", "0.8"})
                .exitCode,
            0);
  EXPECT_TRUE(LogHas("[Spec] Registered 'spec:a' ROI=1,2 30x40 threshold=0.8"));
  ASSERT_EQ(Ctl({"add", "--name", "spec:b", "--path", image.string(), "--roi", "0,0,8,8"}).exitCode,
            0);
  EXPECT_TRUE(LogHas("[Spec] Registered 'spec:b'"));
  EXPECT_TRUE(LogHas("[Loop] templates=2"));
  ASSERT_EQ(Ctl({"remove", "spec:a"}).exitCode, 0);
  EXPECT_TRUE(LogHas("[Spec] Removed 'spec:a'"));
  ASSERT_EQ(Ctl({"clear"}).exitCode, 0);
  EXPECT_TRUE(LogHas("[Spec] Cleared all templates"));
  EXPECT_TRUE(LogHas("[Loop] templates=0"));

  // A file that is not there: the add reports it and the worker carries on.
  ASSERT_EQ(Ctl({"add", "--name", "gone", "--path", (dir_.Path() / "gone.png").string(), "--roi",
                 "0,0,8,8"})
                .exitCode,
            0);
  EXPECT_TRUE(LogHas("[Spec] Failed to load template 'gone' from"));
  EXPECT_EQ(Ctl({"heartbeat"}).exitCode, 0);
  EXPECT_TRUE(worker_.Running());
}

TEST_F(WorkerRingsTest, AFullHitRingDropsAndCountsWithoutOverwriting) {
  StartWorker();
  // Take the start-up version message so that the ring starts empty.
  ASSERT_EQ(Ctl({"watch", "--count", "1", "--timeout", "10"}).exitCode, 0);
  const auto started = std::chrono::steady_clock::now();
  PublishHeartbeats(70);
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::string status = Status();
        return StatusField(status, "cmdRing", "pending") == 0 &&
               StatusField(status, "hitRing", "pending") == 64;
      },
      20s))
      << Status();
  const std::string full = Status();
  const long long dropped = StatusField(full, "hitRing", "droppedCount");
  // 70 replies for 64 slots; an idle heartbeat (every 5 s) may have been dropped as well.
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
  EXPECT_GE(dropped, 6);
  EXPECT_LE(dropped, 6 + 1 + seconds.count() / 5) << full;

  // The oldest messages are intact: nothing was overwritten.
  {
    const SharedMapping hit =
        SharedMapping::Open(kHitRingMappingName, kHitRingBytes, OpenMode::kOpenExisting);
    ASSERT_NE(hit.View(), nullptr);
    const std::uint32_t read = test::ReadU32(hit.View(), 4);
    int replies = 0;
    for (std::uint32_t i = 0; i < 64; ++i) {
      const std::u16string name = test::ReadHitSlot(hit.View(), read + i).name;
      EXPECT_TRUE(name == u"__hb__:CMD" || name == u"__hb__:IDLE") << i;
      replies += name == u"__hb__:CMD" ? 1 : 0;
    }
    EXPECT_GE(replies, 62);
  }

  // Consuming one message makes room for exactly one more.
  const long long written = StatusField(full, "hitRing", "writeIndex");
  ASSERT_EQ(Ctl({"watch", "--count", "1", "--timeout", "5"}).exitCode, 0);
  PublishHeartbeats(1);
  ASSERT_TRUE(WaitUntil([&] { return StatusField(Status(), "hitRing", "pending") == 64; }, 10s));
  EXPECT_EQ(StatusField(Status(), "hitRing", "writeIndex"), written + 1);
  EXPECT_TRUE(worker_.Running());
}

TEST_F(WorkerRingsTest, AnUndersizedCommandRingEndsTheWorkerWithExitCodeOne) {
  const SharedMapping small = SharedMapping::Open(kCmdRingMappingName, 100);
  ASSERT_NE(small.View(), nullptr);
  worker_ = test::ChildProcess::Start(test::BuiltExecutable("tavrik-worker"), {});
  ASSERT_TRUE(worker_.Started());
  EXPECT_EQ(worker_.Wait(30s), 1);
  EXPECT_EQ(Log(), "[Init] Failed to initialize CmdRing consumer.\n");
  // The client sees that no worker runs, whatever the ring looks like.
  const test::RunResult status = Ctl({"status"});
  EXPECT_EQ(status.exitCode, 3);
  EXPECT_NE(status.output.find("no worker is running in namespace 'Local'"), std::string::npos)
      << status.output;
}

TEST_F(WorkerRingsTest, OneWorkerPerSessionAndClientsKnowWhenNoneRuns) {
  StartWorker();
  const std::filesystem::path said = dir_.Path() / "second.txt";
  test::ChildProcess second =
      test::ChildProcess::Start(test::BuiltExecutable("tavrik-worker"), {}, said);
  ASSERT_TRUE(second.Started());
  EXPECT_EQ(second.Wait(30s), 3);
  const std::string line =
      "[Init] Another worker is already running in namespace 'Local'; exiting.";
  EXPECT_NE(test::ReadFile(said.string()).find(line), std::string::npos)
      << test::ReadFile(said.string());
  EXPECT_TRUE(LogHas(line));
  EXPECT_EQ(Ctl({"heartbeat"}).exitCode, 0);  // the first one still answers

  worker_.Terminate();  // ended from outside: it releases nothing itself
  const test::RunResult add = Ctl({"add", "--name", "n", "--path", "p.png", "--roi", "0,0,8,8"});
  EXPECT_EQ(add.exitCode, 3);
  EXPECT_NE(add.output.find("no worker is running in namespace 'Local'"), std::string::npos)
      << add.output;
  StartWorker();  // the lock went with the old worker
}

}  // namespace
}  // namespace tavrik
