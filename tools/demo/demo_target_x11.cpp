// tavrik-demo: the window the demo watches. It paints a small scene with two distinctive
// marks and, every --toggle-ms, swaps the "OK" badge for a different one, so a watcher sees hits
// turn into misses and back.
//
//   tavrik-demo [--x N] [--y N] [--toggle-ms N] [--scale F] [--write-templates DIR]
//
// --write-templates writes badge.png and ring.png, cut from the scene exactly as painted, and the
// whole scene as scene.png, and exits. --scale draws the window as a toolkit would on a display
// of F x 96 DPI: the scene resized by F (bicubic), the window F times as large. Otherwise it prints
// "ready" once the window is painted and runs until killed. SIGUSR1 swaps the badge at once (tests
// use it to change the content at a known moment).
#include <unistd.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <thread>

namespace {

std::atomic<bool> g_toggleRequested{false};
extern "C" void OnToggleSignal(int) { g_toggleRequested = true; }

constexpr int kWidth = 480;
constexpr int kHeight = 320;
const cv::Rect kBadge(300, 200, 72, 48);
const cv::Rect kRing(60, 50, 64, 64);

cv::Mat Scene(bool badgeShown) {
  cv::Mat scene(kHeight, kWidth, CV_8UC3, cv::Scalar(48, 40, 36));
  for (int x = 0; x < kWidth; x += 40) cv::line(scene, {x, 0}, {x, kHeight}, {70, 60, 56}, 1);
  for (int y = 0; y < kHeight; y += 40) cv::line(scene, {0, y}, {kWidth, y}, {70, 60, 56}, 1);
  cv::circle(scene, {kRing.x + 32, kRing.y + 32}, 26, {230, 160, 40}, 8, cv::LINE_8);
  cv::circle(scene, {kRing.x + 32, kRing.y + 32}, 8, {40, 200, 250}, cv::FILLED, cv::LINE_8);
  if (badgeShown) {
    cv::rectangle(scene, kBadge, {40, 40, 210}, cv::FILLED);
    cv::putText(scene, "OK", {kBadge.x + 12, kBadge.y + 36}, cv::FONT_HERSHEY_SIMPLEX, 1.1,
                {255, 255, 255}, 3, cv::LINE_8);
  } else {
    cv::rectangle(scene, kBadge, {60, 170, 60}, cv::FILLED);
    cv::putText(scene, "..", {kBadge.x + 18, kBadge.y + 34}, cv::FONT_HERSHEY_SIMPLEX, 1.1,
                {20, 20, 20}, 3, cv::LINE_8);
  }
  return scene;
}

void Paint(xcb_connection_t* c, xcb_window_t window, xcb_gcontext_t gc, const cv::Mat& scene) {
  cv::Mat bgrx;
  cv::cvtColor(scene, bgrx, cv::COLOR_BGR2BGRA);
  constexpr int kBand = 64;  // rows per request, well inside the core request size
  for (int y = 0; y < bgrx.rows; y += kBand) {
    const int rows = std::min(kBand, bgrx.rows - y);
    xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, window, gc, static_cast<uint16_t>(bgrx.cols),
                  static_cast<uint16_t>(rows), 0, static_cast<int16_t>(y), 0, 24,
                  static_cast<uint32_t>(rows * bgrx.cols * 4), bgrx.ptr(y));
  }
  // A round trip, so that "painted" means the server has the pixels, not just the request.
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

}  // namespace

int main(int argc, char** argv) {
  int x = 120, y = 90, toggleMs = 3000;
  double scale = 1.0;
  std::string templatesDir;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--x" && hasValue)
      x = std::atoi(argv[++i]);
    else if (arg == "--y" && hasValue)
      y = std::atoi(argv[++i]);
    else if (arg == "--toggle-ms" && hasValue)
      toggleMs = std::atoi(argv[++i]);
    else if (arg == "--scale" && hasValue)
      scale = std::atof(argv[++i]);
    else if (arg == "--write-templates" && hasValue)
      templatesDir = argv[++i];
    else {
      std::fprintf(
          stderr, "usage: %s [--x N] [--y N] [--toggle-ms N] [--scale F] [--write-templates DIR]\n",
          argv[0]);
      return 2;
    }
  }
  if (!(scale >= 0.5 && scale <= 4.0)) {
    std::fprintf(stderr, "--scale must lie between 0.5 and 4\n");
    return 2;
  }
  const auto drawn = [scale](bool badgeShown) {
    cv::Mat scene = Scene(badgeShown);
    if (scale != 1.0) cv::resize(scene, scene, cv::Size(), scale, scale, cv::INTER_CUBIC);
    return scene;
  };
  const int width = static_cast<int>(kWidth * scale + 0.5);
  const int height = static_cast<int>(kHeight * scale + 0.5);
  if (!templatesDir.empty()) {
    const cv::Mat scene = Scene(true);
    const bool ok = cv::imwrite(templatesDir + "/badge.png", scene(kBadge)) &&
                    cv::imwrite(templatesDir + "/ring.png", scene(kRing)) &&
                    cv::imwrite(templatesDir + "/scene.png", scene);
    return ok ? 0 : 1;
  }

  std::signal(SIGUSR1, OnToggleSignal);
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) {
    std::fprintf(stderr, "cannot connect to the X server\n");
    return 1;
  }
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  if (screen->root_depth != 24) {
    std::fprintf(stderr, "needs a 24-bit TrueColor screen\n");
    return 1;
  }
  const xcb_window_t window = xcb_generate_id(c);
  const uint32_t values[] = {screen->black_pixel, XCB_EVENT_MASK_EXPOSURE};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, static_cast<int16_t>(x),
                    static_cast<int16_t>(y), static_cast<uint16_t>(width),
                    static_cast<uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
  const char title[] = "Tavrik demo target";
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                      sizeof title - 1, title);
  xcb_intern_atom_reply_t* pidAtom = xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, std::strlen("_NET_WM_PID"), "_NET_WM_PID"), nullptr);
  if (pidAtom != nullptr) {
    const uint32_t pid = static_cast<uint32_t>(getpid());
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, pidAtom->atom, XCB_ATOM_CARDINAL, 32, 1,
                        &pid);
    std::free(pidAtom);
  }
  const xcb_gcontext_t gc = xcb_generate_id(c);
  xcb_create_gc(c, gc, window, 0, nullptr);
  xcb_map_window(c, window);
  xcb_flush(c);

  bool shown = true;
  cv::Mat scene = drawn(shown);
  Paint(c, window, gc, scene);
  std::printf("ready\n");
  std::fflush(stdout);
  auto nextToggle = std::chrono::steady_clock::now() + std::chrono::milliseconds(toggleMs);
  for (;;) {
    while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
      if ((event->response_type & 0x7f) == XCB_EXPOSE) Paint(c, window, gc, scene);
      std::free(event);
    }
    if (xcb_connection_has_error(c)) return 0;
    const bool timed = toggleMs > 0 && std::chrono::steady_clock::now() >= nextToggle;
    if (timed || g_toggleRequested.exchange(false)) {
      shown = !shown;
      scene = drawn(shown);
      Paint(c, window, gc, scene);
      std::printf("%s\n", shown ? "shown" : "swapped");
      std::fflush(stdout);
      if (timed) nextToggle += std::chrono::milliseconds(toggleMs);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}
