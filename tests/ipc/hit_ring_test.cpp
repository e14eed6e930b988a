#include "ipc/hit_ring.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/utf.h"
#include "tests/ipc/ring_test_util.h"
#include "tests/support/test_support.h"

namespace tavrik {
namespace {

using test::ReadHitSlot;
using test::ReadU32;
using test::WriteU32;

class HitRingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writer_ = HitRingWriter::Create();
    ASSERT_TRUE(writer_->Ready());
    peer_ = SharedMapping::Open(kHitRingMappingName, kHitRingBytes, OpenMode::kOpenExisting);
    ASSERT_NE(peer_.View(), nullptr);
    peerEvent_ = NamedEvent::Open(kHitRingEventName, OpenMode::kOpenExisting);
    ASSERT_TRUE(peerEvent_.Valid());
  }
  void* ring() const { return peer_.View(); }
  std::uint32_t writeIndex() const { return ReadU32(ring(), 0); }
  std::uint32_t dropped() const { return ReadU32(ring(), 8); }
  void Publish(std::string_view name, std::int32_t x = 0) {
    HitMessage m;
    m.posX = x;
    writer_->Publish(name, m);
  }

  test::ScopedIpcNamespace ns_;
  std::unique_ptr<HitRingWriter> writer_;
  SharedMapping peer_;
  NamedEvent peerEvent_;
};

TEST_F(HitRingTest, SlotFieldsLandAtTheirOffsetsAndReservedBytesAreUntouched) {
  auto* bytes = static_cast<std::uint8_t*>(ring());
  std::memset(bytes + 16 + 28, 0xAB, 4);    // slotReserved0
  std::memset(bytes + 16 + 108, 0xCD, 24);  // slotReserved1
  WriteU32(ring(), 12, 0xDEADBEEF);         // headerReserved
  HitMessage m;
  m.timestampMs = 0x0102030405060708;
  m.posX = -7;
  m.posY = 8;
  m.roiWidth = 640;
  m.roiHeight = 480;
  m.isHit = true;
  m.score = 0.875f;
  m.threshold = 0.9f;
  m.baseline = 0.25f;
  writer_->Publish("icon", m);

  EXPECT_EQ(writeIndex(), 1u);
  const auto slot = ReadHitSlot(ring(), 0);
  EXPECT_EQ(slot.timestampMs, 0x0102030405060708);
  EXPECT_EQ(slot.posX, -7);
  EXPECT_EQ(slot.posY, 8);
  EXPECT_EQ(slot.roiWidth, 640);
  EXPECT_EQ(slot.roiHeight, 480);
  EXPECT_EQ(slot.isHit, 1u);
  EXPECT_EQ(slot.score, 0.875f);
  EXPECT_EQ(slot.threshold, 0.9f);
  EXPECT_EQ(slot.baseline, 0.25f);
  EXPECT_EQ(slot.name, u"icon");
  for (int i = 0; i < 4; ++i) EXPECT_EQ(bytes[16 + 28 + i], 0xAB);
  for (int i = 0; i < 24; ++i) EXPECT_EQ(bytes[16 + 108 + i], 0xCD);
  EXPECT_EQ(ReadU32(ring(), 12), 0xDEADBEEFu);
  EXPECT_TRUE(peerEvent_.Wait(std::chrono::milliseconds(0)));
}

TEST_F(HitRingTest, FullRingDropsAndCountsThenAcceptsOneAfterOneRead) {
  for (int i = 0; i < 70; ++i) Publish("m", i);
  EXPECT_EQ(writeIndex(), 64u);
  EXPECT_EQ(dropped(), 6u);
  for (std::uint32_t i = 0; i < 64; ++i) EXPECT_EQ(ReadHitSlot(ring(), i).posX, int(i));

  WriteU32(ring(), 4, 1);  // the reader consumes one message
  Publish("m", 100);
  Publish("m", 101);
  EXPECT_EQ(writeIndex(), 65u);
  EXPECT_EQ(dropped(), 7u);
  EXPECT_EQ(ReadHitSlot(ring(), 64).posX, 100);  // slot 0 reused
  EXPECT_EQ(ReadHitSlot(ring(), 1).posX, 1);     // nothing else overwritten
}

TEST_F(HitRingTest, IndexesAcrossTheWrap) {
  WriteU32(ring(), 0, 63);
  WriteU32(ring(), 4, 0xFFFFFFFF);  // 64 pending: full
  Publish("x", 1);
  EXPECT_EQ(writeIndex(), 63u);
  EXPECT_EQ(dropped(), 1u);

  WriteU32(ring(), 0, 62);  // 63 pending: one free
  Publish("x", 2);
  EXPECT_EQ(writeIndex(), 63u);
  EXPECT_EQ(ReadHitSlot(ring(), 62).posX, 2);

  WriteU32(ring(), 0, 0xFFFFFFFF);
  WriteU32(ring(), 4, 0xFFFFFFFF);
  Publish("x", 3);
  EXPECT_EQ(writeIndex(), 0u);
  EXPECT_EQ(ReadHitSlot(ring(), 63).posX, 3);
}

TEST_F(HitRingTest, ReaderAheadOfWriterDropsEverything) {
  WriteU32(ring(), 4, 5);  // faulty reader: readIndex > writeIndex
  for (int i = 0; i < 3; ++i) Publish("x");
  EXPECT_EQ(writeIndex(), 0u);
  EXPECT_EQ(dropped(), 3u);
  WriteU32(ring(), 4, 0);  // reader puts it right
  Publish("x");
  EXPECT_EQ(writeIndex(), 1u);
}

TEST_F(HitRingTest, ProcessMessages) {
  SendHeartbeat(writer_.get());
  SendHeartbeat(writer_.get(), "CMD");
  SendVersion(writer_.get());
  const auto hb = ReadHitSlot(ring(), 0);
  const auto cmd = ReadHitSlot(ring(), 1);
  const auto ver = ReadHitSlot(ring(), 2);
  EXPECT_EQ(hb.name, u"__hb__");
  EXPECT_EQ(cmd.name, u"__hb__:CMD");
  EXPECT_EQ(cmd.name.size(), 10u);
  EXPECT_EQ(ver.name, u"__ver__:0.2.4");
  EXPECT_EQ(ver.name.size(), 13u);
  for (const auto& s : {hb, cmd, ver}) {
    EXPECT_EQ(s.posX | s.posY | s.roiWidth | s.roiHeight, 0);
    EXPECT_EQ(s.isHit, 0u);
    EXPECT_EQ(s.score, 0.0f);
    EXPECT_GT(s.timestampMs, 1'600'000'000'000);  // wall-clock milliseconds, not a steady clock
  }
}

TEST_F(HitRingTest, NamesFitThirtyUnitsAndLongerOnesKeepWholeCharacters) {
  const std::string n30(30, 'a'), n31(31, 'b'), n32(32, 'c');
  Publish(n30);
  Publish(n31);
  Publish(n32);
  // 29 ASCII units then a character outside the BMP: the pair would need units 29 and 30.
  Publish(std::string(29, 'd') + "\xF0\x9F\x98\x80");
  Publish("\xC3\xA9t\xC3\xA9:\xF0\x9F\x98\x80");

  EXPECT_EQ(ReadHitSlot(ring(), 0).name, std::u16string(30, u'a'));
  EXPECT_EQ(ReadHitSlot(ring(), 1).name, std::u16string(30, u'b'));
  EXPECT_EQ(ReadHitSlot(ring(), 2).name, std::u16string(30, u'c'));
  EXPECT_EQ(ReadHitSlot(ring(), 3).name, std::u16string(29, u'd'));
  EXPECT_EQ(ReadHitSlot(ring(), 4).name, u"\u00e9t\u00e9:\U0001F600");
  for (std::uint32_t i = 0; i < 5; ++i) {
    const auto slot = ReadHitSlot(ring(), i);
    EXPECT_EQ(slot.rawName[30], 0) << i;
    EXPECT_EQ(slot.rawName[31], 0) << i;
  }
}

TEST(HitRingWriterNotReady, DiscardsWithoutCounting) {
  HitRingWriter writer{SharedMapping(), NamedEvent()};
  EXPECT_FALSE(writer.Ready());
  writer.Publish("x", HitMessage{});  // must not crash
  SendHeartbeat(&writer, "IDLE");
  SendHeartbeat(nullptr, "IDLE");
  SendVersion(nullptr);
}

// Both worker threads publish at once while a reader drains: every message arrives exactly once,
// whole, or is counted as dropped. Run under TSan this also checks the writer's serialisation.
TEST_F(HitRingTest, TwoProducerThreadsAndAReader) {
  constexpr int kPerThread = 2000;
  std::atomic<bool> done{false};
  std::vector<std::pair<std::u16string, std::int32_t>> received;
  std::thread reader([&] {
    std::uint32_t r = 0;
    auto& header = static_cast<HitRingLayout*>(ring())->header;
    for (;;) {
      const bool finished = done.load();
      const std::uint32_t w = LoadIndex(header.writeIndex);
      while (r != w) {
        const auto slot = ReadHitSlot(ring(), r);
        received.emplace_back(slot.name, slot.posX);
        ++r;
        StoreIndex(header.readIndex, r);
      }
      if (finished) break;
      std::this_thread::yield();
    }
  });
  auto producer = [&](const char* name) {
    for (int i = 0; i < kPerThread; ++i) Publish(name, i);
  };
  std::thread a(producer, "main");
  std::thread b(producer, "cmd");
  a.join();
  b.join();
  done = true;
  reader.join();

  const std::uint32_t droppedCount =
      std::atomic_ref<std::uint32_t>(static_cast<HitRingLayout*>(ring())->header.droppedCount)
          .load();
  EXPECT_EQ(received.size() + droppedCount, std::size_t{2 * kPerThread});
  std::set<std::pair<std::u16string, std::int32_t>> unique(received.begin(), received.end());
  EXPECT_EQ(unique.size(), received.size());
  int lastMain = -1, lastCmd = -1;
  for (const auto& [name, x] : received) {
    ASSERT_TRUE(name == u"main" || name == u"cmd");
    int& last = name == u"main" ? lastMain : lastCmd;
    EXPECT_GT(x, last);  // per-thread order is kept
    last = x;
  }
}

}  // namespace
}  // namespace tavrik
