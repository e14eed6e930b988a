// The POSIX loader refuses what is not a regular file, and never waits on it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <iterator>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <vector>

#include "commands/template_loader.h"
#include "tests/commands/template_files.h"

namespace tavrik {
namespace {

namespace fs = std::filesystem;
using test::ScratchDir;

// Loads on another thread so that a reader that blocks fails the test instead of hanging it.
// `unblock` is run when the load has not finished in time.
template <typename Unblock>
cv::Mat LoadWithWatchdog(const fs::path& path, Unblock unblock) {
  auto pending = std::async(std::launch::async, [path] { return LoadTemplateImage(path); });
  if (pending.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "loading " << path << " blocked";
    unblock();
  }
  return pending.get();
}

TEST(TemplateLoader, FifoWithoutWriterIsRefusedWithoutBlocking) {
  ScratchDir dir;
  const fs::path fifo = dir.Path() / "pipe.png";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0) << std::strerror(errno);
  const cv::Mat image = LoadWithWatchdog(fifo, [&] {
    const int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (w >= 0) ::close(w);
  });
  EXPECT_TRUE(image.empty());
}

TEST(TemplateLoader, DevicesAreRefusedWithoutReading) {
  std::vector<unsigned char> bytes;
  EXPECT_FALSE(ReadTemplateFile("/dev/zero", bytes));
  EXPECT_TRUE(bytes.empty());
  EXPECT_FALSE(ReadTemplateFile("/dev/null", bytes));
  EXPECT_TRUE(LoadWithWatchdog("/dev/zero", [] {}).empty());
}

TEST(TemplateLoader, UnixSocketIsRefused) {
  ScratchDir dir;
  const fs::path socketPath = dir.Path() / "s.png";
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.native().size(), sizeof(addr.sun_path));
  std::strcpy(addr.sun_path, socketPath.c_str());
  const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  ASSERT_EQ(::bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)), 0);
  EXPECT_TRUE(LoadWithWatchdog(socketPath, [] {}).empty());
  ::close(s);
}

TEST(TemplateLoader, RefusedFormatsCostNoDescriptorAndNoTemporaryFile) {
  // A cut Radiance HDR file: OpenCV would write it to a temporary file and keep that open.
  std::vector<unsigned char> hdr;
  const cv::Mat floats(8, 8, CV_32FC3, cv::Scalar(0.5, 0.25, 1.0));
  ASSERT_TRUE(cv::imencode(".hdr", floats, hdr));
  hdr.resize(hdr.size() / 2);
  const auto descriptors = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
  };
  const auto before = descriptors();
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(DecodeTemplateImage(hdr).empty());
  EXPECT_EQ(descriptors(), before);
}

}  // namespace
}  // namespace tavrik
