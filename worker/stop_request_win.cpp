// Win32 backend of stop_request.h: a windowless process receives no stop signal, and a starter
// that wants its worker to end with it puts it in a job object; nothing to do.
#include "worker/stop_request.h"

namespace tavrik {

void ParentHandleTraits::Close(int) noexcept {}

StopRequests::StopRequests() = default;

StopRequests::~StopRequests() = default;

void StopRequests::Watch(std::stop_source, const LogSink&) {}

bool StopRequests::WatchParentFromEnvironment(std::string&) { return true; }

}  // namespace tavrik
