// tavrik-ctl as a user runs it: the real binary, in a directory of the user's, against a real
// worker process.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ipc/hit_ring.h"
#include "ipc/ring_layout.h"
#include "ipc/shared_memory.h"
#include "tests/support/test_support.h"
#include "tests/support/xvfb_fixture.h"

namespace tavrik {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct CtlRun {
  int code = -1;
  std::string out;
  std::string err;
};

class CtlWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / (ns_.Name() + "-ctl");
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // tavrik-ctl ARGS from the user's directory, with both streams kept.
  CtlRun Ctl(const std::string& arguments) {
    const fs::path out = dir_ / "out.txt";
    const fs::path err = dir_ / "err.txt";
    const std::string command = "cd '" + dir_.string() + "' && " +
                                test::BuiltExecutable("tavrik-ctl") + " " + arguments + " >'" +
                                out.string() + "' 2>'" + err.string() + "'";
    const int status = std::system(command.c_str());
    return CtlRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1, test::ReadFile(out.string()),
                  test::ReadFile(err.string())};
  }

  void StartWorker() {
    worker_ = test::SpawnedProcess::Spawn({test::BuiltExecutable("tavrik-worker")}, false, true);
    ASSERT_TRUE(test::WaitUntil(
        [&] {
          hit_ = SharedMapping::Open(kHitRingMappingName, kHitRingBytes, OpenMode::kOpenExisting);
          return hit_.View() != nullptr && LoadIndex(Ring().header.writeIndex) >= 1;
        },
        10s));
  }
  HitRingLayout& Ring() { return *static_cast<HitRingLayout*>(hit_.View()); }

  test::ScopedIpcNamespace ns_;
  test::ScopedEnv noDisplay_{"DISPLAY", std::nullopt};
  fs::path dir_;
  test::SpawnedProcess worker_;
  SharedMapping hit_;
};

TEST_F(CtlWorkerTest, VersionAndUnknownShortOptionsAreAnswered) {
  const CtlRun version = Ctl("--version");
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.out, "tavrik-ctl 0.2.4\n");
  const CtlRun shortOption = Ctl("add -n x --path p.png --roi 0,0,1,1");
  EXPECT_EQ(shortOption.code, 2);
  EXPECT_NE(shortOption.err.find("add: unknown option -n"), std::string::npos) << shortOption.err;
  EXPECT_EQ(Ctl("-x").err, "tavrik-ctl: unknown option -x (try: tavrik-ctl --help)\n");
}

TEST_F(CtlWorkerTest, NoWorkerSaysHowToStartOne) {
  const CtlRun status = Ctl("status");
  EXPECT_EQ(status.code, 3);
  EXPECT_NE(status.out.find("no worker is running in namespace '" + ns_.Name() +
                            "'; start one with tavrik-worker, or with systemctl --user start "
                            "tavrik-worker"),
            std::string::npos)
      << status.out;
  const CtlRun clear = Ctl("clear");
  EXPECT_EQ(clear.code, 3);
  EXPECT_NE(clear.err.find("systemctl --user start tavrik-worker"), std::string::npos)
      << clear.err;
}

TEST_F(CtlWorkerTest, HeartbeatAndVersionLeaveTheReadersMessagesAlone) {
  StartWorker();
  const CtlRun heartbeat = Ctl("heartbeat");
  ASSERT_EQ(heartbeat.code, 0) << heartbeat.err;
  EXPECT_EQ(heartbeat.out, "__hb__:CMD\n");
  ASSERT_EQ(Ctl("version").out, "__ver__:0.2.4\n");
  // The UI still reads everything, in order, starting with the start-up version message.
  EXPECT_EQ(LoadIndex(Ring().header.readIndex), 0u);
  HitRingReader ui(SharedMapping::Open(kHitRingMappingName, kHitRingBytes, OpenMode::kOpenExisting),
                   NamedEvent());
  std::vector<std::string> names;
  while (auto slot = ui.TryNext()) names.push_back(DecodeHitName(*slot));
  EXPECT_EQ(names, (std::vector<std::string>{"__ver__:0.2.4", "__hb__:CMD", "__ver__:0.2.4"}));

  // A reader that stopped reading leaves a full ring: the reply cannot arrive, and ctl says so.
  StoreIndex(Ring().header.readIndex, LoadIndex(Ring().header.writeIndex) - kRingSlotCount);
  const CtlRun full = Ctl("heartbeat --timeout 1");
  EXPECT_EQ(full.code, 3);
  EXPECT_NE(full.err.find("the hit ring is full"), std::string::npos) << full.err;
  EXPECT_EQ(Ctl("heartbeat --drain").out, "__hb__:CMD\n");
}

TEST_F(CtlWorkerTest, AddWarnsAboutARelativePathAndAnOddRoiAndCheckShowsTheTemplate) {
  const fs::path image = fs::path(TAVRIK_SOURCE_DIR) / "docs" / "images" / "probe-badge.png";
  ASSERT_TRUE(fs::exists(image)) << image;
  fs::copy_file(image, dir_ / "badge.png");

  // The file exists here, but the worker looks beside itself: said, with the path it will try.
  const CtlRun relative = Ctl("add --check --name badge --path badge.png --roi 0,0,100,100");
  EXPECT_EQ(relative.code, 1) << relative.err;
  const fs::path workerDir = fs::path(test::BuiltExecutable("tavrik-ctl")).parent_path();
  EXPECT_NE(relative.err.find("exists in the current directory"), std::string::npos)
      << relative.err;
  EXPECT_NE(relative.err.find("will try " + (workerDir / "badge.png").string()), std::string::npos)
      << relative.err;

  const CtlRun check = Ctl("add --check --name t2:badge --path '" + (dir_ / "badge.png").string() +
                           "' --roi 1,2,-3,0 --threshold 0.5");
  ASSERT_EQ(check.code, 0) << check.err;
  EXPECT_NE(check.out.find("size=72x48\n"), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("kind=t2\n"), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("threshold=0.97 (asked 0.5)\n"), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("mask="), std::string::npos);
  EXPECT_NE(check.out.find("hue="), std::string::npos);
  // add and probe treat the ROI alike: accepted, with a warning where the worker raises it.
  EXPECT_NE(check.err.find("width -3 is below 1; the worker raises it to 1"), std::string::npos)
      << check.err;
  EXPECT_NE(check.err.find("height 0 is below 1"), std::string::npos) << check.err;
  const CtlRun probe =
      Ctl("probe --name t2:badge --template badge.png --image badge.png --roi 1,2,-3,0");
  EXPECT_NE(probe.err.find("width -3 is below 1; the worker raises it to 1"), std::string::npos)
      << probe.err;
}

}  // namespace
}  // namespace tavrik
