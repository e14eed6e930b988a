// Where the Win32 worker thinks it lives: relative template paths are resolved against the
// directory of its executable, so a wrong directory shows as a template that cannot be found.
//  - A module path longer than MAX_PATH: Wine cannot start a program from there, so the module
//    path query is checked on a DLL loaded from such a directory.
//  - An executable at the root of a drive: scripts/win32-test.sh maps a drive letter in the Wine
//    prefix (TAVRIK_TEST_ROOT_DRIVE); the worker runs from its root and registers a template
//    named relative to itself.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/hit_watch.h"
#include "tests/support/test_support.h"
#include "base/module_path_win.h"

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
    fs::copy_file(test::BuiltExecutable("tavrik-worker"), dir / "tavrik-worker.exe",
                  fs::copy_options::overwrite_existing);
    std::vector<unsigned char> png;
    cv::imencode(".png", cv::Mat(8, 8, CV_8UC3, cv::Scalar(10, 20, 30)), png);
    std::ofstream(dir / "beside.png", std::ios::binary)
        .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));

    test::ScopedEnvironment log("TAVRIK_LOG", (log_.Path() / "worker.log").string());
    worker_ = test::ChildProcess::Start(dir / "tavrik-worker.exe", {});
    if (!worker_.Started()) return "the worker did not start from " + dir.string();
    // The worker takes its lock and rings a moment after it starts (longer in a fresh Wine
    // prefix): until then tavrik-ctl says no worker runs (exit code 3).
    test::RunResult add;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    do {
      add = test::RunProgram(
          test::BuiltExecutable("tavrik-ctl"),
          {"add", "--name", "beside", "--path", "beside.png", "--roi", "0,0,8,8", "--timeout", "30"});
      if (add.exitCode != 3) break;
      std::this_thread::sleep_for(100ms);
    } while (std::chrono::steady_clock::now() < deadline);
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

TEST(ModuleFileName, APathLongerThanMaxPathIsNotCut) {
  test::ScratchDirectory scratch("module-path-long");
  fs::path deep = scratch.Path();
  while (deep.native().size() <= MAX_PATH + 40) deep /= std::wstring(60, L'd');
  fs::create_directories(deep);
  const fs::path module = deep / "tavrik-test-module.dll";
  fs::copy_file(test::OwnDirectory() / "tavrik-test-module.dll", module,
                fs::copy_options::overwrite_existing);
  // Beyond MAX_PATH only the literal-path forms of the calls can remove it, bottom up.
  struct RemoveDeep {
    fs::path file;
    fs::path top;
    ~RemoveDeep() {
      DeleteFileW((L"\\\\?\\" + file.native()).c_str());
      for (fs::path d = file.parent_path(); d.native().size() > top.native().size();
           d = d.parent_path()) {
        RemoveDirectoryW((L"\\\\?\\" + d.native()).c_str());
      }
    }
  } removeDeep{module, scratch.Path()};
  ASSERT_GT(module.native().size(), static_cast<std::size_t>(MAX_PATH));

  HMODULE loaded = LoadLibraryW((L"\\\\?\\" + module.native()).c_str());
  ASSERT_NE(loaded, nullptr) << GetLastError();
  std::wstring path = ModuleFileName(loaded);
  FreeLibrary(loaded);
  if (path.rfind(L"\\\\?\\", 0) == 0) path.erase(0, 4);  // as it was loaded, or without the prefix
  EXPECT_EQ(path, module.native());
  // The executable's own path, short here, comes back whole as well.
  EXPECT_EQ(fs::path(ModuleFileName(nullptr)).filename(), "e2e_worker_exe_path_win_test.exe");
}

TEST_F(WorkerExePathTest, AnExecutableAtTheRootOfADriveResolvesAgainstTheRoot) {
  const char* drive = std::getenv("TAVRIK_TEST_ROOT_DRIVE");  // "T:"
  if (drive == nullptr) GTEST_SKIP() << "no drive mapped for the test (scripts/win32-test.sh)";
  const fs::path root = fs::path(std::string(drive) + "\\");
  ASSERT_TRUE(fs::is_directory(root)) << root;
  EXPECT_EQ(AddBesideTheWorker(root), "[Spec] Registered 'beside' ROI=0,0 8x8 threshold=0.9");
  worker_.Terminate();
  std::error_code ec;
  fs::remove(root / "tavrik-worker.exe", ec);
  fs::remove(root / "beside.png", ec);
}

}  // namespace
}  // namespace tavrik
