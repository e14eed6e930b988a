#include "ipc/command_ring.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/ipc/ring_test_util.h"
#include "tests/support/test_support.h"

namespace tavrik {
namespace {

using test::PeerCommand;
using test::ReadU32;
using test::WriteCommandSlot;
using test::WriteU32;

// Records what the table was asked to do, in order.
struct Recorder {
  std::vector<std::string> calls;
  std::vector<SpecCommand> adds;
  CommandTable Table() {
    return CommandTable{
        .addSpec =
            [this](const SpecCommand& c) {
              calls.push_back("add");
              adds.push_back(c);
            },
        .removeSpec =
            [this](const std::u16string& n) {
              calls.push_back("remove:" + std::string(n.begin(), n.end()));
            },
        .clearSpecs = [this] { calls.push_back("clear"); },
        .heartbeat = [this] { calls.push_back("heartbeat"); },
        .version = [this] { calls.push_back("version"); },
    };
  }
};

class CommandRingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    consumer_ = CmdRingConsumer::Open();
    ASSERT_TRUE(consumer_.HasView());
    peer_ = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes, OpenMode::kOpenExisting);
    ASSERT_NE(peer_.View(), nullptr);
  }
  void* ring() const { return peer_.View(); }
  // Publishes like a well-behaved producer: slot first, then the index.
  void Push(const PeerCommand& c) {
    const std::uint32_t w = ReadU32(ring(), 0);
    WriteCommandSlot(ring(), w, c);
    StoreIndex(static_cast<CmdRingLayout*>(ring())->header.writeIndex, w + 1);
  }
  bool Drain(const CommandTable& table) { return DrainCommandRing(consumer_, table, log_); }

  test::ScopedIpcNamespace ns_;
  CmdRingConsumer consumer_;
  SharedMapping peer_;
  std::vector<std::string> lines_;
  LogSink log_{[this](std::string_view l) { lines_.emplace_back(l); }};
};

TEST_F(CommandRingTest, SlotFieldsDecodeFromTheirOffsets) {
  PeerCommand c;
  c.commandType = kAddSpec;
  c.cooldownMs = -100;
  c.baselineMargin = 0.05f;
  c.processName = u"Game.EXE";
  c.name = u"t2:left";
  c.path = u"templates\\ok.png";
  c.roi[0] = -10;
  c.roi[1] = 20;
  c.roi[2] = 0;
  c.roi[3] = -5;
  c.threshold = 0.85f;
  c.spare = 1.5f;
  Push(c);
  Recorder rec;
  EXPECT_TRUE(Drain(rec.Table()));
  ASSERT_EQ(rec.adds.size(), 1u);
  const SpecCommand& s = rec.adds[0];
  EXPECT_EQ(s.commandType, 1);
  EXPECT_EQ(s.cooldownMs, -100);
  EXPECT_EQ(s.baselineMargin, 0.05f);
  EXPECT_EQ(s.processName, u"Game.EXE");
  EXPECT_EQ(s.name, u"t2:left");
  EXPECT_EQ(s.path, u"templates\\ok.png");
  EXPECT_EQ(s.roiX, -10);
  EXPECT_EQ(s.roiY, 20);
  EXPECT_EQ(s.roiWidth, 0);
  EXPECT_EQ(s.roiHeight, -5);
  EXPECT_EQ(s.threshold, 0.85f);
  EXPECT_EQ(s.spare, 1.5f);
  EXPECT_EQ(ReadU32(ring(), 4), 1u);
}

TEST_F(CommandRingTest, FullWidthTextWithoutTerminatorAndUnitsAfterANul) {
  PeerCommand c;
  c.commandType = kAddSpec;
  c.name = std::u16string(32, u'n');
  c.processName = std::u16string(16, u'p');
  c.path = std::u16string(64, u'q');
  Push(c);
  PeerCommand d;
  d.commandType = kAddSpec;
  d.name = std::u16string(u"ab\0cd", 5);
  Push(d);
  Recorder rec;
  Drain(rec.Table());
  ASSERT_EQ(rec.adds.size(), 2u);
  EXPECT_EQ(rec.adds[0].name, std::u16string(32, u'n'));
  EXPECT_EQ(rec.adds[0].processName, std::u16string(16, u'p'));
  EXPECT_EQ(rec.adds[0].path, std::u16string(64, u'q'));
  EXPECT_EQ(rec.adds[1].name, u"ab");
  EXPECT_TRUE(rec.adds[1].path.empty());  // nothing carries over from the previous command
}

TEST_F(CommandRingTest, FiveCommandsRunInRingOrderInOnePass) {
  for (std::int32_t type = 1; type <= 5; ++type) {
    PeerCommand c;
    c.commandType = type;
    c.name = u"x";
    Push(c);
  }
  Recorder rec;
  EXPECT_TRUE(Drain(rec.Table()));
  EXPECT_EQ(rec.calls,
            (std::vector<std::string>{"add", "remove:x", "clear", "heartbeat", "version"}));
  EXPECT_EQ(ReadU32(ring(), 4), 5u);
  EXPECT_FALSE(Drain(rec.Table()));  // nothing left
}

TEST_F(CommandRingTest, UnknownTypesAreConsumedSilently) {
  for (std::int32_t type : {9, 0, -1}) {
    PeerCommand c;
    c.commandType = type;
    Push(c);
  }
  Recorder rec;
  EXPECT_TRUE(Drain(rec.Table()));
  EXPECT_TRUE(rec.calls.empty());
  EXPECT_EQ(ReadU32(ring(), 4), 3u);
  EXPECT_TRUE(lines_.empty());
}

TEST_F(CommandRingTest, PendingMessageAcrossTheWrapRunsFromSlot63) {
  PeerCommand c;
  c.commandType = kRemoveSpec;
  c.name = u"wrap";
  WriteCommandSlot(ring(), 63, c);
  WriteU32(ring(), 4, 0xFFFFFFFF);
  WriteU32(ring(), 0, 0);
  Recorder rec;
  Drain(rec.Table());
  EXPECT_EQ(rec.calls, std::vector<std::string>{"remove:wrap"});
  EXPECT_EQ(ReadU32(ring(), 4), 0u);
}

TEST_F(CommandRingTest, ProducerFarAheadOnlyTheNewestRingIsExecuted) {
  for (std::uint32_t i = 0; i < 64; ++i) {
    PeerCommand c;
    c.commandType = kRemoveSpec;
    c.name = u"n" + std::u16string(1, static_cast<char16_t>(u'0' + i % 10));
    WriteCommandSlot(ring(), i, c);
  }
  WriteU32(ring(), 4, 0);
  WriteU32(ring(), 0, 1000);  // claims 1000 pending; only 64 slots exist
  Recorder rec;
  Drain(rec.Table());
  EXPECT_EQ(rec.calls.size(), 64u);
  EXPECT_EQ(ReadU32(ring(), 4), 1000u);
  // Oldest surviving message is number 936, in slot 936 & 63 = 40.
  EXPECT_EQ(rec.calls.front(), "remove:n0");
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_NE(lines_[0].find("skipped 936"), std::string::npos) << lines_[0];
}

TEST_F(CommandRingTest, WriteIndexBehindReadIndexRunsNothingAndFollowsTheProducer) {
  // Gaps up to 2^31 are a producer far ahead (the newest 64 run); anything larger means that
  // writeIndex went backwards, and every slot is stale.
  const struct {
    std::uint32_t read, write;
    std::size_t runs;
  } cases[] = {
      {100, 0, 0},                    // the UI reset its header
      {0x80000000u, 0, 0},            // exactly 2^31 ahead, as far ahead as behind: backwards
      {0x80000001u, 0, 64},           // 2^31 - 1 ahead: the newest 64 run
      {0x7FFFFFFFu, 0, 0},            // 2^31 + 1 ahead: behind by 2^31 - 1
      {5, 4, 0},                      // one behind
      {0xFFFFFFF0u, 0xFFFFFFEFu, 0},  // one behind, near the wrap
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "read=" << c.read << " write=" << c.write);
    lines_.clear();
    for (std::uint32_t i = 0; i < 64; ++i) {
      PeerCommand stale;
      stale.commandType = kClearSpecs;
      WriteCommandSlot(ring(), i, stale);
    }
    WriteU32(ring(), 4, c.read);
    WriteU32(ring(), 0, c.write);
    Recorder rec;
    Drain(rec.Table());
    EXPECT_EQ(rec.calls.size(), c.runs);
    EXPECT_EQ(ReadU32(ring(), 4), c.write);
    ASSERT_EQ(lines_.size(), 1u);
    if (c.runs == 0) {
      EXPECT_EQ(lines_[0], "[Spec] Command ring writeIndex went backwards: writeIndex=" +
                               std::to_string(c.write) + " readIndex=" + std::to_string(c.read) +
                               "; nothing run, readIndex set to writeIndex");
    }
    // The ring works normally from the producer's position on.
    PeerCommand next;
    next.commandType = kHeartbeat;
    Push(next);
    Recorder after;
    Drain(after.Table());
    EXPECT_EQ(after.calls, std::vector<std::string>{"heartbeat"});
  }
}

TEST(CommandGapTest, HalfTheIndexSpaceIsTheFirstGapThatCountsAsBackwards) {
  EXPECT_EQ(ClassifyCommandGap(7, 7), CommandGap::kEmpty);
  EXPECT_EQ(ClassifyCommandGap(0, 0xFFFFFFFFu), CommandGap::kPending);  // across the wrap
  EXPECT_EQ(ClassifyCommandGap(64, 0), CommandGap::kPending);
  EXPECT_EQ(ClassifyCommandGap(65, 0), CommandGap::kOverrun);
  EXPECT_EQ(ClassifyCommandGap(0x7FFFFFFFu, 0), CommandGap::kOverrun);
  EXPECT_EQ(ClassifyCommandGap(0x80000000u, 0), CommandGap::kBackwards);
  EXPECT_EQ(ClassifyCommandGap(0x80000005u, 5), CommandGap::kBackwards);
  EXPECT_EQ(ClassifyCommandGap(4, 5), CommandGap::kBackwards);
}

TEST_F(CommandRingTest, AFailingHandlerIsContainedAndTheNextSlotRuns) {
  PeerCommand bad;
  bad.commandType = kClearSpecs;
  Push(bad);
  PeerCommand good;
  good.commandType = kHeartbeat;
  Push(good);
  Recorder rec;
  CommandTable table = rec.Table();
  table.clearSpecs = [] { throw std::runtime_error("boom"); };
  EXPECT_TRUE(Drain(table));
  EXPECT_EQ(rec.calls, std::vector<std::string>{"heartbeat"});
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_EQ(lines_[0], "[Spec] Command 3 failed: boom");
  EXPECT_EQ(ReadU32(ring(), 4), 2u);
}

TEST_F(CommandRingTest, ExistingRingContentsAreKeptAndExecuted) {
  // Commands queued before the consumer (re)opens the ring are run once it drains.
  PeerCommand c;
  c.commandType = kVersion;
  Push(c);
  consumer_ = CmdRingConsumer();
  consumer_ = CmdRingConsumer::Open();
  Recorder rec;
  Drain(rec.Table());
  EXPECT_EQ(rec.calls, std::vector<std::string>{"version"});
}

TEST_F(CommandRingTest, ThreadWakesOnTheEventAndSurvivesSpuriousSignals) {
  NamedEvent event = NamedEvent::Open(kCmdRingEventName, OpenMode::kOpenExisting);
  ASSERT_TRUE(event.Valid());
  std::atomic<int> heartbeats{0};
  CommandTable table;
  table.heartbeat = [&] { ++heartbeats; };
  std::jthread thread(
      [&](std::stop_token stop) { RunCommandThread(consumer_, table, log_, stop); });
  event.Signal();  // signalled without a command: wakes, finds nothing, waits again
  PeerCommand c;
  c.commandType = kHeartbeat;
  Push(c);
  event.Signal();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (heartbeats.load() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(heartbeats.load(), 1);
}

TEST_F(CommandRingTest, TheIdleHookRunsOnEveryIdleWaitAndNeverBetweenCommands) {
  std::atomic<int> idles{0};
  std::atomic<int> heartbeats{0};
  std::atomic<int> idlesAtFirstHeartbeat{-1};
  CommandTable table;
  table.heartbeat = [&] {
    int expected = -1;
    idlesAtFirstHeartbeat.compare_exchange_strong(expected, idles.load());
    ++heartbeats;
  };
  PeerCommand c;
  c.commandType = kHeartbeat;
  for (int i = 0; i < 3; ++i) Push(c);  // pending before the thread runs: one pass takes all
  {
    std::jthread thread([&](std::stop_token stop) {
      RunCommandThread(consumer_, table, log_, stop, [&] { ++idles; });
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (idles.load() < 3 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  EXPECT_EQ(heartbeats.load(), 3);
  EXPECT_EQ(idlesAtFirstHeartbeat.load(), 0);
  EXPECT_GE(idles.load(), 3);
}

TEST(CommandThread, ReturnsAtOnceWithoutAView) {
  CmdRingConsumer empty;
  RunCommandThread(empty, CommandTable{}, LogSink());  // must not block
  SUCCEED();
}

}  // namespace
}  // namespace tavrik
