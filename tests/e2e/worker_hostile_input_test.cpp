// The real worker fed hostile input through its real rings: forged names and random slots, and
// image files built to exhaust memory. What it writes must stay well-formed and bounded.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/line_escape.h"
#include "base/utf.h"
#include "ipc/command_ring.h"
#include "tests/commands/template_files.h"
#include "tests/support/test_support.h"
#include "tests/support/xvfb_fixture.h"

namespace tavrik {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class WorkerHostileInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("tavrik-hostile-" + ns_.Name());
    fs::create_directories(dir_);
    ASSERT_EQ(
        std::system(
            (test::BuiltExecutable("tavrik-demo") + " --write-templates " + dir_.string()).c_str()),
        0);
  }
  void TearDown() override {
    worker_.Stop();
    fs::remove_all(dir_);
  }

  // A worker with no display at all: lookups and captures fail, commands still run.
  void StartWorker() {
    test::ScopedEnv log("TAVRIK_LOG", LogPath());
    test::ScopedEnv display("DISPLAY", std::nullopt);
    worker_ = test::SpawnedProcess::Spawn({test::BuiltExecutable("tavrik-worker")}, false, true);
    ASSERT_TRUE(worker_.Running());
    ASSERT_TRUE(test::WaitUntil(
        [&] {
          cmd_ = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes, OpenMode::kOpenExisting);
          return cmd_.View() != nullptr;
        },
        10s));
    event_ = NamedEvent::Open(kCmdRingEventName, OpenMode::kOpenExisting);
  }

  void Publish(const CommandSlot& slot) {
    ASSERT_EQ(PublishCommand(cmd_, event_, slot, std::chrono::steady_clock::now() + 30s),
              PublishResult::kPublished);
  }
  void Add(std::u16string name, std::u16string path, std::u16string process = u"") {
    SpecCommand c;
    c.commandType = kAddSpec;
    c.name = std::move(name);
    c.path = std::move(path);
    c.processName = std::move(process);
    c.roiWidth = 64;
    c.roiHeight = 64;
    Publish(EncodeCommandSlot(c));
  }

  std::string LogPath() const { return (dir_ / "worker.log").string(); }
  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    std::istringstream in(test::ReadFile(LogPath()));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  bool LogHas(const std::string& text, std::chrono::milliseconds timeout = 30s) const {
    return test::WaitUntil(
        [&] { return test::ReadFile(LogPath()).find(text) != std::string::npos; }, timeout);
  }

  test::ScopedIpcNamespace ns_;
  fs::path dir_;
  test::SpawnedProcess worker_;
  SharedMapping cmd_;
  NamedEvent event_;
};

TEST_F(WorkerHostileInputTest, ForgedNamesAndRandomSlotsNeverBreakOrForgeALine) {
  StartWorker();
  const std::u16string ring = Utf8ToUtf16((dir_ / "ring.png").string());
  // Registered templates: their names come back in every pass's loop lines as well.
  Add(u"x\n[HIT] forged score=1", ring);
  Add(u"rtl\u202Egnp.exe\u2028\u0085\x1b[2J", ring);
  Add(u"cr\r[MISS] fake", ring, u"proc\n[Init] fake");
  Add(u"path", u"dir\n[Spec] Registered 'fake'.png");
  // A pass over the forged templates (each capture fails without a display) before random clears
  // can remove them.
  ASSERT_TRUE(LogHas("[MISS] x\\u{A}[HIT] forged score=1 reason=captureFailed"));

  std::mt19937 random(20240611);  // fixed: a failure can be replayed
  for (int i = 0; i < 1500; ++i) {
    CommandSlot slot;
    auto* bytes = reinterpret_cast<unsigned char*>(&slot);
    for (std::size_t k = 0; k < sizeof slot; ++k) bytes[k] = static_cast<unsigned char>(random());
    // Mostly valid command types, so that the random text reaches the handlers and their lines.
    slot.commandType = static_cast<std::int32_t>(random() % 8);
    slot.roiWidth = static_cast<std::int32_t>(random() % 256);
    slot.roiHeight = static_cast<std::int32_t>(random() % 256);
    Publish(slot);
  }
  Add(u"census-end", ring);
  ASSERT_TRUE(LogHas("[Spec] Registered 'census-end'"));
  ASSERT_TRUE(LogHas("[MISS] census-end reason=captureFailed"));
  EXPECT_TRUE(worker_.Running());

  const std::vector<std::string> lines = LogLines();
  ASSERT_GT(lines.size(), 300u);  // the random adds alone write two lines each
  std::size_t unknown = 0;
  for (const std::string& line : lines) {
    const bool known = line == "Tavrik waiting for spec registrations from C#.";
    bool tagged = false;
    for (const char* prefix : {"[Init] ", "[Spec] ", "[Loop] ", "[MISS] "}) {
      tagged = tagged || line.rfind(prefix, 0) == 0;
    }
    if (!known && !tagged) ++unknown;
    // Nothing can be a hit without a screen: any [HIT] line is forged.
    EXPECT_NE(line.rfind("[HIT] ", 0), 0u) << line;
    EXPECT_TRUE(IsLineSafe(line)) << line;
    if (!IsLineSafe(line) || line.rfind("[HIT] ", 0) == 0) break;
  }
  EXPECT_EQ(unknown, 0u);
  EXPECT_TRUE(LogHas("[Spec] Add requested name=rtl\\u{202E}gnp.exe\\u{2028}\\u{85}\\u{1B}[2J "));
}

// The peak resident memory of a process in KiB (VmHWM), or -1.
long PeakResidentKiB(pid_t pid) {
  std::istringstream status(test::ReadFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

TEST_F(WorkerHostileInputTest, DecompressionBombIsRefusedBeforeItIsDecoded) {
  const fs::path bomb = dir_ / "bomb.png";
  {
    const std::vector<unsigned char> bytes = test::DecompressionBombPng(16384, 16384);
    std::ofstream(bomb, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  StartWorker();
  Add(u"bomb", Utf8ToUtf16(bomb.string()));
  Add(u"after", Utf8ToUtf16((dir_ / "ring.png").string()));
  ASSERT_TRUE(LogHas("[Spec] Registered 'after'"));
  EXPECT_TRUE(LogHas("[Spec] Failed to load template 'bomb' from \"" + bomb.string() + "\""));
  // Decoding it would take 768 MiB for the image alone.
  const long peak = PeakResidentKiB(worker_.Pid());
  ASSERT_GT(peak, 0);
  EXPECT_LT(peak, 200 * 1024) << "peak resident KiB";
}

}  // namespace
}  // namespace tavrik
