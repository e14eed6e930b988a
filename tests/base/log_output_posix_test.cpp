// TAVRIK_LOG naming a FIFO: opening never waits for a reader, and a reader that comes late, or
// leaves, costs lines (counted) but never the process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>

#include "base/log_sink.h"

namespace tavrik {
namespace {

using namespace std::chrono_literals;

// What a non-blocking FIFO reader receives until `until` shows up (or 10 s pass).
std::string ReadUntil(int fd, const std::string& until) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (got.find(until) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    char buffer[4096];
    if (::poll(&p, 1, 50) <= 0) continue;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

TEST(LogOutputTest, AFifoWithoutAReaderNeitherBlocksNorLosesTheLinesThatFollowOne) {
  const std::string fifo = (std::filesystem::temp_directory_path() /
                            ("tavrik-log-" + std::to_string(::getpid()) + ".fifo"))
                               .string();
  ::unlink(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ::setenv("TAVRIK_LOG", fifo.c_str(), 1);
  auto made = std::async(std::launch::async, [] { return LogSink::FromEnvironment(); });
  ASSERT_EQ(made.wait_for(10s), std::future_status::ready) << "opening the FIFO waited";
  ::unsetenv("TAVRIK_LOG");
  const LogSink log = made.get();
  ASSERT_FALSE(log.Discards());
  log.Emit("nobody hears this");
  log.Emit("nor this");
  ASSERT_TRUE(log.Flush(10s));

  // A reader comes: the next lines reach it, after the count of those it missed.
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  log.Emit("hello");
  EXPECT_EQ(ReadUntil(reader, "hello\n"),
            "[Log] 2 lines lost while the log target was not taking any\nhello\n");

  // The reader leaves: the write fails instead of raising SIGPIPE, and the next reader hears of
  // the loss.
  ::close(reader);
  log.Emit("into the void");
  ASSERT_TRUE(log.Flush(10s));
  const int again = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(again, 0);
  log.Emit("back");
  EXPECT_EQ(ReadUntil(again, "back\n"),
            "[Log] 1 line lost while the log target was not taking any\nback\n");
  ::close(again);
  ::unlink(fifo.c_str());
}

}  // namespace
}  // namespace tavrik
