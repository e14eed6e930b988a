// TemplateRegistry: the single table of registered templates, keyed by the UTF-8 name byte for
// byte, guarded by one mutex (registryMutex) that is held for map operations only.
//
// Records are shared: the registry holds one reference, every snapshot another, so a record that
// is replaced, removed or cleared lives on until the last snapshot that holds it is dropped.
//
// Threads: ReplaceOrInsert, Erase and Clear are called by the CommandThread; SnapshotTemplates by
// the DetectionLoop once per pass, and EraseRecord by it for a template it refuses. All may run
// concurrently. Never call them while holding
// another lock, and never do slow work (decoding, capture, window lookup) inside the `underLock`
// callbacks: they run with registryMutex held.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "registry/template_info.h"

namespace tavrik {

using TemplatePtr = std::shared_ptr<TemplateInfo>;
using TemplateSnapshot = std::vector<TemplatePtr>;

class TemplateRegistry {
 public:
  // Stores `info` under `name`. `underLock(existed)`, when given, runs while the mutex is held,
  // before the store, so a caller can compose its "overwriting" line in order. Returns whether an
  // entry existed.
  bool ReplaceOrInsert(const std::string& name, TemplatePtr info,
                       const std::function<void(bool existed)>& underLock = {});

  // Removes exactly `name`; `underLock()` runs under the mutex only when an entry was removed.
  bool Erase(const std::string& name, const std::function<void()>& underLock = {});

  // Removes the entry under `info->name` only when it still is `info` (not a newer registration
  // of the name); `underLock()` runs under the mutex only when it was removed.
  bool EraseRecord(const TemplatePtr& info, const std::function<void()>& underLock = {});

  // Empties the table; `underLock()` runs under the mutex afterwards, also when it was empty.
  void Clear(const std::function<void()>& underLock = {});

  // Copies every pointer in map iteration order and releases the mutex at once.
  TemplateSnapshot SnapshotTemplates() const;

 private:
  mutable std::mutex registryMutex_;
  std::unordered_map<std::string, TemplatePtr> map_;
};

}  // namespace tavrik
