// Capture cost on X11: CaptureScreenRegion through MIT-SHM and through plain GetImage for 64²,
// 256² and 1024² regions, and a bare xcb_shm_get_image of 256² (reply only, no conversion) as the
// floor the MIT-SHM path is held against. Starts a private Xvfb when DISPLAY is unset.
#include <benchmark/benchmark.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <opencv2/imgproc.hpp>

#include "capture/x11_capture.h"
#include "bench/display_bench_main.h"

namespace {

using tavrik::x11::CaptureMethod;
using tavrik::x11::CaptureScreenRegionUsing;

void CaptureWith(benchmark::State& state, CaptureMethod method) {
  const int side = static_cast<int>(state.range(0));
  if (tavrik::x11::CaptureScreenRegionUsing(method, 0, 0, side, side).empty()) {
    state.SkipWithError("capture failed");
    return;
  }
  for (auto _ : state) {
    cv::Mat image = tavrik::x11::CaptureScreenRegionUsing(method, 0, 0, side, side);
    benchmark::DoNotOptimize(image.data);
  }
  state.SetBytesProcessed(state.iterations() * side * side * 3);
}

void BM_CaptureShm(benchmark::State& state) { CaptureWith(state, CaptureMethod::kShm); }
void BM_CaptureGetImage(benchmark::State& state) { CaptureWith(state, CaptureMethod::kGetImage); }
BENCHMARK(BM_CaptureShm)->Arg(64)->Arg(256)->Arg(1024);
BENCHMARK(BM_CaptureGetImage)->Arg(64)->Arg(256)->Arg(1024);

// The bare request: a connection of its own, one attached segment, ShmGetImage and its reply.
// Kept apart from the benchmark loop so that the paired benchmark below can interleave it.
struct BareShmClient {
  xcb_connection_t* c = nullptr;
  xcb_window_t root = 0;
  void* address = nullptr;
  xcb_shm_seg_t segment = 0;
  bool ok = false;

  explicit BareShmClient(std::size_t bytes) {
    int screenNumber = 0;
    c = xcb_connect(nullptr, &screenNumber);
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber; ++i) xcb_screen_next(&screens);
    root = screens.data->root;
    const int shmId = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    address = shmat(shmId, nullptr, 0);
    segment = xcb_generate_id(c);
    xcb_generic_error_t* error = xcb_request_check(
        c, xcb_shm_attach_checked(c, segment, static_cast<std::uint32_t>(shmId), 0));
    shmctl(shmId, IPC_RMID, nullptr);
    ok = error == nullptr && !xcb_connection_has_error(c);
    std::free(error);
  }
  ~BareShmClient() {
    shmdt(address);
    xcb_disconnect(c);
  }
  void Get(int side) {
    std::free(xcb_shm_get_image_reply(
        c,
        xcb_shm_get_image(c, root, 0, 0, static_cast<std::uint16_t>(side),
                          static_cast<std::uint16_t>(side), ~std::uint32_t{0},
                          XCB_IMAGE_FORMAT_Z_PIXMAP, segment, 0),
        nullptr));
  }
};

// One bare request and one full capture per iteration, timed separately, so that load from
// elsewhere on the machine hits both alike; reports their mean times and the ratio.
void BM_ShmCaptureOverBare(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  BareShmClient bare(static_cast<std::size_t>(side) * side * 4);
  if (!bare.ok || CaptureScreenRegionUsing(CaptureMethod::kShm, 0, 0, side, side).empty()) {
    state.SkipWithError("MIT-SHM unavailable");
    return;
  }
  double bareNs = 0;
  double captureNs = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    bare.Get(side);
    const auto t1 = std::chrono::steady_clock::now();
    cv::Mat image = CaptureScreenRegionUsing(CaptureMethod::kShm, 0, 0, side, side);
    const auto t2 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(image.data);
    bareNs += std::chrono::duration<double, std::nano>(t1 - t0).count();
    captureNs += std::chrono::duration<double, std::nano>(t2 - t1).count();
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["bare_us"] = bareNs / n / 1000;
  state.counters["capture_us"] = captureNs / n / 1000;
  state.counters["ratio"] = captureNs / bareNs;
}
BENCHMARK(BM_ShmCaptureOverBare)->Arg(256);

void BareShm(benchmark::State& state, bool convert) {
  const int side = static_cast<int>(state.range(0));
  int screenNumber = 0;
  xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screenNumber; ++i) xcb_screen_next(&screens);
  const xcb_window_t root = screens.data->root;
  const std::size_t bytes = static_cast<std::size_t>(side) * side * 4;
  const int shmId = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  void* address = shmat(shmId, nullptr, 0);
  const xcb_shm_seg_t segment = xcb_generate_id(c);
  xcb_generic_error_t* error = xcb_request_check(
      c, xcb_shm_attach_checked(c, segment, static_cast<std::uint32_t>(shmId), 0));
  shmctl(shmId, IPC_RMID, nullptr);
  if (error != nullptr || xcb_connection_has_error(c)) {
    std::free(error);
    state.SkipWithError("MIT-SHM unavailable");
  } else {
    for (auto _ : state) {
      xcb_shm_get_image_reply_t* reply = xcb_shm_get_image_reply(
          c,
          xcb_shm_get_image(c, root, 0, 0, static_cast<std::uint16_t>(side),
                            static_cast<std::uint16_t>(side), ~std::uint32_t{0},
                            XCB_IMAGE_FORMAT_Z_PIXMAP, segment, 0),
          nullptr);
      benchmark::DoNotOptimize(reply);
      std::free(reply);
      if (convert) {
        cv::Mat out(side, side, CV_8UC3);
        cv::cvtColor(cv::Mat(side, side, CV_8UC4, address), out, cv::COLOR_BGRA2BGR);
        benchmark::DoNotOptimize(out.data);
      }
    }
    state.SetBytesProcessed(state.iterations() * side * side * 3);
  }
  shmdt(address);
  xcb_disconnect(c);
}
void BM_BareShmGetImage(benchmark::State& state) { BareShm(state, false); }
void BM_BareShmGetImageConvert(benchmark::State& state) { BareShm(state, true); }
BENCHMARK(BM_BareShmGetImage)->Arg(256);
BENCHMARK(BM_BareShmGetImageConvert)->Arg(256);

}  // namespace

int main(int argc, char** argv) {
  return tavrik::bench::RunBenchmarksOnADisplay(argc, argv);
}
