// Win32 backend of log_output.h: the standard error handle, or a file opened for appending.
#include <windows.h>

#include "base/log_output.h"

namespace tavrik {

void LogFileTraits::Close(Value file) noexcept { CloseHandle(reinterpret_cast<HANDLE>(file)); }

std::unique_ptr<LogOutput> LogOutput::Open(std::string_view spec) {
  std::unique_ptr<LogOutput> output(new LogOutput());
  if (spec == "stderr") {
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    output->standardError_ = reinterpret_cast<std::intptr_t>(handle);
    return output;
  }
  output->path_ = std::string(spec);
  // The variable's value is in the ANSI code page, as it was given to the process.
  HANDLE file = CreateFileA(output->path_.c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  output->file_.Reset(reinterpret_cast<std::intptr_t>(file));
  return output;
}

bool LogOutput::Reconnect() { return file_.Valid() || standardError_ != -1; }

bool LogOutput::Write(std::string_view bytes) {
  if (!Reconnect()) return false;
  HANDLE handle = reinterpret_cast<HANDLE>(file_.Valid() ? file_.Get() : standardError_);
  while (!bytes.empty()) {
    DWORD written = 0;
    const DWORD chunk = bytes.size() > 0x40000000u ? 0x40000000u : static_cast<DWORD>(bytes.size());
    if (!WriteFile(handle, bytes.data(), chunk, &written, nullptr)) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

// There is no journal on Windows.
bool StandardErrorIsJournal() { return false; }

// Windows delivers no signals to threads; nothing to prepare.
void PrepareLogWriterThread() {}

}  // namespace tavrik
