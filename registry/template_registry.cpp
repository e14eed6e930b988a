#include "registry/template_registry.h"

#include <utility>

namespace tavrik {

bool TemplateRegistry::ReplaceOrInsert(const std::string& name, TemplatePtr info,
                                       const std::function<void(bool existed)>& underLock) {
  TemplatePtr released;  // destroyed after the unlock when no snapshot holds it
  std::lock_guard lock(registryMutex_);
  auto it = map_.find(name);
  const bool existed = it != map_.end();
  if (underLock) underLock(existed);
  if (existed) {
    released = std::exchange(it->second, std::move(info));
  } else {
    map_.emplace(name, std::move(info));
  }
  return existed;
}

bool TemplateRegistry::Erase(const std::string& name, const std::function<void()>& underLock) {
  TemplatePtr released;
  std::lock_guard lock(registryMutex_);
  auto it = map_.find(name);
  if (it == map_.end()) return false;
  released = std::move(it->second);
  map_.erase(it);
  if (underLock) underLock();
  return true;
}

bool TemplateRegistry::EraseRecord(const TemplatePtr& info,
                                   const std::function<void()>& underLock) {
  if (!info) return false;
  TemplatePtr released;
  std::lock_guard lock(registryMutex_);
  auto it = map_.find(info->name);
  if (it == map_.end() || it->second != info) return false;
  released = std::move(it->second);
  map_.erase(it);
  if (underLock) underLock();
  return true;
}

void TemplateRegistry::Clear(const std::function<void()>& underLock) {
  std::unordered_map<std::string, TemplatePtr> released;
  std::lock_guard lock(registryMutex_);
  released.swap(map_);
  if (underLock) underLock();
}

TemplateSnapshot TemplateRegistry::SnapshotTemplates() const {
  std::lock_guard lock(registryMutex_);
  TemplateSnapshot out;
  out.reserve(map_.size());
  for (const auto& [key, info] : map_) out.push_back(info);
  return out;
}

}  // namespace tavrik
