// Win32 backend of stop_request.h: a windowless process receives no stop signal; nothing to do.
#include "worker/stop_request.h"

namespace tavrik {

StopRequests::StopRequests() = default;

StopRequests::~StopRequests() = default;

void StopRequests::Watch(std::stop_source, const LogSink&) {}

}  // namespace tavrik
