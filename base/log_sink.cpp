#include "base/log_sink.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace tavrik {

struct LogSink::State {
  std::mutex mutex;
  Target target;
  std::FILE* file = nullptr;  // owned unless it is stderr
  bool ownsFile = false;
  ~State() {
    if (ownsFile && file != nullptr) std::fclose(file);
  }
};

LogSink::LogSink(Target target) : state_(std::make_shared<State>()) {
  state_->target = std::move(target);
}

LogSink LogSink::FromEnvironment() {
  const char* value = std::getenv("TAVRIK_LOG");
  if (value == nullptr || *value == '\0') return LogSink();
  LogSink sink;
  sink.state_ = std::make_shared<State>();
  if (std::string(value) == "stderr") {
    // C stdio is independent of the iostream fail bit set at start-up.
    sink.state_->file = stderr;
  } else {
    sink.state_->file = std::fopen(value, "a");
    sink.state_->ownsFile = sink.state_->file != nullptr;
    if (sink.state_->file == nullptr) return LogSink();
  }
  return sink;
}

void LogSink::Emit(std::string_view line) const {
  if (!state_) return;
  std::lock_guard lock(state_->mutex);
  if (state_->target) state_->target(line);
  if (state_->file != nullptr) {
    std::fwrite(line.data(), 1, line.size(), state_->file);
    std::fputc('\n', state_->file);
    std::fflush(state_->file);
  }
}

}  // namespace tavrik
