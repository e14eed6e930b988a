// The worker executable as a peer sees it: start-up order, the exit path and the first messages.
#include <gtest/gtest.h>

#include <filesystem>
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

class WorkerProcessTest : public ::testing::Test {
 protected:
  std::string LogPath() const {
    return (std::filesystem::temp_directory_path() / (ns_.Name() + ".log")).string();
  }
  void TearDown() override { std::filesystem::remove(LogPath()); }
  test::SpawnedProcess StartWorker() {
    test::ScopedEnv log("TAVRIK_LOG", LogPath());  // the namespace is already in the environment
    return test::SpawnedProcess::Spawn({test::BuiltExecutable("tavrik-worker")}, false, true);
  }
  bool LogHas(const std::string& line) {
    return WaitUntil(
        [&] { return test::ReadFile(LogPath()).find(line + "\n") != std::string::npos; }, 5s);
  }

  test::ScopedIpcNamespace ns_;
};

TEST_F(WorkerProcessTest, UndersizedCommandRingExitsWithCodeOne) {
  SharedMapping small = SharedMapping::Open(kCmdRingMappingName, 100);
  ASSERT_NE(small.View(), nullptr);
  auto worker = StartWorker();
  EXPECT_EQ(worker.Wait(10s), 1);
  EXPECT_EQ(test::ReadFile(LogPath()), "[Init] Failed to initialize CmdRing consumer.\n");
  // Neither the hit ring nor its event was created before the failure.
  EXPECT_FALSE(std::filesystem::exists("/dev/shm/" + ns_.Name() + "-HitRingMMF"));
}

TEST_F(WorkerProcessTest, VersionAtStartUpThenAnswersCommands) {
  auto worker = StartWorker();
  SharedMapping hit;
  ASSERT_TRUE(WaitUntil(
      [&] {
        hit = SharedMapping::Open(kHitRingMappingName, kHitRingBytes, OpenMode::kOpenExisting);
        return hit.View() != nullptr && ReadU32(hit.View(), 0) >= 1;
      },
      10s));
  EXPECT_EQ(ReadHitSlot(hit.View(), 0).name, u"__ver__:0.2.4");
  EXPECT_TRUE(LogHas("Tavrik waiting for spec registrations from C#."));

  SharedMapping cmd =
      SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes, OpenMode::kOpenExisting);
  ASSERT_NE(cmd.View(), nullptr);
  test::PeerCommand hb;
  hb.commandType = kHeartbeat;
  test::WriteCommandSlot(cmd.View(), 0, hb);
  StoreIndex(static_cast<CmdRingLayout*>(cmd.View())->header.writeIndex, 1);
  NamedEvent::Open(kCmdRingEventName, OpenMode::kOpenExisting).Signal();
  ASSERT_TRUE(WaitUntil([&] { return ReadU32(hit.View(), 0) >= 2; }, 5s));
  EXPECT_EQ(ReadHitSlot(hit.View(), 1).name, u"__hb__:CMD");
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
  SharedMapping small = SharedMapping::Open(kHitRingMappingName, 64);
  ASSERT_NE(small.View(), nullptr);
  auto worker = StartWorker();
  EXPECT_TRUE(LogHas("[Init] Warning: HitRingWriter not ready; hits won't reach UI."));
  SharedMapping cmd;
  ASSERT_TRUE(WaitUntil(
      [&] {
        cmd = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes, OpenMode::kOpenExisting);
        return cmd.View() != nullptr;
      },
      5s));
  test::PeerCommand clear;
  clear.commandType = kClearSpecs;
  test::WriteCommandSlot(cmd.View(), 0, clear);
  StoreIndex(static_cast<CmdRingLayout*>(cmd.View())->header.writeIndex, 1);
  EXPECT_TRUE(LogHas("[Spec] Cleared all templates"));
  EXPECT_TRUE(worker.Running());
  // The undersized hit ring is left as it was: the worker never writes into a mapping it could not
  // map at full size.
  EXPECT_EQ(ReadU32(small.View(), 0), 0u);
}

}  // namespace
}  // namespace tavrik
