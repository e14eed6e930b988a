// Backend-independent parts of the shared-memory and event wrappers: object naming and error text.
#include "ipc/shared_memory.h"

namespace tavrik {
namespace {

// glibc keeps both kinds of object as files in /dev/shm; a semaphore's file name gets a "sem."
// prefix, so the longest name that works for both is NAME_MAX (255) minus those four characters.
constexpr std::size_t kMaxPosixNameChars = 255 - 4;

bool IsValidNamePart(std::string_view part) {
  return part.find('/') == std::string_view::npos && part.find('\0') == std::string_view::npos;
}

bool IsNamespaceChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

}  // namespace

bool IsValidIpcNamespace(std::string_view ns) {
  if (ns.empty() || ns.size() > kMaxIpcNamespaceChars || ns.front() == '.') return false;
  for (const char c : ns) {
    if (!IsNamespaceChar(c)) return false;
  }
  return true;
}

std::string_view DescribeOpenError(OpenError error) {
  switch (error) {
    case OpenError::kNone:
      return "no error";
    case OpenError::kBadName:
      return "the name is not a valid object name";
    case OpenError::kNotFound:
      return "it does not exist";
    case OpenError::kNotOwned:
      return "it belongs to another user";
    case OpenError::kTooSmall:
      return "it is smaller than the ring";
    case OpenError::kMapFailed:
      return "it cannot be mapped";
    case OpenError::kSystem:
      return "the system refused it";
  }
  return "unknown error";
}

std::string PosixObjectName(std::string_view ns, std::string_view name) {
  if (!IsValidIpcNamespace(ns) || name.empty() || !IsValidNamePart(name)) return {};
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
