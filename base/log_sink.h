// LogSink: where every diagnostic line of the worker goes.
//
// By default a sink discards what it is given; the worker composes its lines all the same so that
// a sink with a target (a test's capture, or TAVRIK_LOG for someone debugging a deployment) sees
// exactly what would have been written. TAVRIK_LOG=stderr writes to the standard error file
// descriptor; any other value is a file path opened for appending. Those writes bypass the C++
// streams, whose fail bit the worker sets at start-up.
//
// Threads: Emit may be called from any thread; lines are never interleaved.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

namespace tavrik {

class LogSink {
 public:
  using Target = std::function<void(std::string_view line)>;

  LogSink() = default;  // discards
  explicit LogSink(Target target);

  // The sink selected by TAVRIK_LOG; a discarding sink when it is unset, empty or unusable.
  static LogSink FromEnvironment();

  void Emit(std::string_view line) const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tavrik
