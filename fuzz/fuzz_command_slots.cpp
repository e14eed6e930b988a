// Command slots through the worker's own consumer: the input becomes up to 64 slots in a real
// command ring (private namespace), drained by DrainCommandRing into the real add, remove and
// clear handlers over a registry with no windows. Every line they compose must be line-safe.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "base/line_escape.h"
#include "commands/spec_commands.h"
#include "fuzz/fuzz_check.h"
#include "ipc/command_ring.h"
#include "ipc/shared_memory.h"

namespace tavrik::fuzz {
namespace {

std::string g_namespace;

// The ring and the template folder go when the run ends (an aborted run leaves them behind).
void RemoveRingAndFiles() {
  std::error_code ec;
  std::filesystem::remove_all(std::filesystem::temp_directory_path() / g_namespace, ec);
  for (const char* object : {kCmdRingMappingName, kCmdRingEventName}) {
    std::filesystem::remove("/dev/shm/" + g_namespace + "-" + object, ec);
    std::filesystem::remove("/dev/shm/sem." + g_namespace + "-" + object, ec);
  }
}

struct Worker {
  Worker() {
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    g_namespace = "tavrik-fuzz-" + std::to_string(::getpid());
    ::setenv("TAVRIK_IPC_NAMESPACE", g_namespace.c_str(), 1);
    std::atexit(RemoveRingAndFiles);
    consumer = CmdRingConsumer::Open();
    if (!consumer.HasView()) Fail("command ring could not be created");
    // Relative paths in the input can find real templates here ("ok.png", "t.bmp").
    exeDirectory = std::filesystem::temp_directory_path() / g_namespace;
    std::filesystem::create_directories(exeDirectory);
    cv::Mat image(12, 16, CV_8UC3, cv::Scalar(40, 90, 200));
    image(cv::Rect(4, 3, 8, 6)).setTo(cv::Scalar(250, 250, 250));
    cv::imwrite((exeDirectory / "ok.png").string(), image);
    cv::imwrite((exeDirectory / "t.bmp").string(), image(cv::Rect(0, 0, 5, 3)));
  }

  CmdRingConsumer consumer;
  std::filesystem::path exeDirectory;
  TemplateRegistry registry;
  LogSink log{[](std::string_view line) {
    Check(IsLineSafe(line), "every composed line is line-safe", line);
  }};
};

}  // namespace
}  // namespace tavrik::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavrik;
  static fuzz::Worker worker;
  const SpecContext specs{
      worker.registry, worker.log, worker.exeDirectory,
      [](std::u16string_view, WindowOrigin&, std::int32_t*) { return WindowLookup::kNotFound; }};
  const CommandTable table{
      .addSpec = [&](const SpecCommand& command) { AddSpecHandler(specs, command); },
      .removeSpec = [&](const std::u16string& name) { RemoveSpecHandler(specs, name); },
      .clearSpecs = [&] { ClearSpecsHandler(specs); },
      .heartbeat = [] {},
      .version = [] {},
  };

  // The first four bytes place the indexes (free-running, so wrapping at 2^32 is reached); the
  // rest fills whole slots.
  if (size < 4) return 0;
  std::uint32_t base = 0;
  std::memcpy(&base, data, 4);
  data += 4;
  size -= 4;
  const std::size_t count = std::min<std::size_t>(size / sizeof(CommandSlot), kRingSlotCount);
  CmdRingLayout* ring = worker.consumer.Ring();
  for (std::size_t i = 0; i < count; ++i) {
    std::memcpy(&ring->slots[(base + i) & kRingSlotMask], data + i * sizeof(CommandSlot),
                sizeof(CommandSlot));
  }
  StoreIndex(ring->header.readIndex, base);
  StoreIndex(ring->header.writeIndex, base + static_cast<std::uint32_t>(count));
  DrainCommandRing(worker.consumer, table, worker.log);
  fuzz::Check(LoadIndex(ring->header.readIndex) == base + static_cast<std::uint32_t>(count),
              "the ring is drained");
  for (const TemplatePtr& info : worker.registry.SnapshotTemplates()) {
    fuzz::Check(info && !info->image.empty() && info->image.type() == CV_8UC3,
                "only prepared templates are registered");
    fuzz::Check(info->rawRoi.width >= 1 && info->rawRoi.height >= 1, "ROI sizes are at least 1");
  }
  worker.registry.Clear();  // every input starts from an empty registry
  return 0;
}
