// The Win32 loader refuses devices by name before anything opens them, and what is not a plain
// file on a disk after opening.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "commands/template_loader.h"
#include "tests/commands/template_files.h"
#include "tests/support/import_patch_win.h"

namespace tavrik {
namespace {

namespace fs = std::filesystem;

TEST(TemplateLoaderWin, APipeIsRefusedWithoutConnectingToItsServer) {
  const std::wstring name = L"\\\\.\\pipe\\tavrik-loader-" + std::to_wstring(GetCurrentProcessId());
  HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_NOWAIT,
                                   1, 4096, 4096, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
  std::vector<unsigned char> bytes;
  for (const std::wstring& spelling :
       {name, L"//./pipe/tavrik-loader-" + std::to_wstring(GetCurrentProcessId())}) {
    EXPECT_FALSE(ReadTemplateFile(fs::path(spelling), bytes));
    EXPECT_TRUE(bytes.empty());
  }
  // Still listening: no client ever connected (a client that came and went leaves "no data").
  EXPECT_FALSE(ConnectNamedPipe(server, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_LISTENING));
  CloseHandle(server);
}

// Every CreateFileW call of this program (the loader's included) with its name and flags, passed
// on to the real function.
struct OpenCall {
  std::wstring name;
  DWORD flags = 0;
};
std::vector<OpenCall> g_opens;

HANDLE WINAPI RecordingCreateFileW(LPCWSTR name, DWORD access, DWORD share,
                                   LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                   HANDLE templateFile) {
  g_opens.push_back({name, flags});
  static const auto real = reinterpret_cast<decltype(&CreateFileW)>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CreateFileW")));
  return real(name, access, share, security, disposition, flags, templateFile);
}

// A named-pipe server that counts the clients that connected to it.
class CountingPipeServer {
 public:
  explicit CountingPipeServer(const std::wstring& name)
      : pipe_(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_NOWAIT, 1,
                               4096, 4096, 0, nullptr)) {}
  ~CountingPipeServer() {
    if (Listening()) CloseHandle(pipe_);
  }
  CountingPipeServer(const CountingPipeServer&) = delete;
  CountingPipeServer& operator=(const CountingPipeServer&) = delete;

  bool Listening() const { return pipe_ != INVALID_HANDLE_VALUE; }

  // The clients seen so far; one that came and went counts too. Listens again afterwards.
  int Connections() {
    if (!ConnectNamedPipe(pipe_, nullptr)) {
      const DWORD error = GetLastError();
      if (error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA) {
        ++connections_;
        DisconnectNamedPipe(pipe_);
      }
    }
    return connections_;
  }

 private:
  HANDLE pipe_;
  int connections_ = 0;
};

TEST(TemplateLoaderWin, PipesAndMailslotsBehindUncNamesAreNeverOpened) {
  const std::wstring leaf = L"tavrik-unc-" + std::to_wstring(GetCurrentProcessId());
  CountingPipeServer server(L"\\\\.\\pipe\\" + leaf);
  ASSERT_TRUE(server.Listening()) << GetLastError();
  {
    // The count works: a client that opens the pipe by its local name is seen.
    HANDLE client = CreateFileW((L"\\\\.\\pipe\\" + leaf).c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(client);
    ASSERT_EQ(server.Connections(), 1);
  }
  g_opens.clear();
  test::ScopedImportPatch open("kernel32.dll", "CreateFileW",
                               reinterpret_cast<void*>(RecordingCreateFileW));
  ASSERT_TRUE(open.Active());
  std::vector<unsigned char> bytes;
  for (const std::wstring& spelling :
       {L"\\\\localhost\\pipe\\" + leaf, L"\\\\127.0.0.1\\pipe\\" + leaf,
        L"//localhost/pipe/" + leaf, L"\\\\LOCALHOST/Pipe\\" + leaf,
        L"\\\\localhost\\pipe.\\" + leaf, L"\\\\localhost\\x\\..\\pipe\\" + leaf,
        L"\\\\localhost\\pipe\\..\\" + leaf, L"//localhost/pipe/../" + leaf,
        L"\\\\?\\UNC\\localhost\\pipe\\" + leaf, L"\\\\.\\UNC\\127.0.0.1\\PIPE\\" + leaf,
        L"\\\\localhost\\mailslot\\" + leaf}) {
    EXPECT_FALSE(ReadTemplateFile(fs::path(spelling), bytes));
    EXPECT_EQ(server.Connections(), 1) << fs::path(spelling).string();
  }
  for (const OpenCall& call : g_opens) ADD_FAILURE() << "opened " << fs::path(call.name).string();
}

TEST(TemplateLoaderWin, TemplateFilesAreOpenedForIdentificationOnly) {
  test::ScratchDir dir;
  const fs::path file = dir.WriteBytes("plain.png", {1, 2, 3});
  g_opens.clear();
  std::vector<unsigned char> bytes;
  {
    test::ScopedImportPatch open("kernel32.dll", "CreateFileW",
                                 reinterpret_cast<void*>(RecordingCreateFileW));
    ASSERT_TRUE(open.Active());
    ASSERT_TRUE(ReadTemplateFile(file, bytes));
  }
  ASSERT_EQ(g_opens.size(), 1u);
  // Whoever serves the name may learn who asks, and never act as the worker.
  EXPECT_EQ(g_opens[0].flags & SECURITY_VALID_SQOS_FLAGS,
            DWORD{SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION});
}

TEST(TemplateLoaderWin, ReservedDeviceNamesAndDirectoriesAreRefused) {
  test::ScratchDir dir;
  std::vector<unsigned char> bytes;
  for (const char* device : {"NUL", "nul.png", "CON", "conout$", "aux.bmp", "COM1", "LPT2.png"}) {
    EXPECT_FALSE(ReadTemplateFile(dir.Path() / device, bytes)) << device;
  }
  EXPECT_FALSE(ReadTemplateFile(dir.Path(), bytes));
  EXPECT_FALSE(ReadTemplateFile(fs::path(L"\\\\.\\C:"), bytes));
  // A file with an ordinary name beside them is read.
  const fs::path file = dir.WriteBytes("nullable.png", {1, 2, 3});
  ASSERT_TRUE(ReadTemplateFile(file, bytes));
  EXPECT_EQ(bytes.size(), 3u);
}

}  // namespace
}  // namespace tavrik
