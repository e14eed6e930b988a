// docs/protocol.md is what peers implement the rings from; its golden dumps must be the bytes the
// code produces.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ipc/command_codec.h"
#include "ipc/hit_ring.h"
#include "ipc/ring_layout.h"
#include "ipc/shared_memory.h"
#include "tests/support/test_support.h"

namespace tavrik {
namespace {

// The bytes of the fenced block that follows `marker`: lines "0000: 01 02 ..." (hex after ':').
std::vector<std::uint8_t> GoldenDump(const std::string& marker) {
  std::ifstream in(std::string(TAVRIK_SOURCE_DIR) + "/docs/protocol.md");
  std::string line;
  while (std::getline(in, line) && line != marker) {
  }
  std::vector<std::uint8_t> bytes;
  if (!std::getline(in, line) || line != "```") return bytes;
  while (std::getline(in, line) && line != "```") {
    std::istringstream hex(line.substr(line.find(':') + 1));
    for (std::string pair; hex >> pair;) {
      bytes.push_back(static_cast<std::uint8_t>(std::stoul(pair, nullptr, 16)));
    }
  }
  return bytes;
}

TEST(ProtocolDocTest, CommandSlotDumpIsWhatTheEncoderWrites) {
  SpecCommand add;
  add.commandType = kAddSpec;
  add.cooldownMs = 500;
  add.baselineMargin = 0.05f;
  add.processName = u"game.exe";
  add.name = u"t2:chest";
  add.path = u"img/chest.png";
  add.roiX = 10;
  add.roiY = 20;
  add.roiWidth = 64;
  add.roiHeight = 48;
  add.threshold = 0.8f;
  const CommandSlot slot = EncodeCommandSlot(add);
  std::vector<std::uint8_t> code(sizeof slot);
  std::memcpy(code.data(), &slot, sizeof slot);
  EXPECT_EQ(GoldenDump("<!-- golden:command-slot -->"), code);
}

TEST(ProtocolDocTest, HitSlotDumpIsWhatTheWriterPublishes) {
  test::ScopedIpcNamespace ns;
  std::unique_ptr<HitRingWriter> writer = HitRingWriter::Create();
  ASSERT_TRUE(writer->Ready());
  HitMessage message;
  message.timestampMs = 1765100000000;
  message.posX = 300;
  message.posY = 200;
  message.roiWidth = 480;
  message.roiHeight = 320;
  message.isHit = true;
  message.score = 0.987f;
  message.threshold = 0.9f;
  message.baseline = 0.25f;
  writer->Publish("badge", message);

  const SharedMapping ring = SharedMapping::Open(kHitRingMappingName, kHitRingBytes);
  ASSERT_NE(ring.View(), nullptr);
  const auto* bytes =
      static_cast<const std::uint8_t*>(ring.View()) + offsetof(HitRingLayout, slots);
  EXPECT_EQ(GoldenDump("<!-- golden:hit-slot -->"),
            std::vector<std::uint8_t>(bytes, bytes + sizeof(HitSlot)));
}

}  // namespace
}  // namespace tavrik
