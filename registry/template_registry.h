// TemplateRegistry: the single table of registered templates, keyed by the UTF-8 name byte for
// byte, guarded by one mutex (registryMutex) that is held for map operations only.
//
// Threads: the CommandThread replaces, erases and clears; the DetectionLoop takes a snapshot once
// per pass. Never call into the registry while holding another lock, and never do slow work
// (decoding, capture, window lookup) inside the `underLock` callbacks.
//
// The class is header-only so that detect/ can read it without a link-time dependency on the
// registry library (which itself depends on detect/ for template preparation).
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "registry/template_info.h"

namespace tavrik {

using TemplatePtr = std::shared_ptr<TemplateInfo>;
using TemplateSnapshot = std::vector<TemplatePtr>;

class TemplateRegistry {
 public:
  // Stores `info` under `name`. `underLock(existed)` runs while the mutex is held, before the
  // store, so a caller can compose its "overwriting" line in order. Returns whether an entry
  // existed.
  template <typename F>
  bool ReplaceOrInsert(const std::string& name, TemplatePtr info, F&& underLock) {
    TemplatePtr released;  // destroyed after the unlock when no snapshot holds it
    std::lock_guard lock(registryMutex_);
    auto it = map_.find(name);
    const bool existed = it != map_.end();
    std::forward<F>(underLock)(existed);
    if (existed) {
      released = std::exchange(it->second, std::move(info));
    } else {
      map_.emplace(name, std::move(info));
    }
    return existed;
  }
  bool ReplaceOrInsert(const std::string& name, TemplatePtr info) {
    return ReplaceOrInsert(name, std::move(info), [](bool) {});
  }

  // Removes exactly `name`; `underLock()` runs under the mutex only when an entry was removed.
  template <typename F>
  bool Erase(const std::string& name, F&& underLock) {
    std::lock_guard lock(registryMutex_);
    if (map_.erase(name) == 0) return false;
    std::forward<F>(underLock)();
    return true;
  }
  bool Erase(const std::string& name) {
    return Erase(name, [] {});
  }

  // Empties the table; `underLock()` runs under the mutex afterwards, also when it was empty.
  template <typename F>
  void Clear(F&& underLock) {
    std::lock_guard lock(registryMutex_);
    map_.clear();
    std::forward<F>(underLock)();
  }
  void Clear() {
    Clear([] {});
  }

  // Copies every pointer in map iteration order and releases the mutex at once.
  TemplateSnapshot SnapshotTemplates() const {
    std::lock_guard lock(registryMutex_);
    TemplateSnapshot out;
    out.reserve(map_.size());
    for (const auto& [key, info] : map_) out.push_back(info);
    return out;
  }

 private:
  mutable std::mutex registryMutex_;
  std::unordered_map<std::string, TemplatePtr> map_;
};

}  // namespace tavrik
