// The Win32 loader refuses devices by name before anything opens them, and what is not a plain
// file on a disk after opening.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "commands/template_loader.h"
#include "tests/commands/template_files.h"

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
