// UniqueHandle: sole ownership of one operating-system resource (a descriptor, a HANDLE, a mapped
// view, a semaphore), released exactly once.
//
// A traits type says what the resource is:
//   struct Traits {
//     using Value = ...;                            // equality-comparable, cheap to copy
//     static constexpr Value Invalid() noexcept;    // the "nothing held" value
//     static void Close(Value value) noexcept;      // releases a valid value
//   };
// Platform files define their traits beside the calls that create the resource, so this header
// stays free of OS headers. Move-only; moving leaves the source empty.
//
// Threads: like any value, one thread at a time.
#pragma once

#include <utility>

namespace tavrik {

template <typename Traits>
class UniqueHandle {
 public:
  using Value = typename Traits::Value;

  UniqueHandle() noexcept = default;
  explicit UniqueHandle(Value value) noexcept : value_(value) {}
  UniqueHandle(UniqueHandle&& other) noexcept : value_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { Reset(); }

  bool Valid() const noexcept { return !(value_ == Traits::Invalid()); }
  explicit operator bool() const noexcept { return Valid(); }
  Value Get() const noexcept { return value_; }

  // Gives up ownership without closing.
  Value Release() noexcept { return std::exchange(value_, Traits::Invalid()); }

  // Closes what is held, then holds `value`.
  void Reset(Value value = Traits::Invalid()) noexcept {
    const Value old = std::exchange(value_, value);
    if (!(old == Traits::Invalid())) Traits::Close(old);
  }

 private:
  Value value_ = Traits::Invalid();
};

}  // namespace tavrik
