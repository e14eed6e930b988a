// tavrik-ctl: argument parsing, JSON output, and the client side of both rings against real
// shared memory (with the worker's own command thread and hit-ring writer as the peer).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "ipc/command_ring.h"
#include "ipc/hit_ring.h"
#include "ipc/ring_layout.h"
#include "ipc/shared_memory.h"
#include "ipc/worker_lock.h"
#include "tests/support/test_support.h"
#include "tools/ctl/ctl_args.h"
#include "tools/ctl/ctl_help.h"
#include "tools/ctl/ctl_run.h"
#include "tools/ctl/hit_json.h"

namespace tavrik::ctl {
namespace {

using test::ScopedIpcNamespace;

template <typename T>
T ReadAt(const void* base, std::size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const unsigned char*>(base) + offset, sizeof value);
  return value;
}

std::u16string ReadUnits(const void* base, std::size_t offset, std::size_t units) {
  std::u16string text(units, u'\0');
  std::memcpy(text.data(), static_cast<const unsigned char*>(base) + offset, units * 2);
  return text;
}

ParseResult Parse(std::vector<std::string> args) { return ParseCtlArgs(args); }

// ---------------------------------------------------------------------------------------------
// Argument parsing

TEST(CtlArgsTest, AddCarriesEveryFieldIntoTheSlotAtItsOffset) {
  const ParseResult parsed =
      Parse({"add", "--name", "t1:chest", "--path=/tmp/a.png", "--process", "game.exe", "--roi",
             "-5,20,64,48", "--threshold", "0.85", "--cooldown-ms", "1500", "--baseline-margin",
             "0.05", "--spare", "-2.5", "--timeout", "1.5"});
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_EQ(parsed.request.verb, Verb::kAdd);
  EXPECT_EQ(parsed.request.timeoutSeconds, 1.5);

  const CommandSlot slot = EncodeCommandSlot(parsed.request.command);
  const void* b = &slot;
  EXPECT_EQ(ReadAt<std::int32_t>(b, 0), 1);
  EXPECT_EQ(ReadAt<std::int32_t>(b, 4), 1500);
  EXPECT_EQ(ReadAt<float>(b, 8), 0.05f);
  EXPECT_EQ(ReadUnits(b, 12, 16), std::u16string(u"game.exe") + std::u16string(8, u'\0'));
  EXPECT_EQ(ReadUnits(b, 44, 32), std::u16string(u"t1:chest") + std::u16string(24, u'\0'));
  EXPECT_EQ(ReadUnits(b, 108, 10), std::u16string(u"/tmp/a.png"));
  EXPECT_EQ(ReadAt<char16_t>(b, 128), u'\0');
  EXPECT_EQ(ReadAt<std::int32_t>(b, 236), -5);
  EXPECT_EQ(ReadAt<std::int32_t>(b, 240), 20);
  EXPECT_EQ(ReadAt<std::int32_t>(b, 244), 64);
  EXPECT_EQ(ReadAt<std::int32_t>(b, 248), 48);
  EXPECT_EQ(ReadAt<float>(b, 252), 0.85f);
  EXPECT_EQ(ReadAt<float>(b, 256), -2.5f);
  for (std::size_t i = 260; i < 320; ++i) EXPECT_EQ(ReadAt<std::uint8_t>(b, i), 0) << i;
}

TEST(CtlArgsTest, OptionalAddFieldsDefaultToZero) {
  const ParseResult parsed = Parse({"add", "--name", "n", "--path", "p", "--roi", "1,2,3,4"});
  ASSERT_TRUE(parsed.ok) << parsed.error;
  const CommandSlot slot = EncodeCommandSlot(parsed.request.command);
  EXPECT_EQ(slot.processName[0], u'\0');
  EXPECT_EQ(slot.threshold, 0.0f);
  EXPECT_EQ(slot.cooldownMs, 0);
  EXPECT_FALSE(parsed.request.timeoutSeconds.has_value());
}

TEST(CtlArgsTest, TextFillsItsFieldExactlyButNeverOverflows) {
  struct Field {
    const char* option;
    std::size_t limit;
    std::size_t offset;
  };
  for (const Field& field :
       {Field{"--process", 16, 12}, Field{"--name", 32, 44}, Field{"--path", 64, 108}}) {
    SCOPED_TRACE(field.option);
    auto args = [&](const std::string& text) {
      std::vector<std::string> a = {"add", "--name", "n", "--path", "p", "--roi", "0,0,1,1"};
      for (std::size_t i = 1; i < a.size(); i += 2) {
        if (a[i] == field.option)
          a.erase(a.begin() + static_cast<long>(i), a.begin() + static_cast<long>(i) + 2);
      }
      a.push_back(field.option);
      a.push_back(text);
      return a;
    };
    const ParseResult fits = Parse(args(std::string(field.limit, 'x')));
    ASSERT_TRUE(fits.ok) << fits.error;
    const CommandSlot slot = EncodeCommandSlot(fits.request.command);
    // A full field carries no terminator; the next field starts right after it.
    EXPECT_EQ(ReadUnits(&slot, field.offset, field.limit), std::u16string(field.limit, u'x'));

    const ParseResult over = Parse(args(std::string(field.limit + 1, 'x')));
    EXPECT_FALSE(over.ok);
    EXPECT_NE(over.error.find(field.option), std::string::npos) << over.error;
    EXPECT_NE(over.error.find("limit is " + std::to_string(field.limit)), std::string::npos)
        << over.error;
  }
}

TEST(CtlArgsTest, LimitsCountUtf16UnitsNotCharacters) {
  std::string sixteenEmoji;
  for (int i = 0; i < 16; ++i) sixteenEmoji += "\xF0\x9F\x98\x80";  // U+1F600, two units each
  const ParseResult fits = Parse({"remove", sixteenEmoji});
  ASSERT_TRUE(fits.ok) << fits.error;
  EXPECT_EQ(fits.request.command.name.size(), 32u);
  EXPECT_EQ(fits.request.command.name[0], 0xD83D);

  const ParseResult over = Parse({"remove", sixteenEmoji + "a"});
  EXPECT_FALSE(over.ok);
  EXPECT_NE(over.error.find("33 UTF-16 units"), std::string::npos) << over.error;

  // A non-ASCII process name of 16 characters fits in 16 units.
  EXPECT_TRUE(Parse({"add", "--name", "n", "--path", "p", "--roi", "0,0,1,1", "--process",
                     "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
                     "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"})
                  .ok);
}

TEST(CtlArgsTest, LongHitNameIsAcceptedWithAWarning) {
  const ParseResult parsed =
      Parse({"add", "--name", std::string(31, 'n'), "--path", "p", "--roi", "0,0,1,1"});
  ASSERT_TRUE(parsed.ok);
  ASSERT_EQ(parsed.request.warnings.size(), 1u);
  EXPECT_NE(parsed.request.warnings[0].find("30"), std::string::npos);
  EXPECT_TRUE(Parse({"add", "--name", std::string(30, 'n'), "--path", "p", "--roi", "0,0,1,1"})
                  .request.warnings.empty());
}

TEST(CtlArgsTest, RefusesMalformedInputWithAMessage) {
  const std::vector<std::string> base = {"add", "--name", "n", "--path", "p"};
  const struct {
    std::vector<std::string> args;
    const char* mentions;
  } cases[] = {
      {{}, "no command"},
      {{"frobnicate"}, "unknown command"},
      {{"add", "--path", "p", "--roi", "0,0,1,1"}, "--name is required"},
      {{"add", "--name", "n", "--roi", "0,0,1,1"}, "--path is required"},
      {base, "--roi is required"},
      {{"add", "--name", "", "--path", "p", "--roi", "0,0,1,1"}, "--name must not be empty"},
      {{"add", "--name", "n", "--path", "p", "--roi", "1,2,3"}, "--roi"},
      {{"add", "--name", "n", "--path", "p", "--roi", "1,2,3,4,5"}, "--roi"},
      {{"add", "--name", "n", "--path", "p", "--roi", "1,2,3,x"}, "--roi"},
      {{"add", "--name", "n", "--path", "p", "--roi", "1,2,3,4294967296"}, "--roi"},
      {{"add", "--name", "n", "--path", "p", "--roi", "0,0,1,1", "--threshold", "nan"},
       "--threshold"},
      {{"add", "--name", "n", "--path", "p", "--roi", "0,0,1,1", "--threshold", "0.5x"},
       "--threshold"},
      {{"add", "--name", "n", "--path", "p", "--roi", "0,0,1,1", "--threshold", "1e39"},
       "--threshold"},
      {{"add", "--name", "n", "--path", "p", "--roi", "0,0,1,1", "--cooldown-ms", "1.5"},
       "--cooldown-ms"},
      {{"add", "--name", "a\xFF", "--path", "p", "--roi", "0,0,1,1"}, "not valid UTF-8"},
      {{"add", "--name", std::string("a\0b", 3), "--path", "p", "--roi", "0,0,1,1"}, "NUL"},
      {{"add", "--name", "n", "--name", "m", "--path", "p", "--roi", "0,0,1,1"}, "more than once"},
      {{"add", "--name"}, "needs a value"},
      {{"add", "--count", "3"}, "unknown option --count"},
      {{"remove"}, "exactly one NAME"},
      {{"remove", "a", "b"}, "exactly one NAME"},
      {{"clear", "extra"}, "unexpected argument"},
      {{"heartbeat", "--timeout", "-1"}, "--timeout"},
      {{"version", "--timeout", "soon"}, "--timeout"},
      {{"watch", "--count", "0"}, "--count"},
      {{"status", "--json=yes"}, "takes no value"},
      {{"help", "frobnicate"}, "unknown command"},
  };
  for (const auto& c : cases) {
    const ParseResult parsed = Parse(c.args);
    EXPECT_FALSE(parsed.ok) << c.mentions;
    EXPECT_NE(parsed.error.find(c.mentions), std::string::npos)
        << "expected '" << c.mentions << "' in: " << parsed.error;
  }
}

TEST(CtlArgsTest, EachVerbBuildsItsCommandType) {
  const struct {
    std::vector<std::string> args;
    std::int32_t type;
  } cases[] = {{{"remove", "chest"}, 2}, {{"clear"}, 3}, {{"heartbeat"}, 4}, {{"version"}, 5}};
  for (const auto& c : cases) {
    const ParseResult parsed = Parse(c.args);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(EncodeCommandSlot(parsed.request.command).commandType, c.type) << c.args[0];
  }
  const CommandSlot remove = EncodeCommandSlot(Parse({"remove", "chest"}).request.command);
  EXPECT_EQ(ReadUnits(&remove, 44, 6), std::u16string(u"chest") + u'\0');

  const ParseResult watch = Parse({"watch", "--count", "3", "--timeout", "0.5"});
  ASSERT_TRUE(watch.ok);
  EXPECT_EQ(watch.request.count, 3u);
  EXPECT_EQ(watch.request.timeoutSeconds, 0.5);
  EXPECT_TRUE(Parse({"status", "--json"}).request.json);
}

TEST(CtlArgsTest, HelpIsReachableEverywhereAndDocumentsTheContract) {
  EXPECT_EQ(Parse({"--help"}).request.verb, Verb::kHelp);
  const ParseResult topic = Parse({"help", "watch"});
  ASSERT_TRUE(topic.ok);
  EXPECT_EQ(topic.request.helpTopic, "watch");
  // --help wins over missing required options.
  const ParseResult addHelp = Parse({"add", "--help"});
  ASSERT_TRUE(addHelp.ok);
  EXPECT_EQ(addHelp.request.verb, Verb::kHelp);
  EXPECT_EQ(addHelp.request.helpTopic, "add");

  const std::string overview(HelpText(""));
  for (const char* needle : {"TAVRIK_IPC_NAMESPACE", "Exit codes", "  0 ", "  1 ", "  2 ", "  3 ",
                             "add", "remove", "clear", "heartbeat", "version", "watch", "status"}) {
    EXPECT_NE(overview.find(needle), std::string::npos) << needle;
  }
  const std::string add(HelpText("add"));
  for (const char* option : {"--name", "--path", "--process", "--roi", "--threshold",
                             "--cooldown-ms", "--baseline-margin", "--spare", "--timeout"}) {
    EXPECT_NE(add.find(option), std::string::npos) << option;
  }
  for (const char* key : {"timestampMs", "posX", "posY", "roiWidth", "roiHeight", "isHit", "score",
                          "threshold", "baseline", "name", "--count", "--timeout"}) {
    EXPECT_NE(HelpText("watch").find(key), std::string::npos) << key;
  }
  for (const char* verb : {"remove", "clear", "heartbeat", "version", "status"}) {
    EXPECT_NE(HelpText(verb).find(std::string("tavrik-ctl ") + verb), std::string::npos);
  }
}

// ---------------------------------------------------------------------------------------------
// JSON

HitSlot MakeSlot(std::u16string_view name) {
  HitSlot slot;
  std::memset(&slot, 0, sizeof slot);
  std::memcpy(slot.name, name.data(), std::min<std::size_t>(name.size(), kNameUnits) * 2);
  return slot;
}

TEST(HitJsonTest, ObjectHasEveryFieldInOrder) {
  HitSlot slot = MakeSlot(u"t1:chest");
  slot.timestampMs = 1700000000123;
  slot.posX = -12;
  slot.posY = 34;
  slot.roiWidth = 64;
  slot.roiHeight = 48;
  slot.isHit = 1;
  slot.score = 0.5f;
  slot.threshold = 0.9f;
  slot.baseline = -0.25f;
  EXPECT_EQ(HitSlotToJson(slot),
            R"({"timestampMs":1700000000123,"posX":-12,"posY":34,"roiWidth":64,"roiHeight":48,)"
            R"("isHit":1,"score":0.5,"threshold":0.9,"baseline":-0.25,"name":"t1:chest"})");
}

TEST(HitJsonTest, StringsAreEscaped) {
  EXPECT_EQ(JsonString("a\"b\\c/d"), R"("a\"b\\c/d")");
  EXPECT_EQ(JsonString("\n\r\t\b\f"), R"("\n\r\t\b\f")");
  EXPECT_EQ(JsonString(std::string("\x01\x1f\x00", 3)), R"("\u0001\u001f\u0000")");
  EXPECT_EQ(JsonString("\x7f\xC3\xA9"), "\"\x7f\xC3\xA9\"");
  EXPECT_EQ(JsonString(""), "\"\"");
}

TEST(HitJsonTest, NamesDecodeToUtf8UpToTheFirstZeroUnit) {
  // U+1F600 as a surrogate pair, then U+00E9.
  EXPECT_EQ(DecodeHitName(MakeSlot(u"A\U0001F600\u00E9")), "A\xF0\x9F\x98\x80\xC3\xA9");
  EXPECT_EQ(HitSlotToJson(MakeSlot(u"q\"\U0001F600"))
                .substr(HitSlotToJson(MakeSlot(u"q\"\U0001F600")).find("\"name\"")),
            "\"name\":\"q\\\"\xF0\x9F\x98\x80\"}");
  // A lone high surrogate cannot be written as UTF-8.
  EXPECT_EQ(DecodeHitName(MakeSlot(std::u16string(1, char16_t(0xD83D)) + u"x")),
            "\xEF\xBF\xBD"
            "x");
  // Units after the first zero are ignored; a full field needs no terminator.
  EXPECT_EQ(DecodeHitName(MakeSlot(std::u16string(u"ab\0cd", 5))), "ab");
  EXPECT_EQ(DecodeHitName(MakeSlot(std::u16string(32, u'z'))), std::string(32, 'z'));
}

TEST(HitJsonTest, FloatsReadBackExactlyAndNonFiniteIsNull) {
  for (const float value : {0.1f, 1.0f / 3.0f, 0.97f, 1e-38f, 1e-45f, 3.4028235e38f, -0.0f,
                            16777216.0f, 123456.789f, -2.5e-7f}) {
    const std::string text = JsonFloat(value);
    const float back = std::strtof(text.c_str(), nullptr);
    EXPECT_EQ(std::memcmp(&back, &value, sizeof value), 0) << text;
    EXPECT_EQ(text.find_first_not_of("0123456789.-+e"), std::string::npos) << text;
  }
  EXPECT_EQ(JsonFloat(std::nanf("")), "null");
  EXPECT_EQ(JsonFloat(INFINITY), "null");
  EXPECT_EQ(JsonFloat(-INFINITY), "null");
  HitSlot slot = MakeSlot(u"x");
  slot.score = std::nanf("");
  EXPECT_NE(HitSlotToJson(slot).find("\"score\":null"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// Against the rings

struct CtlOutcome {
  int code;
  std::string out;
  std::string err;
};

CtlOutcome RunInProcess(const std::vector<std::string>& args) {
  std::ostringstream out;
  std::ostringstream err;
  const int code = RunCtl(args, out, err);
  return {code, out.str(), err.str()};
}

// The worker's side of both rings, created the way the worker creates them, with its lock held.
class CtlRingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(WorkerLock::Acquire(lock_), WorkerLock::Result::kAcquired);
    cmd_ = CmdRingConsumer::Open();
    ASSERT_TRUE(cmd_.HasView());
    writer_ = HitRingWriter::Create();
    ASSERT_TRUE(writer_->Ready());
    hitMapping_ = SharedMapping::Open(kHitRingMappingName, kHitRingBytes);
    ASSERT_NE(hitMapping_.View(), nullptr);
  }

  CmdRingLayout& Cmd() { return *cmd_.Ring(); }
  HitRingLayout& Hit() { return *static_cast<HitRingLayout*>(hitMapping_.View()); }

  void StartCommandThread() {
    table_.heartbeat = [this] { SendHeartbeat(writer_.get(), "CMD"); };
    table_.version = [this] { SendVersion(writer_.get()); };
    thread_ = std::jthread(
        [this](std::stop_token stop) { RunCommandThread(cmd_, table_, LogSink(), stop); });
  }

  ScopedIpcNamespace ns_;
  WorkerLock lock_;
  CmdRingConsumer cmd_;
  std::unique_ptr<HitRingWriter> writer_;
  SharedMapping hitMapping_;
  CommandTable table_;
  std::jthread thread_;  // declared last: stopped and joined before the rings go
};

TEST(CtlNoWorkerTest, MissingRingsGiveExitCodeThree) {
  ScopedIpcNamespace ns;
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"status"},
           {"clear"},
           {"add", "--name", "n", "--path", "p", "--roi", "0,0,1,1"},
           {"heartbeat", "--timeout", "0.1"},
           {"watch", "--count", "1"}}) {
    const CtlOutcome outcome = RunInProcess(args);
    EXPECT_EQ(outcome.code, kExitNoWorker) << args[0];
    EXPECT_NE((outcome.err + outcome.out).find("no worker is running"), std::string::npos)
        << outcome.err;
  }
  // Asking did not create anything.
  EXPECT_FALSE(
      SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes, OpenMode::kOpenExisting).HasHandle());
}

TEST(CtlNoWorkerTest, RingsLeftByADeadWorkerAreNoWorker) {
  ScopedIpcNamespace ns;
  // The objects a worker leaves behind, without the lock that only a live worker holds.
  CmdRingConsumer cmd = CmdRingConsumer::Open();
  ASSERT_TRUE(cmd.HasView());
  const std::unique_ptr<HitRingWriter> writer = HitRingWriter::Create();
  writer->Publish("pending", HitMessage{});
  {
    WorkerLock died;
    ASSERT_EQ(WorkerLock::Acquire(died), WorkerLock::Result::kAcquired);
  }
  const std::string noWorker = "no worker is running in namespace '" + ns.Name() +
                               "'; start one with tavrik-worker, or with systemctl --user start "
                               "tavrik-worker where it is installed as a user service";
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"add", "--name", "n", "--path", "p", "--roi", "0,0,1,1"},
           {"remove", "n"},
           {"clear"},
           {"heartbeat"},
           {"version"},
           {"watch", "--count", "1"}}) {
    const CtlOutcome outcome = RunInProcess(args);
    EXPECT_EQ(outcome.code, kExitNoWorker) << args[0];
    EXPECT_EQ(outcome.err, "tavrik-ctl: " + noWorker + "\n") << args[0];
  }
  // Nothing was published into the ring nobody reads, and nothing was taken from the hit ring.
  EXPECT_EQ(LoadIndex(cmd.Ring()->header.writeIndex), 0u);
  const SharedMapping hit =
      SharedMapping::Open(kHitRingMappingName, kHitRingBytes, OpenMode::kOpenExisting);
  EXPECT_EQ(LoadIndex(static_cast<HitRingLayout*>(hit.View())->header.readIndex), 0u);

  // status says so as a line of its own, and still shows the headers.
  const CtlOutcome text = RunInProcess({"status"});
  EXPECT_EQ(text.code, kExitNoWorker);
  EXPECT_EQ(text.out.rfind("namespace: " + ns.Name() + "\n" + noWorker + "\ncmdRing: ", 0), 0u)
      << text.out;
  EXPECT_NE(text.out.find("hitRing: writeIndex=1 "), std::string::npos) << text.out;
  const CtlOutcome json = RunInProcess({"status", "--json"});
  EXPECT_EQ(json.code, kExitNoWorker);
  EXPECT_EQ(json.out.rfind("{\"namespace\":\"" + ns.Name() +
                               "\",\"workerRunning\":false,"
                               "\"cmdRing\":{",
                           0),
            0u)
      << json.out;

  // In a Wayland session both forms end by saying what can be found and captured; nothing else
  // changes.
  const std::string session =
      "Wayland session (WAYLAND_DISPLAY=wayland-0): only X11 windows (XWayland applications) can "
      "be found and captured";
  ::setenv("WAYLAND_DISPLAY", "wayland-0", 1);
  const CtlOutcome waylandText = RunInProcess({"status"});
  const CtlOutcome waylandJson = RunInProcess({"status", "--json"});
  ::unsetenv("WAYLAND_DISPLAY");
  EXPECT_EQ(waylandText.code, kExitNoWorker);
  EXPECT_EQ(waylandText.out.rfind(text.out + "session: " + session, 0), 0u) << waylandText.out;
  EXPECT_EQ(waylandJson.out.rfind(json.out.substr(0, json.out.size() - 2) + ",\"session\":\"" +
                                      session,
                                  0),
            0u)
      << waylandJson.out;
}

TEST(CtlNoWorkerTest, ANamespaceOutsideTheRuleIsRefusedWithExitCodeOne) {
  ScopedIpcNamespace ns;
  for (const char* bad : {"a/b", "a\nb", "..", " ", ".x"}) {
    SCOPED_TRACE(bad);
    ::setenv("TAVRIK_IPC_NAMESPACE", bad, 1);
    const CtlOutcome outcome = RunInProcess({"status"});
    EXPECT_EQ(outcome.code, kExitFailure);
    EXPECT_NE(outcome.err.find("TAVRIK_IPC_NAMESPACE"), std::string::npos);
    EXPECT_NE(outcome.err.find("is not a valid namespace"), std::string::npos) << outcome.err;
    // The message stays one line, whatever the variable holds.
    EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << outcome.err;
  }
  ::setenv("TAVRIK_IPC_NAMESPACE", ns.Name().c_str(), 1);
}

TEST(CtlNoWorkerTest, TooSmallRingIsAFailure) {
  ScopedIpcNamespace ns;
  WorkerLock lock;  // someone claims to be a worker, on a ring no worker would make
  ASSERT_EQ(WorkerLock::Acquire(lock), WorkerLock::Result::kAcquired);
  SharedMapping small = SharedMapping::Open(kCmdRingMappingName, 100);
  const CtlOutcome outcome = RunInProcess({"clear"});
  EXPECT_EQ(outcome.code, kExitFailure);
  EXPECT_NE(outcome.err.find("smaller than 20496 bytes"), std::string::npos) << outcome.err;
}

TEST_F(CtlRingTest, AddPublishesTheWholeSlotThenSignals) {
  const CtlOutcome outcome =
      RunInProcess({"add", "--name", "chest", "--path", "img/chest.png", "--roi", "10,20,64,48",
                    "--threshold", "0.8", "--process", "Game.exe"});
  ASSERT_EQ(outcome.code, kExitOk) << outcome.err;
  EXPECT_EQ(LoadIndex(Cmd().header.writeIndex), 1u);
  EXPECT_EQ(LoadIndex(Cmd().header.readIndex), 0u);
  EXPECT_TRUE(cmd_.event.Wait(std::chrono::milliseconds(0)));

  const SpecCommand command = DecodeCommandSlot(Cmd().slots[0]);
  EXPECT_EQ(command.commandType, kAddSpec);
  EXPECT_EQ(command.name, u"chest");
  EXPECT_EQ(command.path, u"img/chest.png");
  EXPECT_EQ(command.processName, u"Game.exe");
  EXPECT_EQ(command.roiWidth, 64);
  EXPECT_EQ(command.threshold, 0.8f);
}

TEST_F(CtlRingTest, ProducerNeverRunsMoreThanARingAhead) {
  ASSERT_EQ(RunInProcess({"remove", "first"}).code, kExitOk);
  for (int i = 1; i < 64; ++i) ASSERT_EQ(RunInProcess({"clear"}).code, kExitOk) << i;
  EXPECT_EQ(LoadIndex(Cmd().header.writeIndex), 64u);

  const CtlOutcome full = RunInProcess({"clear", "--timeout", "0.1"});
  EXPECT_EQ(full.code, kExitNoWorker);
  EXPECT_NE(full.err.find("free command slot"), std::string::npos) << full.err;
  EXPECT_EQ(LoadIndex(Cmd().header.writeIndex), 64u);
  EXPECT_EQ(DecodeCommandSlot(Cmd().slots[0]).name, u"first");  // not overwritten

  // The consumer takes one: exactly one more fits, into the freed slot.
  StoreIndex(Cmd().header.readIndex, 1);
  ASSERT_EQ(RunInProcess({"version", "--timeout", "0"}).code,
            kExitNoWorker);  // published, no reply
  EXPECT_EQ(LoadIndex(Cmd().header.writeIndex), 65u);
  EXPECT_EQ(Cmd().slots[0].commandType, kVersion);
  EXPECT_EQ(RunInProcess({"clear", "--timeout", "0"}).code, kExitNoWorker);
}

TEST_F(CtlRingTest, IndexesWrapAroundTwoToTheThirtyTwo) {
  StoreIndex(Cmd().header.writeIndex, 0xFFFFFFFFu);
  StoreIndex(Cmd().header.readIndex, 0xFFFFFFC1u);  // 62 pending
  ASSERT_EQ(RunInProcess({"remove", "a"}).code, kExitOk);
  EXPECT_EQ(LoadIndex(Cmd().header.writeIndex), 0u);
  EXPECT_EQ(DecodeCommandSlot(Cmd().slots[63]).name, u"a");
  ASSERT_EQ(RunInProcess({"remove", "b"}).code, kExitOk);  // 64th pending
  EXPECT_EQ(DecodeCommandSlot(Cmd().slots[0]).name, u"b");
  EXPECT_EQ(RunInProcess({"clear", "--timeout", "0.05"}).code, kExitNoWorker);
}

TEST_F(CtlRingTest, ConcurrentProducersEachGetTheirOwnSlot) {
  constexpr int kThreads = 4;
  constexpr int kEach = 16;
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([t] {
      // Each producer opens the ring itself, as separate tavrik-ctl processes do.
      const SharedMapping ring =
          SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes, OpenMode::kOpenExisting);
      const NamedEvent event = NamedEvent::Open(kCmdRingEventName, OpenMode::kOpenExisting);
      for (int i = 0; i < kEach; ++i) {
        CommandSlot slot{};
        slot.commandType = kClearSpecs;
        slot.cooldownMs = t * 1000 + i;
        EXPECT_EQ(PublishCommand(ring, event, slot,
                                 std::chrono::steady_clock::now() + std::chrono::seconds(10)),
                  PublishResult::kPublished);
      }
    });
  }
  for (auto& producer : producers) producer.join();
  EXPECT_EQ(LoadIndex(Cmd().header.writeIndex), std::uint32_t{kThreads * kEach});
  std::set<std::int32_t> ids;
  for (const CommandSlot& slot : Cmd().slots) ids.insert(slot.cooldownMs);
  EXPECT_EQ(ids.size(), std::size_t{kThreads * kEach});
}

TEST_F(CtlRingTest, HeartbeatAndVersionPrintTheWorkersReply) {
  StartCommandThread();
  CtlOutcome outcome = RunInProcess({"heartbeat"});
  EXPECT_EQ(outcome.code, kExitOk) << outcome.err;
  EXPECT_EQ(outcome.out, "__hb__:CMD\n");
  outcome = RunInProcess({"version"});
  EXPECT_EQ(outcome.code, kExitOk) << outcome.err;
  EXPECT_EQ(outcome.out, "__ver__:0.2.4\n");
  // Nothing was consumed: the replies are still there for the ring's reader.
  EXPECT_EQ(LoadIndex(Hit().header.readIndex), 0u);
  EXPECT_EQ(LoadIndex(Hit().header.writeIndex), 2u);
}

TEST_F(CtlRingTest, HeartbeatNeverTakesTheReadersMessagesAndSaysWhenTheRingIsFull) {
  HitMessage hit;
  hit.isHit = true;
  writer_->Publish("ui-hit", hit);  // a hit the UI has not read yet
  StartCommandThread();
  ASSERT_EQ(RunInProcess({"heartbeat"}).code, kExitOk);
  HitRingReader ui(SharedMapping::Open(kHitRingMappingName, kHitRingBytes), NamedEvent());
  const std::optional<HitSlot> first = ui.TryNext();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(DecodeHitName(*first), "ui-hit");

  // A full ring cannot take the reply: said plainly, unless --drain empties it first.
  for (int i = 0; i < 70; ++i) writer_->Publish("old", HitMessage{});
  const CtlOutcome full = RunInProcess({"heartbeat", "--timeout", "0.5"});
  EXPECT_EQ(full.code, kExitNoWorker);
  EXPECT_NE(full.err.find("the hit ring is full"), std::string::npos) << full.err;
  const CtlOutcome drained = RunInProcess({"heartbeat", "--drain"});
  EXPECT_EQ(drained.code, kExitOk) << drained.err;
  EXPECT_EQ(drained.out, "__hb__:CMD\n");
}

TEST_F(CtlRingTest, StaleReplyIsNotTakenForANewOne) {
  SendHeartbeat(writer_.get(), "CMD");  // left over from an earlier request
  SendVersion(writer_.get());
  EXPECT_EQ(RunInProcess({"heartbeat", "--timeout", "0.1"}).code, kExitNoWorker);
  const CtlOutcome version = RunInProcess({"version", "--timeout", "0.1"});
  EXPECT_EQ(version.code, kExitNoWorker);
  EXPECT_NE(version.err.find("no reply (__ver__:...) within 0.1 s"), std::string::npos)
      << version.err;
}

TEST_F(CtlRingTest, WatchPrintsOneJsonLinePerMessageAndConsumesIt) {
  HitMessage hit;
  hit.posX = 7;
  hit.isHit = true;
  hit.score = 0.75f;
  writer_->Publish("t1:a", hit);
  writer_->Publish("b\"c", HitMessage{});
  writer_->Publish("\xE2\x82\xAC", HitMessage{});
  const CtlOutcome outcome = RunInProcess({"watch", "--count", "3", "--timeout", "5"});
  ASSERT_EQ(outcome.code, kExitOk) << outcome.err;
  std::istringstream lines(outcome.out);
  std::vector<std::string> got;
  for (std::string line; std::getline(lines, line);) got.push_back(line);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_NE(got[0].find("\"posX\":7,"), std::string::npos) << got[0];
  EXPECT_NE(got[0].find("\"isHit\":1,\"score\":0.75,"), std::string::npos) << got[0];
  EXPECT_NE(got[0].find("\"name\":\"t1:a\"}"), std::string::npos) << got[0];
  EXPECT_NE(got[1].find(R"("name":"b\"c"})"), std::string::npos) << got[1];
  EXPECT_NE(got[2].find("\"name\":\"\xE2\x82\xAC\"}"), std::string::npos) << got[2];
  EXPECT_EQ(LoadIndex(Hit().header.readIndex), 3u);
}

TEST_F(CtlRingTest, WatchTimeoutEndsCleanlyUnlessACountWasMissed) {
  writer_->Publish("only", HitMessage{});
  const CtlOutcome counted = RunInProcess({"watch", "--count", "2", "--timeout", "0.1"});
  EXPECT_EQ(counted.code, kExitNoWorker);
  EXPECT_NE(counted.out.find("\"only\""), std::string::npos);
  EXPECT_NE(counted.err.find("1 of 2"), std::string::npos) << counted.err;
  EXPECT_EQ(RunInProcess({"watch", "--timeout", "0.05"}).code, kExitOk);
}

TEST_F(CtlRingTest, WatchWakesOnThePublishersSignal) {
  std::jthread late([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    writer_->Publish("late", HitMessage{});
  });
  const CtlOutcome outcome = RunInProcess({"watch", "--count", "1", "--timeout", "10"});
  EXPECT_EQ(outcome.code, kExitOk);
  EXPECT_NE(outcome.out.find("\"late\""), std::string::npos);
}

TEST_F(CtlRingTest, ReaderThatRanAheadIsPutRight) {
  writer_->Publish("x", HitMessage{});
  StoreIndex(Hit().header.readIndex, 10);  // ahead of writeIndex 1: the worker drops everything
  const CtlOutcome outcome = RunInProcess({"watch", "--timeout", "0.05"});
  EXPECT_EQ(outcome.code, kExitOk);
  EXPECT_EQ(outcome.out, "");
  EXPECT_NE(outcome.err.find("ahead"), std::string::npos);
  EXPECT_EQ(LoadIndex(Hit().header.readIndex), 1u);
  writer_->Publish("y", HitMessage{});
  EXPECT_EQ(LoadIndex(Hit().header.writeIndex), 2u);  // stored again, not dropped
}

TEST_F(CtlRingTest, StatusShowsBothHeadersWithoutConsuming) {
  StoreIndex(Cmd().header.writeIndex, 5);
  StoreIndex(Cmd().header.readIndex, 3);
  for (int i = 0; i < 66; ++i) writer_->Publish("m", HitMessage{});
  StoreIndex(Hit().header.headerReserved, 9);

  const CtlOutcome json = RunInProcess({"status", "--json"});
  ASSERT_EQ(json.code, kExitOk) << json.err;
  EXPECT_EQ(json.out, "{\"namespace\":\"" + ns_.Name() +
                          "\",\"workerRunning\":true,\"cmdRing\":{\"writeIndex\":5,\"readIndex\":3,"
                          "\"droppedCount\":0,"
                          "\"headerReserved\":0,\"pending\":2},\"hitRing\":{\"writeIndex\":64,"
                          "\"readIndex\":0,\"droppedCount\":2,\"headerReserved\":9,"
                          "\"pending\":64}}\n");
  const CtlOutcome text = RunInProcess({"status"});
  ASSERT_EQ(text.code, kExitOk);
  EXPECT_EQ(text.out.rfind("namespace: " + ns_.Name() + "\nworker: running\ncmdRing: ", 0), 0u)
      << text.out;
  EXPECT_NE(text.out.find("cmdRing: writeIndex=5 readIndex=3 droppedCount=0 headerReserved=0 "
                          "pending=2\n"),
            std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("hitRing: writeIndex=64 readIndex=0 droppedCount=2"), std::string::npos);
  EXPECT_EQ(LoadIndex(Hit().header.readIndex), 0u);
}

// ---------------------------------------------------------------------------------------------
// The executable itself

int RunBinary(const std::string& arguments) {
  const std::string command =
      test::BuiltExecutable("tavrik-ctl") + " " + arguments + " >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(CtlBinaryTest, ExitCodesAsDocumented) {
  ScopedIpcNamespace ns;
  EXPECT_EQ(RunBinary("--help"), 0);
  EXPECT_EQ(RunBinary("help add"), 0);
  EXPECT_EQ(RunBinary("frobnicate"), 2);
  EXPECT_EQ(RunBinary("add --name n"), 2);
  EXPECT_EQ(RunBinary("status"), 3);

  WorkerLock lock;
  ASSERT_EQ(WorkerLock::Acquire(lock), WorkerLock::Result::kAcquired);
  CmdRingConsumer worker = CmdRingConsumer::Open();
  ASSERT_TRUE(worker.HasView());
  EXPECT_EQ(RunBinary("add --name 'caf\xC3\xA9' --path p.png --roi 1,2,3,4"), 0);
  EXPECT_EQ(LoadIndex(worker.Ring()->header.writeIndex), 1u);
  EXPECT_EQ(DecodeCommandSlot(worker.Ring()->slots[0]).name, u"caf\u00E9");
}

}  // namespace
}  // namespace tavrik::ctl
