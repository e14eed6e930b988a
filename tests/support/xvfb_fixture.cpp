#include "tests/support/xvfb_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace tavrik::test {

SpawnedProcess::~SpawnedProcess() { Stop(); }

SpawnedProcess::SpawnedProcess(SpawnedProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      status_(other.status_),
      stdoutFd_(std::exchange(other.stdoutFd_, -1)),
      buffered_(std::move(other.buffered_)) {}

SpawnedProcess& SpawnedProcess::operator=(SpawnedProcess&& other) noexcept {
  if (this != &other) {
    Stop();
    pid_ = std::exchange(other.pid_, -1);
    status_ = other.status_;
    stdoutFd_ = std::exchange(other.stdoutFd_, -1);
    buffered_ = std::move(other.buffered_);
  }
  return *this;
}

SpawnedProcess SpawnedProcess::Spawn(const std::vector<std::string>& argv, bool pipeStdout,
                                     bool quiet, int stderrFd) {
  SpawnedProcess child;
  if (argv.empty()) return child;
  int pipeFds[2] = {-1, -1};
  if (pipeStdout && pipe2(pipeFds, O_CLOEXEC) != 0) return child;
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    if (pipeStdout) dup2(pipeFds[1], STDOUT_FILENO);
    if (stderrFd >= 0) {
      dup2(stderrFd, STDERR_FILENO);
    } else if (quiet) {
      const int devNull = open("/dev/null", O_WRONLY);
      if (devNull >= 0) dup2(devNull, STDERR_FILENO);
    }
    execvp(args[0], args.data());
    _exit(127);
  }
  if (pipeStdout) close(pipeFds[1]);
  if (pid < 0) {
    if (pipeStdout) close(pipeFds[0]);
    return child;
  }
  child.pid_ = pid;
  child.stdoutFd_ = pipeStdout ? pipeFds[0] : -1;
  return child;
}

std::optional<std::string> SpawnedProcess::ReadLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const std::size_t newline = buffered_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffered_.substr(0, newline);
      buffered_.erase(0, newline + 1);
      return line;
    }
    if (stdoutFd_ < 0) return std::nullopt;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd fd{stdoutFd_, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[256];
    const ssize_t got = read(stdoutFd_, chunk, sizeof chunk);
    if (got <= 0) return std::nullopt;
    buffered_.append(chunk, static_cast<std::size_t>(got));
  }
}

bool SpawnedProcess::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  const pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == 0) return true;
  if (r == pid_) status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  pid_ = -1;
  return false;
}

int SpawnedProcess::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Running()) {
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    usleep(2000);
  }
  return status_;
}

void SpawnedProcess::Stop(int signal) {
  if (pid_ > 0) {
    kill(pid_, signal);
    // A child that does not end within 10 s (one hung in a sanitizer's report, say) is killed, so
    // that it fails its test instead of hanging the suite.
    if (Wait(std::chrono::seconds(10)) < 0 && pid_ > 0) {
      kill(pid_, SIGKILL);
      int status = 0;
      while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    }
    pid_ = -1;
  }
  if (stdoutFd_ >= 0) {
    close(stdoutFd_);
    stdoutFd_ = -1;
  }
  buffered_.clear();
}

bool XvfbServer::Start(std::optional<int> display) {
  Stop();
  // -displayfd reports the display once the server accepts clients, and picks a free one when
  // none is named.
  std::vector<std::string> argv = {"Xvfb"};
  if (display) argv.push_back(":" + std::to_string(*display));
  for (const std::string& arg :
       {std::string("-displayfd"), std::string("1"), std::string("-screen"), std::string("0"),
        screen_, std::string("-nolisten"), std::string("tcp"), std::string("-noreset")}) {
    argv.push_back(arg);
  }
  process_ = SpawnedProcess::Spawn(argv, /*pipeStdout=*/true, /*quiet=*/true);
  if (!process_.Running()) return false;
  const std::optional<std::string> line = process_.ReadLine(std::chrono::seconds(20));
  if (!line || line->empty()) {
    process_.Stop(SIGKILL);
    return false;
  }
  display_ = std::atoi(line->c_str());
  return true;
}

bool XvfbServer::StartOutOfTheWay() {
  // Spread by process so that two such tests running at once rarely try the same numbers.
  const int first = 600 + static_cast<int>(getpid() % 300);
  for (int display = first; display < first + 50; ++display) {
    if (Start(display)) return true;
  }
  return false;
}

void XvfbServer::Stop() { process_.Stop(SIGTERM); }

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) previous_ = old;
  if (value) {
    setenv(name_.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (previous_) {
    setenv(name_.c_str(), previous_->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

}  // namespace tavrik::test
