// Both programs' version resources read back the way Explorer and installers read them
// (GetFileVersionInfoW / VerQueryValueW), against the project version this build was configured
// with.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf.h"
#include "tests/support/test_support.h"

namespace tavrik {
namespace {

struct VersionInfo {
  std::vector<unsigned char> block;
  bool Loaded() const { return !block.empty(); }

  static VersionInfo Of(const std::filesystem::path& file) {
    VersionInfo info;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
    if (size == 0) return info;
    info.block.resize(size);
    if (!GetFileVersionInfoW(file.c_str(), 0, size, info.block.data())) info.block.clear();
    return info;
  }
  // A string of the U.S. English, Unicode table; "<missing>" when there is none.
  std::string String(const std::string& key) const {
    const std::wstring query =
        L"\\StringFileInfo\\040904B0\\" + std::wstring(key.begin(), key.end());
    void* value = nullptr;
    UINT chars = 0;
    if (!VerQueryValueW(block.data(), query.c_str(), &value, &chars) || chars == 0) {
      return "<missing>";
    }
    return ToUtf8(std::u16string_view(static_cast<const char16_t*>(value), chars));
  }
  std::string FixedFileVersion() const {
    void* value = nullptr;
    UINT bytes = 0;
    if (!VerQueryValueW(block.data(), L"\\", &value, &bytes) || bytes < sizeof(VS_FIXEDFILEINFO)) {
      return "<missing>";
    }
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    return std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
           std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
           std::to_string(HIWORD(fixed->dwFileVersionLS));
  }
};

TEST(VersionInfoWin, BothProgramsNameTheirVersionProductAndLicence) {
  const std::string version = TAVRIK_PROJECT_VERSION;
  std::vector<std::string> descriptions;
  for (const std::string program : {"tavrik-worker", "tavrik-ctl"}) {
    SCOPED_TRACE(program);
    const VersionInfo info = VersionInfo::Of(test::BuiltExecutable(program));
    ASSERT_TRUE(info.Loaded());
    struct Field {
      std::string key;
      std::string expected;
    };
    const Field fields[] = {{"FileVersion", version},
                            {"ProductVersion", version},
                            {"ProductName", "Tavrik worker"},
                            {"CompanyName", "Tavrik"},
                            {"OriginalFilename", program + ".exe"},
                            {"InternalName", program}};
    for (const Field& field : fields) {
      EXPECT_EQ(info.String(field.key), field.expected) << field.key;
    }
    EXPECT_EQ(info.FixedFileVersion(), version);
    EXPECT_NE(info.String("LegalCopyright").find("MIT"), std::string::npos)
        << info.String("LegalCopyright");
    descriptions.push_back(info.String("FileDescription"));
    EXPECT_NE(descriptions.back(), "<missing>");
  }
  // Each program says what it is.
  EXPECT_NE(descriptions[0], descriptions[1]);
}

}  // namespace
}  // namespace tavrik
