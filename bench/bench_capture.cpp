// Capture cost on X11: CaptureScreenRegion through MIT-SHM and through plain GetImage for 64²,
// 256² and 1024² regions, and a bare xcb_shm_get_image of 256² (reply only, no conversion) as the
// floor the MIT-SHM path is held against. Starts a private Xvfb when DISPLAY is unset.
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <optional>

#include "capture/x11_capture.h"
#include "capture/x11_connection.h"
#include "tests/support/xvfb_fixture.h"

namespace {

using tavrik::x11::CaptureMethod;

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
void BM_BareShmGetImage(benchmark::State& state) {
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
  xcb_generic_error_t* error =
      xcb_request_check(c, xcb_shm_attach_checked(c, segment, static_cast<std::uint32_t>(shmId), 0));
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
    }
    state.SetBytesProcessed(state.iterations() * side * side * 3);
  }
  shmdt(address);
  xcb_disconnect(c);
}
BENCHMARK(BM_BareShmGetImage)->Arg(256);

}  // namespace

int main(int argc, char** argv) {
  tavrik::test::XvfbServer server;
  std::optional<tavrik::test::ScopedEnv> display;
  if (std::getenv("DISPLAY") == nullptr) {
    if (!server.Start()) return 1;
    display.emplace("DISPLAY", server.DisplayName());
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  tavrik::x11::CloseThreadSession();
  return 0;
}
