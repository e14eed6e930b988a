// Test helpers that need no operating system interface (ScopedIpcNamespace lives in
// test_support_<os>.cpp).
#include "tests/support/test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tavrik::test {

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string BuiltExecutable(const std::string& name) {
  const char* dir = std::getenv("TAVRIK_BUILD_DIR");
  if (dir == nullptr) throw std::runtime_error("TAVRIK_BUILD_DIR is not set");
  // The programs people run are built into bin/; test programs live beside their tests.
  // Windows executables carry ".exe"; tests name programs without it on every system.
  for (const std::string& file : {name, name + ".exe"}) {
    const std::filesystem::path program = std::filesystem::path(dir) / "bin" / file;
    std::error_code ec;
    if (std::filesystem::is_regular_file(program, ec)) return program.string();
  }
  // The Wine prefix, the scratch drive and the packages' staging trees live in the build tree
  // too (the last with files of the same names, a completion script among them); running tests
  // create and delete files there, so they are not searched and a vanishing entry is stepped
  // over.
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(dir, ec), end; !ec && it != end;
       it.increment(ec)) {
    const auto file = it->path().filename();
    if (file == "wineprefix" || file == "drive-root" || file == "_CPack_Packages") {
      it.disable_recursion_pending();
      continue;
    }
    std::error_code typeError;
    if (it->is_regular_file(typeError) && (file == name || file == name + ".exe")) {
      return it->path().string();
    }
  }
  throw std::runtime_error(name + " not found under " + dir);
}

}  // namespace tavrik::test
