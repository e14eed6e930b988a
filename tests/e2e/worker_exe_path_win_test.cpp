// Where the Win32 worker thinks it lives: relative template paths are resolved against the
// directory of its executable, so a wrong directory shows as a template that cannot be found.
// The worker is copied to a directory whose path is longer than MAX_PATH, and to the root of a
// drive letter mapped for the test, and registers a template named relative to itself.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/hit_watch.h"
#include "tests/support/test_support.h"

namespace tavrik {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class WorkerExePathTest : public ::testing::Test {
 protected:
  void TearDown() override { worker_.Terminate(); }

  // Copies the worker and a template (beside it) into `dir`, starts it there and adds the
  // template by its bare file name. The worker's log line for the add.
  std::string AddBesideTheWorker(const fs::path& dir) {
    fs::create_directories(dir);
    fs::copy_file(test::BuiltExecutable("tavrik-worker"), dir / "tavrik-worker.exe",
                  fs::copy_options::overwrite_existing);
    std::vector<unsigned char> png;
    cv::imencode(".png", cv::Mat(8, 8, CV_8UC3, cv::Scalar(10, 20, 30)), png);
    std::ofstream(dir / "beside.png", std::ios::binary)
        .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));

    test::ScopedEnvironment log("TAVRIK_LOG", (log_.Path() / "worker.log").string());
    worker_ = test::ChildProcess::Start(dir / "tavrik-worker.exe", {});
    if (!worker_.Started()) return "the worker did not start from " + dir.string();
    const test::RunResult add = test::RunProgram(
        test::BuiltExecutable("tavrik-ctl"),
        {"add", "--name", "beside", "--path", "beside.png", "--roi", "0,0,8,8", "--timeout", "30"});
    if (add.exitCode != 0) return "tavrik-ctl add failed: " + add.output;
    std::string line;
    test::WaitUntil(
        [&] {
          for (const char* prefix : {"[Spec] Registered 'beside'", "[Spec] Failed to load"}) {
            const auto lines = test::LogLinesWithPrefix(log_.Path() / "worker.log", prefix);
            if (!lines.empty()) line = lines.front();
          }
          return !line.empty();
        },
        30s);
    return line;
  }

  test::ScratchDirectory log_{"exe-path-log"};
  test::ChildProcess worker_;
};

TEST_F(WorkerExePathTest, AnExecutablePathLongerThanMaxPathIsNotCut) {
  test::ScratchDirectory scratch("exe-path-long");
  fs::path deep = scratch.Path();
  while (deep.native().size() <= MAX_PATH + 20) deep /= std::wstring(60, L'd');
  ASSERT_GT((deep / "tavrik-worker.exe").native().size(), static_cast<std::size_t>(MAX_PATH));
  EXPECT_EQ(AddBesideTheWorker(deep), "[Spec] Registered 'beside' ROI=0,0 8x8 threshold=0.9");
}

TEST_F(WorkerExePathTest, AnExecutableAtTheRootOfADriveResolvesAgainstTheRoot) {
  test::ScratchDirectory target("exe-path-root");
  // The first free drive letter from T:, mapped to the scratch directory for this test.
  const DWORD used = GetLogicalDrives();
  wchar_t letter = L'T';
  while (letter <= L'Z' && (used & (1u << (letter - L'A'))) != 0) ++letter;
  ASSERT_LE(letter, L'Z') << "no free drive letter";
  const std::wstring drive = std::wstring(1, letter) + L":";
  ASSERT_TRUE(DefineDosDeviceW(0, drive.c_str(), target.Path().c_str())) << GetLastError();
  struct Unmap {
    std::wstring drive;
    std::wstring to;
    ~Unmap() {
      DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, drive.c_str(),
                       to.c_str());
    }
  } unmap{drive, target.Path().native()};

  EXPECT_EQ(AddBesideTheWorker(fs::path(drive + L"\\")),
            "[Spec] Registered 'beside' ROI=0,0 8x8 threshold=0.9");
}

}  // namespace
}  // namespace tavrik
