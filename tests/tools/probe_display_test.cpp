// tavrik-ctl probe on a live window: a private Xvfb shows the demo target, and the probe finds it
// by process image name, captures at its client origin plus the ROI, and decides.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/support/xvfb_fixture.h"
#include "tools/ctl_args.h"
#include "tools/probe.h"

namespace tavrik::ctl {
namespace {

using namespace std::chrono_literals;

// Where the demo places its window, and where it paints the badge inside it.
constexpr int kTargetX = 140;
constexpr int kTargetY = 90;
constexpr int kBadgeX = 300;
constexpr int kBadgeY = 200;

class ProbeDisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb_.Start());
    display_.emplace("DISPLAY", xvfb_.DisplayName());
    dir_ = std::filesystem::temp_directory_path() /
           ("tavrik-probe-live-" + xvfb_.DisplayName().substr(1));
    std::filesystem::create_directories(dir_);
    const std::string demo = test::BuiltExecutable("tavrik-demo");
    ASSERT_EQ(std::system((demo + " --write-templates " + dir_.string()).c_str()), 0);
    target_ = test::SpawnedProcess::Spawn({demo, "--x", std::to_string(kTargetX), "--y",
                                           std::to_string(kTargetY), "--toggle-ms", "0"},
                                          /*pipeStdout=*/true, /*quiet=*/true);
    ASSERT_EQ(target_.ReadLine(10s), std::optional<std::string>("ready"));
  }
  void TearDown() override {
    target_.Stop();
    std::filesystem::remove_all(dir_);
  }

  int Probe(const std::vector<std::string>& args, std::string& out, std::string& err) {
    std::ostringstream o;
    std::ostringstream e;
    const int code = RunProbe(args, o, e);
    out = o.str();
    err = e.str();
    return code;
  }

  test::XvfbServer xvfb_;
  std::optional<test::ScopedEnv> display_;
  std::filesystem::path dir_;
  test::SpawnedProcess target_;
};

TEST_F(ProbeDisplayTest, FindsTheWindowCapturesAtItsClientOriginAndHits) {
  std::string out, err;
  const std::string marked = (dir_ / "marked.png").string();
  ASSERT_EQ(Probe({"--name", "T1:badge", "--template", (dir_ / "badge.png").string(), "--process",
                   "Tavrik-Demo.exe", "--roi", "250,150,200,150", "--out", marked},
                  out, err),
            0)
      << err;
  EXPECT_NE(out.find("source=window tavrik-demo origin=(140,90)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("capture=(390,240,200x150)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("decision=HIT\n"), std::string::npos) << out;
  EXPECT_NE(out.find("matchLoc=(50,50)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("[HIT] T1:badge score=1 pos=(300,200) abs=(440,290) roi=(390,240,200x150) "),
            std::string::npos)
      << out;
  EXPECT_TRUE(std::filesystem::exists(marked));
  static_assert(kBadgeX - 250 == 50 && kBadgeY - 150 == 50);
}

TEST_F(ProbeDisplayTest, MissingWindowIsReportedAndNothingIsCaptured) {
  std::string out, err;
  EXPECT_EQ(Probe({"--name", "badge", "--template", (dir_ / "badge.png").string(), "--process",
                   "no-such-program", "--roi", "0,0,100,100"},
                  out, err),
            kExitNoWorker);
  EXPECT_TRUE(out.empty()) << out;
  EXPECT_NE(err.find("no visible window"), std::string::npos) << err;
  EXPECT_NE(err.find("window origin (0,0)"), std::string::npos) << err;
}

}  // namespace
}  // namespace tavrik::ctl
