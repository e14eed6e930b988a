#include "commands/template_path.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "base/utf.h"

namespace tavrik {
namespace {

namespace fs = std::filesystem;

// Records every existence query; answers true for the listed candidates only.
template <typename S>
struct FakeFs {
  std::set<S> present;
  std::vector<S> queries;
  bool operator()(const S& candidate) {
    queries.push_back(candidate);
    return present.count(candidate) != 0;
  }
};

using WideFs = FakeFs<std::u16string>;
using NarrowFs = FakeFs<std::string>;

std::u16string ResolveWin(std::u16string_view path, WideFs& fake,
                          std::u16string_view exe = u"D:\\Tools\\Worker") {
  return ResolveWindowsTemplatePath(path, exe, [&](const std::u16string& c) { return fake(c); });
}

std::string ResolvePosix(std::string_view path, NarrowFs& fake,
                         std::string_view exe = "/opt/tavrik/bin") {
  return ResolvePosixTemplatePath(path, exe, [&](const std::string& c) { return fake(c); });
}

// --- Windows grammar -------------------------------------------------------------------------

TEST(WindowsTemplatePath, RelativePathWalksUpToTheDriveRootAndFallsBackToTheFirstCandidate) {
  WideFs fake;
  EXPECT_EQ(ResolveWin(u"templates\\ok.png", fake), u"D:\\Tools\\Worker\\templates\\ok.png");
  EXPECT_EQ(fake.queries, (std::vector<std::u16string>{u"D:\\Tools\\Worker\\templates\\ok.png",
                                                       u"D:\\Tools\\templates\\ok.png",
                                                       u"D:\\templates\\ok.png"}));
}

TEST(WindowsTemplatePath, DotDotAndForwardSlashesAreNormalisedPerDirectory) {
  WideFs fake;
  EXPECT_EQ(ResolveWin(u"..\\img/ok.png", fake), u"D:\\Tools\\img\\ok.png");
  EXPECT_EQ(fake.queries, (std::vector<std::u16string>{u"D:\\Tools\\img\\ok.png",
                                                       u"D:\\img\\ok.png", u"D:\\img\\ok.png"}));

  WideFs slashes;
  EXPECT_EQ(ResolveWin(u"a//b/./c/../ok.png", slashes), u"D:\\Tools\\Worker\\a\\b\\ok.png");
}

TEST(WindowsTemplatePath, RootedPathKeepsOnlyTheDriveOfEveryDirectory) {
  WideFs fake;
  EXPECT_EQ(ResolveWin(u"\\img\\ok.png", fake), u"D:\\img\\ok.png");
  EXPECT_EQ(fake.queries, (std::vector<std::u16string>(3, u"D:\\img\\ok.png")));
}

TEST(WindowsTemplatePath, AbsolutePathsAreReturnedUnchangedWithoutAQuery) {
  for (const std::u16string path :
       {u"E:\\img\\ok.png", u"E:/img/./ok.png", u"d:\\x\\..\\y.png", u"\\\\server\\share\\a.png",
        u"//server/share/a.png", u"\\\\?\\C:\\long\\a.png", u"\\\\.\\device"}) {
    WideFs fake;
    EXPECT_EQ(ResolveWin(path, fake), path);
    EXPECT_TRUE(fake.queries.empty());
  }
}

TEST(WindowsTemplatePath, DriveRelativePathsAreRelative) {
  WideFs other;  // another drive replaces the directory entirely
  EXPECT_EQ(ResolveWin(u"C:img\\ok.png", other), u"C:img\\ok.png");
  EXPECT_EQ(other.queries.size(), 3u);

  WideFs same;  // the same drive is joined below the directory
  EXPECT_EQ(ResolveWin(u"D:img\\ok.png", same), u"D:\\Tools\\Worker\\img\\ok.png");
}

TEST(WindowsTemplatePath, NearestExistingDirectoryWins) {
  WideFs fake;
  fake.present = {u"D:\\Tools\\Worker\\t.png", u"D:\\Tools\\t.png"};
  EXPECT_EQ(ResolveWin(u"t.png", fake), u"D:\\Tools\\Worker\\t.png");
  EXPECT_EQ(fake.queries.size(), 1u);
}

TEST(WindowsTemplatePath, FoundTwoLevelsUp) {
  WideFs fake;
  fake.present = {u"D:\\t.png"};
  EXPECT_EQ(ResolveWin(u"t.png", fake), u"D:\\t.png");
  EXPECT_EQ(fake.queries.size(), 3u);
}

TEST(WindowsTemplatePath, DirectoryCandidateKeepsItsTrailingSeparator) {
  WideFs fake;
  fake.present = {u"D:\\Tools\\templates\\"};
  EXPECT_EQ(ResolveWin(u"templates/", fake), u"D:\\Tools\\templates\\");
}

TEST(WindowsTemplatePath, EmptyInputs) {
  WideFs empty;
  EXPECT_EQ(ResolveWin(u"", empty), u"");
  EXPECT_TRUE(empty.queries.empty());

  WideFs noExe;  // the normalised relative path alone, against the current directory
  EXPECT_EQ(ResolveWin(u"./templates//ok.png", noExe, u""), u"templates\\ok.png");
  EXPECT_EQ(noExe.queries, (std::vector<std::u16string>{u"templates\\ok.png"}));
}

TEST(WindowsTemplatePath, DirectoryEndingInSeparatorAndUncShare) {
  WideFs trailing;
  EXPECT_EQ(ResolveWin(u"ok.png", trailing, u"D:\\W\\"), u"D:\\W\\ok.png");

  WideFs unc;
  EXPECT_EQ(ResolveWin(u"ok.png", unc, u"//srv/share/w"), u"\\\\srv\\share\\w\\ok.png");
  EXPECT_EQ(unc.queries.back(), u"\\\\srv\\ok.png");
}

// --- POSIX grammar ---------------------------------------------------------------------------

TEST(PosixTemplatePath, WindowsStyleRelativePathWalksUpToTheRoot) {
  NarrowFs fake;
  EXPECT_EQ(ResolvePosix("templates\\ok.png", fake), "/opt/tavrik/bin/templates/ok.png");
  EXPECT_EQ(fake.queries, (std::vector<std::string>{"/opt/tavrik/bin/templates/ok.png",
                                                    "/opt/tavrik/templates/ok.png",
                                                    "/opt/templates/ok.png", "/templates/ok.png"}));
}

TEST(PosixTemplatePath, DotDotAndMixedSeparators) {
  NarrowFs fake;
  EXPECT_EQ(ResolvePosix("..\\img/ok.png", fake), "/opt/tavrik/img/ok.png");
  EXPECT_EQ(fake.queries.back(), "/img/ok.png");  // ".." right after the root is dropped
}

TEST(PosixTemplatePath, AbsolutePathIsUnchangedAndNotQueried) {
  NarrowFs fake;
  EXPECT_EQ(ResolvePosix("/srv/x\\y/../ok.png", fake), "/srv/x\\y/../ok.png");
  EXPECT_TRUE(fake.queries.empty());
}

TEST(PosixTemplatePath, BackslashRootedPathIsRootedAtSlash) {
  NarrowFs fake;
  EXPECT_EQ(ResolvePosix("\\img\\ok.png", fake), "/img/ok.png");
  EXPECT_TRUE(fake.queries.empty());  // one candidate for every directory: nothing to choose
}

TEST(PosixTemplatePath, NearestWinsAndTwoLevelsUp) {
  NarrowFs nearest;
  nearest.present = {"/opt/tavrik/bin/t.png", "/opt/tavrik/t.png"};
  EXPECT_EQ(ResolvePosix("t.png", nearest), "/opt/tavrik/bin/t.png");

  NarrowFs twoUp;
  twoUp.present = {"/opt/t.png"};
  EXPECT_EQ(ResolvePosix("t.png", twoUp), "/opt/t.png");
  EXPECT_EQ(twoUp.queries.size(), 3u);
}

TEST(PosixTemplatePath, DirectoryBytesAreKeptAndEmptyDirectoryUsesThePathAlone) {
  NarrowFs odd;  // '\' inside the executable directory is an ordinary byte
  EXPECT_EQ(ResolvePosix("a.png", odd, "/opt/we\\ird"), "/opt/we\\ird/a.png");

  NarrowFs noExe;
  EXPECT_EQ(ResolvePosix("sub\\a.png", noExe, ""), "sub/a.png");
  EXPECT_EQ(noExe.queries.size(), 1u);

  NarrowFs empty;
  EXPECT_EQ(ResolvePosix("", empty), "");
  EXPECT_TRUE(empty.queries.empty());
}

// --- Windows device paths -------------------------------------------------------------------

TEST(WindowsDevicePath, DeviceNamespacesAreDevicesLongDrivePathsAndSharesAreNot) {
  for (const std::u16string_view device :
       {u"\\\\.\\pipe\\x", u"//./pipe/x", u"\\\\.\\PhysicalDrive0", u"\\??\\C:\\a.png",
        u"/?\?/C:/a.png", u"\\\\?\\UNC\\server\\share\\a.png",
        u"\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\a.png", u"\\\\?\\C:x",
        u"\\\\.\\C:\\a.png"}) {
    EXPECT_TRUE(IsWindowsDevicePath(device)) << ToUtf8(device);
  }
  for (const std::u16string_view file :
       {u"\\\\?\\C:\\a.png", u"\\\\?\\d:", u"//?/C:/a.png", u"C:\\t\\a.png",
        u"\\\\server\\share\\a.png", u"templates\\ok.png", u"\\\\.", u"", u"\\img.png"}) {
    EXPECT_FALSE(IsWindowsDevicePath(file)) << ToUtf8(file);
  }
}

// The redirector connects "\\host\pipe\x" to the named pipe x on that host, the local one
// included: every spelling of the pipe and mailslot shares is a device, and no other share is.
TEST(WindowsDevicePath, PipeAndMailslotSharesOfAnyHostInEverySpelling) {
  for (const std::u16string_view device : {u"\\\\localhost\\pipe\\x",
                                           u"\\\\127.0.0.1\\pipe\\x",
                                           u"//localhost/pipe/x",
                                           u"\\\\LocalHost/PIPE\\x",
                                           u"/\\localhost\\Pipe/x",
                                           u"\\\\server\\mailslot\\x",
                                           u"//[::1]/MailSlot/a/b.png",
                                           u"\\\\localhost\\pipe",
                                           u"\\\\localhost\\pipe\\",
                                           u"\\\\localhost\\\\pipe\\x",
                                           u"\\\\localhost\\pipe.\\x",
                                           u"\\\\localhost\\pipe .\\x",
                                           u"\\\\localhost\\.\\pipe\\x",
                                           u"\\\\localhost\\share\\..\\pipe\\x",
                                           u"\\\\localhost\\pipe\\..\\mailslot\\x",
                                           u"\\\\localhost\\pipe\\..\\x",
                                           u"//localhost/pipe/../x",
                                           u"\\\\localhost\\mailslot\\..\\..\\x",
                                           u"\\\\?\\UNC\\localhost\\pipe\\..\\x",
                                           u"\\\\?\\UNC\\localhost\\pipe\\x",
                                           u"//?/unc/localhost/pipe/x",
                                           u"\\\\.\\UNC\\localhost\\pipe\\x",
                                           u"\\??\\UNC\\localhost\\pipe\\x",
                                           u"\\\\?\\pipe\\x"}) {
    EXPECT_TRUE(IsWindowsDevicePath(device)) << ToUtf8(device);
  }
  for (const std::u16string_view file :
       {u"\\\\server\\share\\pipe\\a.png", u"\\\\server\\pipes\\a.png", u"\\\\pipe\\share\\a.png",
        u"//server/pipeline/a.png", u"\\\\server\\mailslots\\a.png", u"C:\\pipe\\a.png",
        u"pipe\\a.png", u"\\pipe\\a.png", u"\\\\server\\share\\pipe\\..\\a.png"}) {
    EXPECT_FALSE(IsWindowsDevicePath(file)) << ToUtf8(file);
  }
}

TEST(WindowsDevicePath, ReservedNamesAsTheLastComponentInAnyCaseAndForm) {
  for (const std::u16string_view device :
       {u"CON", u"con", u"C:\\t\\Nul", u"D:/x/aux.png", u"prn.tar.gz", u"COM1", u"lpt9.bmp",
        u"C:\\t\\CONIN$", u"conout$.png", u"C:nul", u"x\\NUL .txt", u"x\\nul.", u"x/Con  ",
        u"aux:stream", u"COM\u00b9", u"lpt\u00b3.png"}) {
    EXPECT_TRUE(IsWindowsDevicePath(device)) << ToUtf8(device);
  }
  for (const std::u16string_view file :
       {u"C:\\con\\a.png", u"CONSOLE.png", u"COM0", u"COM10", u"LPT", u"xnul", u"nulx.png",
        u"C:\\t\\CON$", u"COM\u00b4", u".con", u"a.nul"}) {
    EXPECT_FALSE(IsWindowsDevicePath(file)) << ToUtf8(file);
  }
}

// --- The build's entry with the real file system ---------------------------------------------

TEST(PosixTemplatePath, DataDirectoriesComeAfterTheWholeWalkInOrder) {
  const std::vector<std::string> data = {"/home/u/.local/share/tavrik", "/usr/share/tavrik"};
  NarrowFs nowhere;
  EXPECT_EQ(ResolvePosixTemplatePath(
                "img\\ok.png", "/usr/bin", [&](const std::string& c) { return nowhere(c); }, data),
            "/usr/bin/img/ok.png");
  EXPECT_EQ(nowhere.queries,
            (std::vector<std::string>{"/usr/bin/img/ok.png", "/usr/img/ok.png", "/img/ok.png",
                                      "/home/u/.local/share/tavrik/img/ok.png",
                                      "/usr/share/tavrik/img/ok.png"}));

  NarrowFs both{{"/home/u/.local/share/tavrik/img/ok.png", "/usr/share/tavrik/img/ok.png"}, {}};
  EXPECT_EQ(ResolvePosixTemplatePath(
                "img/ok.png", "/usr/bin", [&](const std::string& c) { return both(c); }, data),
            "/home/u/.local/share/tavrik/img/ok.png");

  NarrowFs walk{{"/usr/img/ok.png", "/usr/share/tavrik/img/ok.png"}, {}};  // the walk wins
  EXPECT_EQ(ResolvePosixTemplatePath(
                "img/ok.png", "/usr/bin", [&](const std::string& c) { return walk(c); }, data),
            "/usr/img/ok.png");
}

TEST(PosixTemplatePath, XdgDirectoriesFollowTheBaseDirectoryRules) {
  EXPECT_EQ(XdgTemplateDirectories(nullptr, "/home/u", nullptr),
            (std::vector<std::string>{"/home/u/.local/share/tavrik", "/usr/local/share/tavrik",
                                      "/usr/share/tavrik"}));
  EXPECT_EQ(XdgTemplateDirectories("/data", "/home/u", "/a:relative/b::/c/"),
            (std::vector<std::string>{"/data/tavrik", "/a/tavrik", "/c/tavrik"}));
  // A relative or empty XDG_DATA_HOME is ignored for the default under $HOME.
  EXPECT_EQ(XdgTemplateDirectories("data", "/home/u", "/x").front(), "/home/u/.local/share/tavrik");
  EXPECT_EQ(XdgTemplateDirectories("", nullptr, "/x"), std::vector<std::string>{"/x/tavrik"});
}

class TemplatePathOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("tavrik_path_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "a" / "b");
    fs::create_directories(root_ / "a" / "sub");
  }
  void TearDown() override { fs::remove_all(root_); }
  static void Touch(const fs::path& p) { std::ofstream(p) << "x"; }

  fs::path root_;
};

TEST_F(TemplatePathOnDisk, NearestCopyWinsAndMissingFallsBackToExeDirectory) {
  Touch(root_ / "a" / "t.png");
  Touch(root_ / "t.png");
  const fs::path exe = root_ / "a" / "b";
  EXPECT_EQ(ResolveTemplatePath(u"t.png", exe), root_ / "a" / "t.png");
  EXPECT_EQ(ResolveTemplatePath(u"missing\\t.png", exe), exe / "missing" / "t.png");
}

TEST_F(TemplatePathOnDisk, DirectoryCountsAsExisting) {
  EXPECT_EQ(ResolveTemplatePath(u"sub\\", root_ / "a" / "b"), root_ / "a" / "sub" / "");
}

TEST_F(TemplatePathOnDisk, WorkingDirectoryIsNotSearched) {
  const fs::path saved = fs::current_path();
  fs::create_directories(root_ / "cwd");
  fs::current_path(root_ / "cwd");
  Touch(root_ / "cwd" / "only_in_cwd.png");
  const fs::path exe = root_ / "a" / "b";
  EXPECT_EQ(ResolveTemplatePath(u"only_in_cwd.png", exe), exe / "only_in_cwd.png");
  // ...unless the executable directory is unknown.
  EXPECT_EQ(ResolveTemplatePath(u"only_in_cwd.png", fs::path()), fs::path("only_in_cwd.png"));
  fs::current_path(saved);
}

TEST_F(TemplatePathOnDisk, InstalledWorkerFindsTemplatesInTheUserDataDirectory) {
  fs::create_directories(root_ / "data" / "tavrik" / "img");
  Touch(root_ / "data" / "tavrik" / "img" / "ok.png");
  const char* saved = std::getenv("XDG_DATA_HOME");
  const std::string restore = saved != nullptr ? saved : "";
  ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
  const fs::path exe = root_ / "a" / "b";
  EXPECT_EQ(ResolveTemplatePath(u"img\\ok.png", exe), root_ / "data" / "tavrik" / "img" / "ok.png");
  EXPECT_EQ(ResolveTemplatePath(u"img/missing.png", exe), exe / "img" / "missing.png");
  if (saved != nullptr) {
    ::setenv("XDG_DATA_HOME", restore.c_str(), 1);
  } else {
    ::unsetenv("XDG_DATA_HOME");
  }
}

TEST(TemplatePathNarrow, PosixNarrowFormIsTheUtf8Bytes) {
  const DecoderPath narrow = NarrowPathForDecoder(fs::path("/tmp/\xC3\xB6.png"));
  EXPECT_TRUE(narrow.exact);
  EXPECT_EQ(narrow.narrow, "/tmp/\xC3\xB6.png");
}

}  // namespace
}  // namespace tavrik
