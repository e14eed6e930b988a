// TAVRIK_LOG on POSIX: files, the standard error, and FIFOs with and without a reader.
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
#include "tests/support/test_support.h"

namespace tavrik {
namespace {

using namespace std::chrono_literals;

class LogOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("tavrik-log-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    ::unsetenv("TAVRIK_LOG");
    std::filesystem::remove_all(dir_);
  }
  // The sink for TAVRIK_LOG=`value`, made on a thread of its own: making it must never wait.
  LogSink SinkFor(const std::string& value) {
    ::setenv("TAVRIK_LOG", value.c_str(), 1);
    auto made = std::async(std::launch::async, [] { return LogSink::FromEnvironment(); });
    EXPECT_EQ(made.wait_for(10s), std::future_status::ready) << "opening " << value << " waited";
    return made.get();
  }
  std::filesystem::path dir_;
};

// Reads what has arrived on a non-blocking FIFO reader until `until` shows up (or 10 s pass).
std::string ReadUntil(int fd, const std::string& until) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (got.find(until) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

TEST_F(LogOutputTest, AFileIsCreatedAndAppendedTo) {
  const std::string file = (dir_ / "worker.log").string();
  {
    const LogSink log = SinkFor(file);
    EXPECT_FALSE(log.Discards());
    EXPECT_FALSE(log.WritesToStandardError());
    log.Emit("one");
  }
  {
    const LogSink log = SinkFor(file);
    log.Emit("two");
  }
  EXPECT_EQ(test::ReadFile(file), "one\ntwo\n");
  EXPECT_TRUE(SinkFor((dir_ / "missing" / "worker.log").string()).Discards());
  EXPECT_TRUE(SinkFor("stderr").WritesToStandardError());
}

TEST_F(LogOutputTest, AFifoWithoutAReaderNeitherBlocksNorLosesTheLinesThatFollowOne) {
  const std::string fifo = (dir_ / "log.fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const LogSink log = SinkFor(fifo);
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

  // The reader leaves: the write fails instead of killing the process, and the next reader
  // hears of the loss.
  ::close(reader);
  log.Emit("into the void");
  ASSERT_TRUE(log.Flush(10s));
  const int again = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(again, 0);
  log.Emit("back");
  EXPECT_EQ(ReadUntil(again, "back\n"),
            "[Log] 1 line lost while the log target was not taking any\nback\n");
  ::close(again);
}

}  // namespace
}  // namespace tavrik
