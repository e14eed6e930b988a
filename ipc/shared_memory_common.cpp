// Backend-independent parts of the shared-memory and event wrappers: moves and object naming.
#include <utility>

#include "ipc/shared_memory.h"

namespace tavrik {
namespace {

// glibc keeps both kinds of object as files in /dev/shm; a semaphore's file name gets a "sem."
// prefix, so the longest name that works for both is NAME_MAX (255) minus those four characters.
constexpr std::size_t kMaxPosixNameChars = 255 - 4;

bool IsValidNamePart(std::string_view part) {
  return part.find('/') == std::string_view::npos && part.find('\0') == std::string_view::npos;
}

}  // namespace

SharedMapping::SharedMapping(SharedMapping&& other) noexcept
    : handle_(std::exchange(other.handle_, kNoHandle)),
      view_(std::exchange(other.view_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

SharedMapping& SharedMapping::operator=(SharedMapping&& other) noexcept {
  if (this != &other) {
    Reset();
    handle_ = std::exchange(other.handle_, kNoHandle);
    view_ = std::exchange(other.view_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

SharedMapping::~SharedMapping() { Reset(); }

NamedEvent::NamedEvent(NamedEvent&& other) noexcept
    : native_(std::exchange(other.native_, nullptr)) {}

NamedEvent& NamedEvent::operator=(NamedEvent&& other) noexcept {
  if (this != &other) {
    Reset();
    native_ = std::exchange(other.native_, nullptr);
  }
  return *this;
}

NamedEvent::~NamedEvent() { Reset(); }

std::string PosixObjectName(std::string_view ns, std::string_view name) {
  if (ns.empty() || name.empty() || !IsValidNamePart(ns) || !IsValidNamePart(name)) return {};
  // "<ns>-<name>" must fit as a file name; the leading '/' is not part of it.
  if (ns.size() + 1 + name.size() > kMaxPosixNameChars) return {};
  std::string result;
  result.reserve(ns.size() + name.size() + 2);
  result += '/';
  result += ns;
  result += '-';
  result += name;
  return result;
}

}  // namespace tavrik
