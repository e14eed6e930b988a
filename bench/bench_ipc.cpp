// IPC costs: publishing a hit, an event round trip, publishing a command as tavrik-ctl does, and
// how long a command waits before its handler runs (event wake-up versus 50 ms polling).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stop_token>
#include <string>
#include <thread>

#include "ipc/command_ring.h"
#include "ipc/hit_ring.h"
#include "ipc/ring_layout.h"
#include "ipc/shared_memory.h"

namespace tavrik {
namespace {

// A private namespace for the whole run, removed again at exit (Linux keeps objects in /dev/shm).
class BenchNamespace {
 public:
  BenchNamespace() {
    name_ = "tavrik-bench-" + std::to_string(std::random_device{}());
    ::setenv("TAVRIK_IPC_NAMESPACE", name_.c_str(), 1);
  }
  ~BenchNamespace() {
    for (const char* object : {kCmdRingMappingName, kHitRingMappingName}) {
      std::error_code ec;
      std::filesystem::remove("/dev/shm/" + name_ + "-" + object, ec);
    }
    for (const char* object : {kCmdRingEventName, kHitRingEventName, "BenchPong"}) {
      std::error_code ec;
      std::filesystem::remove("/dev/shm/sem." + name_ + "-" + object, ec);
    }
  }

 private:
  std::string name_;
};
const BenchNamespace g_namespace;

// One detection result into a ring that a reader keeps empty.
void BM_HitRingPublish(benchmark::State& state) {
  const auto writer = HitRingWriter::Create();
  SharedMapping view = SharedMapping::Open(kHitRingMappingName, kHitRingBytes);
  auto& header = static_cast<HitRingLayout*>(view.View())->header;
  HitMessage message;
  message.score = 0.93f;
  message.isHit = true;
  for (auto _ : state) {
    writer->Publish("t1:chest", message);
    StoreIndex(header.readIndex, LoadIndex(header.writeIndex));
  }
}
BENCHMARK(BM_HitRingPublish);

// The cost of a message dropped by a full ring (nobody reads).
void BM_HitRingPublishFull(benchmark::State& state) {
  const auto writer = HitRingWriter::Create();
  SharedMapping view = SharedMapping::Open(kHitRingMappingName, kHitRingBytes);
  auto& header = static_cast<HitRingLayout*>(view.View())->header;
  StoreIndex(header.readIndex, LoadIndex(header.writeIndex) - kRingSlotCount);
  for (auto _ : state) writer->Publish("t1:chest", HitMessage{});
}
BENCHMARK(BM_HitRingPublishFull);

// Signal then Wait on one thread: the system-call cost without a wake-up.
void BM_EventSignalWait(benchmark::State& state) {
  const NamedEvent event = NamedEvent::Open(kHitRingEventName);
  for (auto _ : state) {
    event.Signal();
    benchmark::DoNotOptimize(event.Wait(std::chrono::milliseconds(0)));
  }
}
BENCHMARK(BM_EventSignalWait);

// A full round trip between two threads: ping wakes the partner, which answers on pong.
void BM_EventPingPong(benchmark::State& state) {
  const NamedEvent ping = NamedEvent::Open(kCmdRingEventName);
  const NamedEvent pong = NamedEvent::Open("BenchPong");
  std::jthread partner([&](std::stop_token stop) {
    while (!stop.stop_requested()) {
      if (ping.Wait(std::chrono::milliseconds(20))) pong.Signal();
    }
  });
  for (auto _ : state) {
    ping.Signal();
    while (!pong.Wait(std::chrono::milliseconds(1000))) {
    }
  }
}
BENCHMARK(BM_EventPingPong)->UseRealTime();

// What tavrik-ctl does per command: lock, wait for room, copy the slot, store, signal.
void BM_CtlPublishCommand(benchmark::State& state) {
  const SharedMapping ring = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes);
  const NamedEvent event = NamedEvent::Open(kCmdRingEventName);
  auto& header = static_cast<CmdRingLayout*>(ring.View())->header;
  CommandSlot slot{};
  slot.commandType = kHeartbeat;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::hours(1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(PublishCommand(ring, event, slot, deadline));
    StoreIndex(header.readIndex, LoadIndex(header.writeIndex));
  }
}
BENCHMARK(BM_CtlPublishCommand);

// From publishing a command to its handler running on the CommandThread. With the event the
// thread wakes at once; without it, it finds the command on its next 50 ms poll.
void BM_CommandToHandler(benchmark::State& state) {
  const bool useEvent = state.range(0) != 0;
  CmdRingConsumer consumer = CmdRingConsumer::Open();
  // The producer keeps its own handles; the consumer may drop its event to force polling.
  const SharedMapping ring = SharedMapping::Open(kCmdRingMappingName, kCmdRingBytes);
  const NamedEvent event = NamedEvent::Open(kCmdRingEventName);
  if (!useEvent) consumer.event.Reset();
  std::atomic<std::uint64_t> handled{0};
  CommandTable table;
  table.heartbeat = [&handled] { handled.fetch_add(1, std::memory_order_release); };
  std::jthread thread(
      [&](std::stop_token stop) { RunCommandThread(consumer, table, LogSink(), stop); });
  // Let the thread settle into its idle wait.
  std::this_thread::sleep_for(std::chrono::milliseconds(60));

  CommandSlot slot{};
  slot.commandType = kHeartbeat;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::hours(1);
  std::uint64_t expected = handled.load();
  for (auto _ : state) {
    PublishCommand(ring, event, slot, deadline);
    ++expected;
    while (handled.load(std::memory_order_acquire) < expected) {
      std::this_thread::yield();
    }
    state.PauseTiming();
    // Start every round from the idle wait, as a user's command would. Without the event the
    // latency depends on where in its 50 ms sleep the thread is; stepping the pause through that
    // period samples the phases evenly.
    std::this_thread::sleep_for(std::chrono::milliseconds(useEvent ? 2 : 1 + (expected * 17) % 50));
    state.ResumeTiming();
  }
  thread.request_stop();
}
BENCHMARK(BM_CommandToHandler)
    ->ArgName("event")
    ->Arg(1)
    ->Arg(0)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(60);

}  // namespace
}  // namespace tavrik

BENCHMARK_MAIN();
