// tavrik-ctl probe on a live window: a private Xvfb shows the demo target, and the probe finds it
// by process image name, captures at its client origin plus the ROI, and decides.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/demo_desktop.h"
#include "tests/support/test_support.h"
#include "tools/ctl/ctl_args.h"
#include "tools/ctl/probe.h"

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
    dir_ = std::filesystem::temp_directory_path() /
           ("tavrik-probe-live-" + std::to_string(::getpid()));
    const std::string error = desktop_.Start(kTargetX, kTargetY, dir_);
    ASSERT_TRUE(error.empty()) << error;
  }
  void TearDown() override {
    desktop_.Stop();
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

  test::DemoDesktop desktop_;
  std::filesystem::path dir_;
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
