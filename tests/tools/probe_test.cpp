// tavrik-ctl probe on screenshot files: what it decides, what it prints, what --out draws and how
// it refuses bad input.
#include "tools/ctl/probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "detect/evaluate.h"
#include "detect/report.h"
#include "detect/template_prepare.h"
#include "registry/template_info.h"
#include "tools/ctl/ctl_args.h"
#include "tools/ctl/ctl_run.h"
#include "tools/ctl/probe_pictures.h"

namespace tavrik::ctl {
namespace {

constexpr int kShotWidth = 320;
constexpr int kShotHeight = 240;
const cv::Rect kCut(123, 77, 40, 30);  // where the template is cut from the screenshot

struct ProbeRun {
  int code = -1;
  std::string out;
  std::string err;
  std::map<std::string, std::string> values;  // key=value lines
  std::string workerLine;                     // the "[HIT] " / "[MISS] " line

  const std::string& at(const std::string& key) const {
    static const std::string kMissing = "<missing>";
    const auto it = values.find(key);
    return it == values.end() ? kMissing : it->second;
  }
};

ProbeRun RunTool(const std::vector<std::string>& args) {
  std::ostringstream out;
  std::ostringstream err;
  ProbeRun run;
  run.code = RunCtl(args, out, err);
  run.out = out.str();
  run.err = err.str();
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("[HIT] ", 0) == 0 || line.rfind("[MISS] ", 0) == 0) {
      run.workerLine = line;
    } else if (const auto eq = line.find('='); eq != std::string::npos) {
      run.values[line.substr(0, eq)] = line.substr(eq + 1);
    }
  }
  return run;
}

class ProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("tavrik-probe-" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(dir_);

    // A textured, colourful scene: every 40x30 window is distinct, so the cut matches once.
    shot_ = cv::Mat(kShotHeight, kShotWidth, CV_8UC3);
    cv::RNG rng(1234);
    rng.fill(shot_, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(256));
    cv::GaussianBlur(shot_, shot_, cv::Size(5, 5), 0);
    cv::circle(shot_, {kCut.x + 20, kCut.y + 15}, 10, {30, 200, 240}, cv::FILLED);
    cv::rectangle(shot_, {kCut.x + 2, kCut.y + 2, 12, 8}, {200, 40, 40}, cv::FILLED);
    ASSERT_TRUE(cv::imwrite(Path("shot.png"), shot_));
    ASSERT_TRUE(cv::imwrite(Path("tpl.png"), shot_(kCut)));

    // The same scene with the template's area painted over.
    cv::Mat changed = shot_.clone();
    cv::rectangle(changed, kCut, {90, 160, 90}, cv::FILLED);
    cv::putText(changed, "x", {kCut.x + 8, kCut.y + 25}, cv::FONT_HERSHEY_SIMPLEX, 0.8,
                {10, 10, 10}, 2);
    ASSERT_TRUE(cv::imwrite(Path("changed.png"), changed));
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Path(const std::string& file) const { return (dir_ / file).string(); }

  std::vector<std::string> Args(const std::string& name, const std::string& image,
                                std::vector<std::string> extra = {}) const {
    std::vector<std::string> args = {"probe",         "--name",  name,       "--template",
                                     Path("tpl.png"), "--image", Path(image)};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  // The decision line the worker's reporting code composes for the same template and region.
  std::string ExpectedLine(const std::string& name, const std::string& image,
                           const IntRect& roi) const {
    TemplateInfo info;
    info.name = name;
    info.image = cv::imread(Path("tpl.png"), cv::IMREAD_COLOR);
    EXPECT_TRUE(PrepareTemplate(info, 0.0f));
    info.roi = roi;
    info.rawRoi = roi;
    Evaluation e;
    EXPECT_TRUE(PlanCapture(info, e));
    e.captured =
        cv::imread(Path(image), cv::IMREAD_COLOR)(cv::Rect(roi.x, roi.y, roi.width, roi.height));
    EvaluateRegion(e, info);
    ComputeReportPositions(e, info);
    return ComposeDecisionLine(e, info);
  }

  std::filesystem::path dir_;
  cv::Mat shot_;
};

TEST_F(ProbeTest, TemplateCutFromTheScreenshotHitsWhereItWasCut) {
  const ProbeRun run = RunTool(Args("t1:probe", "shot.png"));
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.at("decision"), "HIT");
  EXPECT_EQ(run.at("reason"), "-");
  EXPECT_GT(std::stod(run.at("raw")), 0.999);
  EXPECT_EQ(run.at("matchLoc"), "(123,77)");
  EXPECT_EQ(run.at("pos"), "(123,77)");
  EXPECT_EQ(run.at("roi"), "(0,0,320x240)");
  EXPECT_EQ(run.at("threshold"), "0.9");
  for (const char* key : {"baseline", "colorPen", "satAdj", "score", "adj"}) {
    EXPECT_NE(run.at(key), "<missing>") << key;
  }
  EXPECT_EQ(run.workerLine, ExpectedLine("t1:probe", "shot.png", {0, 0, 320, 240}));
  EXPECT_EQ(run.workerLine.rfind("[HIT] t1:probe score=", 0), 0u) << run.workerLine;
}

TEST_F(ProbeTest, RoiCutsTheScreenshotAndPositionsStayInScreenshotCoordinates) {
  const ProbeRun run = RunTool(Args("t1:probe", "shot.png", {"--roi", "100,50,200,150"}));
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.at("decision"), "HIT");
  EXPECT_EQ(run.at("matchLoc"), "(23,27)");
  EXPECT_EQ(run.at("pos"), "(123,77)");
  EXPECT_EQ(run.at("abs"), "(123,77)");
  EXPECT_EQ(run.at("capture"), "(100,50,200x150)");
  EXPECT_EQ(run.workerLine, ExpectedLine("t1:probe", "shot.png", {100, 50, 200, 150}));
}

TEST_F(ProbeTest, ChangedScreenshotMissesBelowThreshold) {
  const ProbeRun run = RunTool(Args("t1:probe", "changed.png"));
  ASSERT_EQ(run.code, 0) << run.err;  // a miss is still a successful probe
  EXPECT_EQ(run.at("decision"), "MISS");
  EXPECT_EQ(run.at("reason"), "score<threshold");
  EXPECT_LT(std::stod(run.at("score")), 0.9);
  EXPECT_EQ(run.workerLine, ExpectedLine("t1:probe", "changed.png", {0, 0, 320, 240}));
  EXPECT_NE(run.workerLine.find(" reason=score<threshold minAdj=0 threshold=0.9 "),
            std::string::npos)
      << run.workerLine;

  EXPECT_EQ(RunTool(Args("t1:probe", "changed.png", {"--exit-code"})).code, kExitProbeMiss);
  EXPECT_EQ(RunTool(Args("t1:probe", "shot.png", {"--exit-code"})).code, 0);
}

TEST_F(ProbeTest, KindKeySelectsTheMatchingVariantAndThresholdRules) {
  const ProbeRun general = RunTool(Args("plain", "shot.png"));
  ASSERT_EQ(general.code, 0) << general.err;
  EXPECT_NE(general.at("method").find("TM_CCOEFF_NORMED"), std::string::npos);
  EXPECT_EQ(general.values.count("edgeMask"), 0u);
  EXPECT_EQ(general.at("knownKind"), "false");

  const ProbeRun t2 = RunTool(Args("T2:probe", "shot.png", {"--threshold", "0.5"}));
  ASSERT_EQ(t2.code, 0) << t2.err;
  EXPECT_EQ(t2.at("kind"), "t2");
  EXPECT_NE(t2.at("method").find("TM_CCORR_NORMED"), std::string::npos) << t2.at("method");
  EXPECT_NE(t2.at("edgeMask"), "<missing>");
  EXPECT_EQ(t2.at("threshold"), "0.97");
  EXPECT_NE(t2.err.find("0.97"), std::string::npos) << "the override is pointed out";
  EXPECT_EQ(t2.at("decision"), "HIT");
  EXPECT_EQ(t2.at("matchLoc"), "(123,77)");

  const ProbeRun t3 = RunTool(Args("t3:probe", "shot.png", {"--threshold", "1.5"}));
  ASSERT_EQ(t3.code, 0) << t3.err;
  EXPECT_NE(t3.at("method").find("TM_SQDIFF_NORMED"), std::string::npos) << t3.at("method");
  EXPECT_EQ(t3.at("threshold"), "1");
  EXPECT_EQ(t3.at("baseline"), "0");  // squared difference has no baseline
  EXPECT_EQ(t3.at("raw"), "1");
  EXPECT_EQ(t3.at("matchLoc"), "(123,77)");
}

TEST_F(ProbeTest, OutFramesTheMatchInTheDecisionsColourAndCaptionsIt) {
  constexpr int kMargin = 12;  // where the region sits in the picture
  const auto check = [&](const std::string& image, const cv::Vec3b& colour) {
    const std::string out = Path("marked-" + image);
    const ProbeRun run =
        RunTool(Args("t1:probe", image, {"--roi", "100,50,200,150", "--out", out}));
    ASSERT_EQ(run.code, 0) << run.err;
    const cv::Mat marked = cv::imread(out, cv::IMREAD_COLOR);
    ASSERT_GE(marked.cols, 200 + 2 * kMargin);
    ASSERT_GT(marked.rows, 150 + 2 * kMargin + 40) << "a caption band below the region";
    int x = 0, y = 0, w = 0, h = 0;
    ASSERT_EQ(std::sscanf(run.at("matchRect").c_str(), "(%d,%d,%dx%d)", &x, &y, &w, &h), 4);
    const cv::Point box(kMargin + x, kMargin + y);
    // A 2-pixel frame just outside the match, with a dark line inside it.
    for (const cv::Point p :
         {cv::Point(box.x - 2, box.y + h / 2), cv::Point(box.x + w / 2, box.y - 2),
          cv::Point(box.x + w + 1, box.y + h / 2)}) {
      EXPECT_EQ(marked.at<cv::Vec3b>(p), colour) << image << " at " << p;
    }
    EXPECT_EQ(marked.at<cv::Vec3b>(box.y + h / 2, box.x - 1), cv::Vec3b(0, 0, 0));
    // Inside the frame and elsewhere the region is as captured.
    const cv::Mat source = cv::imread(Path(image), cv::IMREAD_COLOR)(cv::Rect(100, 50, 200, 150));
    EXPECT_EQ(marked.at<cv::Vec3b>(box.y + h / 2, box.x + w / 2),
              source.at<cv::Vec3b>(y + h / 2, x + w / 2));
    EXPECT_EQ(marked.at<cv::Vec3b>(kMargin + 149, kMargin + 199), source.at<cv::Vec3b>(149, 199));
  };
  check("shot.png", cv::Vec3b(0, 220, 0));
  check("changed.png", cv::Vec3b(0, 0, 235));
}

TEST_F(ProbeTest, HeatmapMarksTheBestPlacementAndJsonCarriesEveryFigure) {
  const std::string heat = Path("heat.png");
  const ProbeRun text = RunTool(Args("t1:probe", "shot.png", {"--roi", "100,50,200,150"}));
  const ProbeRun json = RunTool(
      Args("t1:probe", "shot.png", {"--roi", "100,50,200,150", "--json", "--heatmap", heat}));
  ASSERT_EQ(json.code, 0) << json.err;

  // One JSON object holding every key of the text output, with the same numbers.
  ASSERT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 1);
  EXPECT_EQ(json.out.front(), '{');
  for (const auto& [key, value] : text.values) {
    EXPECT_NE(json.out.find("\"" + key + "\":"), std::string::npos) << key;
  }
  EXPECT_NE(json.out.find("\"score\":" + text.at("score") + ","), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"decision\":\"HIT\""), std::string::npos);
  EXPECT_NE(json.out.find("\"line\":\"[HIT] t1:probe score="), std::string::npos) << json.out;

  // The heat map's cross sits on the placement the decision chose.
  const cv::Mat picture = cv::imread(heat, cv::IMREAD_COLOR);
  ASSERT_FALSE(picture.empty());
  int x = 0, y = 0;
  ASSERT_EQ(std::sscanf(text.at("matchLoc").c_str(), "(%d,%d)", &x, &y), 2);
  // The map is the region minus the template, plus one.
  const cv::Point centre = ctl::HeatmapCentreOf(cv::Size(200 - 40 + 1, 150 - 30 + 1), {x, y});
  EXPECT_EQ(picture.at<cv::Vec3b>(centre), cv::Vec3b(255, 255, 255)) << centre;
}

// An X desktop: a logo with the black root window around it, larger than the template. A crop of
// the logo as a masked colour template hits at its own place in the text, in the JSON and under
// the heat map's cross alike; black windows have no energy and carry no evidence.
TEST_F(ProbeTest, AMaskedCropBesideABlackDesktopHitsInEveryOutputAtItsPlace) {
  const cv::Mat desktop =
      cv::imread(std::string(TAVRIK_TEST_DATA_DIR) + "/x11_desktop.png", cv::IMREAD_COLOR);
  ASSERT_FALSE(desktop.empty());
  const cv::Mat scene = desktop(cv::Rect(0, 0, 320, 320));
  ASSERT_EQ(cv::countNonZero(scene(cv::Rect(220, 240, 80, 80)).reshape(1)), 0) << "not black";
  ASSERT_TRUE(cv::imwrite(Path("scene.png"), scene));
  ASSERT_TRUE(cv::imwrite(Path("tpl.png"), scene(cv::Rect(100, 100, 80, 80))));
  const std::string heat = Path("scene-heat.png");
  const ProbeRun text = RunTool(Args("t2:logo", "scene.png"));
  const ProbeRun json = RunTool(Args("t2:logo", "scene.png", {"--json", "--heatmap", heat}));
  ASSERT_EQ(text.code, 0) << text.err;
  ASSERT_EQ(json.code, 0) << json.err;
  EXPECT_EQ(text.at("decision"), "HIT") << text.out;
  EXPECT_EQ(text.at("matchLoc"), "(100,100)");
  EXPECT_NE(json.out.find("\"decision\":\"HIT\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"raw\":" + text.at("raw") + ","), std::string::npos) << json.out;
  EXPECT_GT(std::stod(text.at("raw")), 0.999);
  EXPECT_EQ(text.out.find("nan"), std::string::npos) << text.out;
  EXPECT_EQ(text.out.find("inf"), std::string::npos) << text.out;

  const cv::Mat picture = cv::imread(heat, cv::IMREAD_COLOR);
  ASSERT_FALSE(picture.empty());
  const cv::Point centre =
      ctl::HeatmapCentreOf(cv::Size(320 - 80 + 1, 320 - 80 + 1), cv::Point(100, 100));
  EXPECT_EQ(picture.at<cv::Vec3b>(centre), cv::Vec3b(255, 255, 255)) << centre;
}

TEST_F(ProbeTest, RoiIsValidatedLikeAddAndRaisedToOnePixelWithAWarning) {
  const ProbeRun run = RunTool(Args("t1:probe", "shot.png", {"--roi", "0,0,0,-3"}));
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.at("roi"), "(0,0,1x1)");
  EXPECT_NE(run.err.find("width 0 is below 1; the worker raises it to 1"), std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("height -3 is below 1"), std::string::npos) << run.err;
}

TEST_F(ProbeTest, RegionSmallerThanTheTemplateMissesAndSaysWhy) {
  const ProbeRun run =
      RunTool(Args("t1:probe", "shot.png", {"--roi", "0,0,39,100", "--out", Path("small.png")}));
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.at("raw"), "-1");
  EXPECT_EQ(run.at("reason"), "score<threshold");
  EXPECT_NE(run.err.find("smaller than the template"), std::string::npos) << run.err;
  EXPECT_TRUE(std::filesystem::exists(Path("small.png")));
}

TEST_F(ProbeTest, BadInputIsAUsageErrorWithAMessage) {
  std::ofstream(Path("notes.txt")) << "not an image\n";
  const std::string tpl = Path("tpl.png");
  const std::string shot = Path("shot.png");
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"probe", "--template", tpl, "--image", shot}, "--name is required"},
      {{"probe", "--name", "a", "--image", shot}, "--template is required"},
      {{"probe", "--name", "a", "--template", tpl}, "--image FILE"},
      {{"probe", "--name", "a", "--template", tpl, "--image", shot, "--process", "x"},
       "exclude each other"},
      {{"probe", "--name", "a", "--template", tpl, "--process", "x.exe"}, "--process needs --roi"},
      {{"probe", "--name", "a", "--template", tpl, "--image", shot, "--roi", "1,2,3"}, "--roi"},
      {{"probe", "--name", "a", "--template", tpl, "--image", shot, "--roi", "300,0,40,10"},
       "does not lie inside the 320x240 screenshot"},
      {{"probe", "--name", "a", "--template", Path("missing.png"), "--image", shot},
       "cannot read the template image"},
      {{"probe", "--name", "a", "--template", tpl, "--image", Path("notes.txt")},
       "cannot read the screenshot"},
      {{"probe", "--name", "a", "--template", tpl, "--image", shot, "--threshold", "abc"},
       "--threshold must be a finite number"},
      {{"probe", "--name", "a", "--template", tpl, "--image", shot, "--bogus"},
       "unknown option --bogus"},
      {{"probe", "--name", "a", "--template", tpl, "--image", shot, "--out", Path("o.xyz")},
       "image extension"},
      {{"probe", "--name", std::string(33, 'n'), "--template", tpl, "--image", shot},
       "the limit is 32"},
      {{"probe", "--name", "a", "--name", "b", "--template", tpl, "--image", shot},
       "more than once"},
  };
  for (const auto& c : cases) {
    const ProbeRun run = RunTool(c.args);
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    EXPECT_EQ(run.code, kExitUsage) << joined;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << joined << "\n" << run.err;
    EXPECT_EQ(run.err.rfind("tavrik-ctl: probe: ", 0), 0u) << run.err;
    EXPECT_TRUE(run.out.empty()) << joined;
  }
  EXPECT_FALSE(std::filesystem::exists(Path("o.xyz")));
}

TEST_F(ProbeTest, HelpListsProbeAndDescribesIt) {
  const ProbeRun overview = RunTool({"--help"});
  EXPECT_EQ(overview.code, 0);
  EXPECT_NE(overview.out.find("\n  probe "), std::string::npos);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"help", "probe"}, std::vector<std::string>{"probe", "--help"}}) {
    const ProbeRun help = RunTool(args);
    EXPECT_EQ(help.code, 0);
    EXPECT_EQ(help.out.rfind("Usage: tavrik-ctl probe ", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("--exit-code"), std::string::npos);
  }
}

}  // namespace
}  // namespace tavrik::ctl
