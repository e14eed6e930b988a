// Both rings under load, with exact accounting: every message published is either read, whole and
// in its producer's order, or counted as dropped. Nothing is torn, duplicated or lost unnoticed.
//
// TAVRIK_RING_STRESS_MESSAGES sets how many messages go through each ring (default below); the
// ThreadSanitizer and Windows builds use a smaller default.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ipc/command_ring.h"
#include "ipc/hit_ring.h"
#include "ipc/ring_layout.h"
#include "ipc/shared_memory.h"
#include "tests/support/test_support.h"

namespace tavrik {
namespace {

using namespace std::chrono_literals;

#if defined(__SANITIZE_THREAD__) || defined(_WIN32)
// ThreadSanitizer, and the kernel objects of Wine (where the Windows build is tested), cost ten
// times as much per message.
constexpr std::uint64_t kDefaultMessages = 20'000;
#else
constexpr std::uint64_t kDefaultMessages = 200'000;
#endif

std::uint64_t MessageCount() {
  const char* value = std::getenv("TAVRIK_RING_STRESS_MESSAGES");
  if (value == nullptr || *value == '\0') return kDefaultMessages;
  return std::strtoull(value, nullptr, 10);
}

// What producer `p` puts into its message number `seq`: every field is a function of the two, so
// that the reader can tell a whole message from a torn or mixed one.
HitMessage ExpectedHit(std::uint32_t p, std::uint32_t seq) {
  HitMessage m;
  m.timestampMs = (std::int64_t{seq} << 8) | p;
  m.posX = static_cast<std::int32_t>(p);
  m.posY = static_cast<std::int32_t>(seq);
  m.roiWidth = static_cast<std::int32_t>(seq ^ 0x5A5A5A5Au);
  m.roiHeight = static_cast<std::int32_t>(~seq);
  m.isHit = (seq & 1u) != 0;
  m.score = static_cast<float>(seq % 1000) / 1000.0f;
  m.threshold = static_cast<float>(p);
  m.baseline = -static_cast<float>(seq % 4096);
  return m;
}

std::string HitName(std::uint32_t p, std::uint32_t seq) {
  return "p" + std::to_string(p) + ":" + std::to_string(seq);
}

// Checks one slot against what its producer wrote; returns the producer and sequence number.
bool CheckHitSlot(const HitSlot& slot, std::uint32_t& p, std::uint32_t& seq) {
  const std::string name = DecodeHitName(slot);
  unsigned producer = 0;
  unsigned long number = 0;
  if (std::sscanf(name.c_str(), "p%u:%lu", &producer, &number) != 2) return false;
  p = producer;
  seq = static_cast<std::uint32_t>(number);
  if (name != HitName(p, seq)) return false;
  // Units after the terminator are zero, and the last two always are.
  bool ended = false;
  for (const char16_t unit : slot.name) {
    if (ended && unit != 0) return false;
    ended = ended || unit == 0;
  }
  const HitMessage m = ExpectedHit(p, seq);
  return slot.timestampMs == m.timestampMs && slot.posX == m.posX && slot.posY == m.posY &&
         slot.roiWidth == m.roiWidth && slot.roiHeight == m.roiHeight &&
         slot.isHit == (m.isHit ? 1u : 0u) && slot.score == m.score &&
         slot.threshold == m.threshold && slot.baseline == m.baseline;
}

TEST(RingStressTest, HitRingReadPlusDroppedIsPublishedExactly) {
  test::ScopedIpcNamespace ns;
  const std::uint64_t total = MessageCount();
  // More publishing threads than the worker has (the DetectionLoop and the CommandThread), so that
  // they collide often.
  constexpr std::uint32_t kPublishers = 4;
  const std::unique_ptr<HitRingWriter> writer = HitRingWriter::Create();
  ASSERT_TRUE(writer->Ready());
  // The reader has its own view and event, as the user interface has.
  HitRingReader reader(
      SharedMapping::Open(kHitRingMappingName, kHitRingBytes, OpenMode::kOpenExisting),
      NamedEvent::Open(kHitRingEventName, OpenMode::kOpenExisting));
  ASSERT_TRUE(reader.Ready());

  std::atomic<std::uint32_t> publishing{kPublishers};
  std::vector<std::thread> publishers;
  for (std::uint32_t p = 0; p < kPublishers; ++p) {
    publishers.emplace_back([&, p] {
      const std::uint64_t mine = total / kPublishers + (p < total % kPublishers ? 1 : 0);
      for (std::uint32_t seq = 0; seq < mine; ++seq) {
        writer->Publish(HitName(p, seq), ExpectedHit(p, seq));
        // Unpaced, the publishers outrun any reader and nearly everything is dropped; giving way
        // now and then keeps both paths busy.
        if (seq % 4 == 0) std::this_thread::yield();
      }
      publishing.fetch_sub(1);
    });
  }

  std::uint64_t read = 0;
  std::uint64_t malformed = 0;
  std::uint64_t outOfOrder = 0;
  std::int64_t last[kPublishers];
  std::fill(std::begin(last), std::end(last), -1);
  for (;;) {
    // Sampled before the read, so that nothing published before the end is missed.
    const bool finished = publishing.load() == 0;
    bool any = false;
    while (const std::optional<HitSlot> slot = reader.TryNext()) {
      any = true;
      ++read;
      std::uint32_t p = 0;
      std::uint32_t seq = 0;
      if (!CheckHitSlot(*slot, p, seq) || p >= kPublishers) {
        ++malformed;
        continue;
      }
      // A producer's messages arrive in its order; the dropped ones are simply not there.
      if (static_cast<std::int64_t>(seq) <= last[p]) ++outOfOrder;
      last[p] = seq;
      // Now and then the reader falls behind, so that the ring fills and drops.
      if (read % 8192 == 0) std::this_thread::sleep_for(1ms);
    }
    if (finished && !any) break;
    if (!any) reader.WaitForMore(1ms);
  }
  for (std::thread& t : publishers) t.join();

  const SharedMapping peer =
      SharedMapping::Open(kHitRingMappingName, kHitRingBytes, OpenMode::kOpenExisting);
  const auto& header = static_cast<HitRingLayout*>(peer.View())->header;
  const std::uint64_t dropped = header.droppedCount;
  std::printf("hit ring: published %llu, read %llu, dropped %llu\n",
              static_cast<unsigned long long>(total), static_cast<unsigned long long>(read),
              static_cast<unsigned long long>(dropped));
  EXPECT_EQ(malformed, 0u);
  EXPECT_EQ(outOfOrder, 0u);
  EXPECT_EQ(read + dropped, total);
  EXPECT_EQ(header.writeIndex, static_cast<std::uint32_t>(read));
  EXPECT_EQ(header.readIndex, header.writeIndex);
}

// The command slot producer `p` publishes as its number `seq`.
CommandSlot CommandFor(std::uint32_t p, std::uint32_t seq) {
  SpecCommand c;
  c.commandType = kAddSpec;
  c.cooldownMs = static_cast<std::int32_t>(p);
  c.roiX = static_cast<std::int32_t>(seq);
  c.roiY = static_cast<std::int32_t>(~seq);
  c.roiWidth = static_cast<std::int32_t>(seq ^ 0x33333333u);
  c.roiHeight = static_cast<std::int32_t>(seq * 7u);
  c.threshold = static_cast<float>(seq % 997) / 997.0f;
  c.baselineMargin = static_cast<float>(p);
  c.spare = -static_cast<float>(seq % 1024);
  const std::string name = "c" + std::to_string(p) + ":" + std::to_string(seq);
  c.name.assign(name.begin(), name.end());
  c.processName = u"stress.exe";
  c.path = c.name + u"/" + c.name + u".png";
  return EncodeCommandSlot(c);
}

TEST(RingStressTest, CommandProducersRacingTheConsumerLoseNothing) {
  test::ScopedIpcNamespace ns;
  const std::uint64_t total = MessageCount();
  constexpr std::uint32_t kProducers = 2;
  CmdRingConsumer consumer = CmdRingConsumer::Open();
  ASSERT_TRUE(consumer.HasView());

  // The consumer is the real CommandThread; every slot it hands over is checked field by field.
  std::atomic<std::uint64_t> consumed{0};
  std::atomic<std::uint64_t> malformed{0};
  std::atomic<std::uint64_t> outOfOrder{0};
  std::int64_t last[kProducers] = {-1, -1};
  CommandTable table;
  table.addSpec = [&](const SpecCommand& got) {
    consumed.fetch_add(1);
    const std::uint32_t p = static_cast<std::uint32_t>(got.cooldownMs);
    const std::uint32_t seq = static_cast<std::uint32_t>(got.roiX);
    const CommandSlot expected = CommandFor(p, seq);
    const CommandSlot again = EncodeCommandSlot(got);
    if (p >= kProducers || std::memcmp(&expected, &again, sizeof(CommandSlot)) != 0) {
      malformed.fetch_add(1);
      return;
    }
    if (static_cast<std::int64_t>(seq) <= last[p]) outOfOrder.fetch_add(1);
    last[p] = seq;
  };
  std::jthread commandThread(
      [&](std::stop_token stop) { RunCommandThread(consumer, table, LogSink(), stop); });

  // Producers open the ring themselves, as separate client processes do, and race for slots.
  std::atomic<std::uint64_t> published{0};
  std::atomic<std::uint64_t> refused{0};
  std::vector<std::thread> producers;
  for (std::uint32_t p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      const SharedMapping ring =
          SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes, OpenMode::kOpenExisting);
      const NamedEvent event = NamedEvent::Open(kCmdRingEventName, OpenMode::kOpenExisting);
      const std::uint64_t mine = total / kProducers + (p < total % kProducers ? 1 : 0);
      for (std::uint32_t seq = 0; seq < mine; ++seq) {
        const PublishResult result =
            PublishCommand(ring, event, CommandFor(p, seq), std::chrono::steady_clock::now() + 30s);
        (result == PublishResult::kPublished ? published : refused).fetch_add(1);
      }
    });
  }
  for (std::thread& t : producers) t.join();
  ASSERT_TRUE(test::WaitUntil([&] { return consumed.load() == published.load(); }, 30s));
  commandThread.request_stop();
  commandThread.join();

  std::printf("command ring: published %llu, consumed %llu, refused %llu\n",
              static_cast<unsigned long long>(published.load()),
              static_cast<unsigned long long>(consumed.load()),
              static_cast<unsigned long long>(refused.load()));
  EXPECT_EQ(published.load() + refused.load(), total);
  EXPECT_EQ(refused.load(), 0u);  // a consumer that keeps up leaves room for every producer
  EXPECT_EQ(consumed.load(), published.load());
  EXPECT_EQ(malformed.load(), 0u);
  EXPECT_EQ(outOfOrder.load(), 0u);
  RingHeader& header = consumer.Ring()->header;
  EXPECT_EQ(LoadIndex(header.readIndex), LoadIndex(header.writeIndex));
  EXPECT_EQ(LoadIndex(header.writeIndex), static_cast<std::uint32_t>(published.load()));
}

}  // namespace
}  // namespace tavrik
