// Win32 backend of child_process.h: CreateProcessW with output redirected to a file.
#include <windows.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <utility>

#include "tests/support/child_process.h"

namespace tavrik::test {
namespace {

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return wide;
}

// Quotes one argument the way the C runtime splits a command line.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') backslashes = backslashes * 2 + 1;
    line.append(backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

// An inheritable handle to `path` opened for appending, or INVALID_HANDLE_VALUE.
HANDLE OpenOutput(const std::filesystem::path& path) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  if (path.empty()) {
    return CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       OPEN_EXISTING, 0, nullptr);
  }
  return CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

ChildProcess::~ChildProcess() { Terminate(); }

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : process_(std::exchange(other.process_, nullptr)), id_(std::exchange(other.id_, 0)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    Terminate();
    process_ = std::exchange(other.process_, nullptr);
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

ChildProcess ChildProcess::Start(const std::filesystem::path& program,
                                 const std::vector<std::string>& args,
                                 const std::filesystem::path& outputFile) {
  ChildProcess child;
  std::wstring line;
  AppendQuoted(line, program.wstring());
  for (const std::string& arg : args) {
    line += L' ';
    AppendQuoted(line, Widen(arg));
  }
  HANDLE output = OpenOutput(outputFile);
  if (output == INVALID_HANDLE_VALUE) return child;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION info{};
  // A program given by path is started from that path; a bare name is searched for.
  const bool bare = !program.has_parent_path();
  const BOOL ok = CreateProcessW(bare ? nullptr : program.c_str(), line.data(), nullptr, nullptr,
                                 TRUE, 0, nullptr, nullptr, &startup, &info);
  CloseHandle(output);
  if (!ok) return child;
  CloseHandle(info.hThread);
  child.process_ = info.hProcess;
  child.id_ = info.dwProcessId;
  return child;
}

bool ChildProcess::Running() const {
  return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (process_ == nullptr) return -1;
  if (WaitForSingleObject(process_, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
    return -1;
  }
  DWORD code = 0;
  GetExitCodeProcess(process_, &code);
  return static_cast<int>(code);
}

void ChildProcess::Terminate() {
  if (process_ == nullptr) return;
  if (Running()) {
    TerminateProcess(process_, 255);
    WaitForSingleObject(process_, 10000);
  }
  CloseHandle(process_);
  process_ = nullptr;
  id_ = 0;
}

RunResult RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                     std::chrono::milliseconds timeout) {
  static std::atomic<int> counter{0};
  const std::filesystem::path out = std::filesystem::temp_directory_path() /
                                    ("tavrik-run-" + std::to_string(GetCurrentProcessId()) + "-" +
                                     std::to_string(counter++) + ".out");
  std::error_code ec;
  std::filesystem::remove(out, ec);
  RunResult result;
  {
    ChildProcess child = ChildProcess::Start(program, args, out);
    result.exitCode = child.Wait(timeout);
  }
  std::ifstream in(out, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  in.close();
  result.output = text.str();
  std::filesystem::remove(out, ec);
  return result;
}

ScopedEnvironment::ScopedEnvironment(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
  const std::wstring wideName = Widen(name_);
  const DWORD needed = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
  if (needed > 0) {
    std::wstring old(needed, L'\0');
    const DWORD n = GetEnvironmentVariableW(wideName.c_str(), old.data(), needed);
    old.resize(n);
    std::string narrow(
        static_cast<std::size_t>(WideCharToMultiByte(
            CP_UTF8, 0, old.data(), static_cast<int>(old.size()), nullptr, 0, nullptr, nullptr)),
        '\0');
    WideCharToMultiByte(CP_UTF8, 0, old.data(), static_cast<int>(old.size()), narrow.data(),
                        static_cast<int>(narrow.size()), nullptr, nullptr);
    previous_ = narrow;
  }
  SetEnvironmentVariableW(wideName.c_str(),
                          value && !value->empty() ? Widen(*value).c_str() : nullptr);
}

ScopedEnvironment::~ScopedEnvironment() {
  SetEnvironmentVariableW(Widen(name_).c_str(), previous_ ? Widen(*previous_).c_str() : nullptr);
}

std::filesystem::path OwnDirectory() {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  return std::filesystem::path(std::wstring(buffer, n)).parent_path();
}

ScratchDirectory::ScratchDirectory(const std::string& tag) {
  static std::atomic<int> counter{0};
  path_ = std::filesystem::temp_directory_path() /
          ("tavrik-" + tag + "-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(counter++));
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
  std::filesystem::create_directories(path_);
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace tavrik::test
