#include "sync/FolderCache.h"

#include <utility>

bool FolderCache::HasFolders() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !tree_.empty();
}

bool FolderCache::HasFolder(const std::string& full_name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tree_.count(full_name) != 0;
}

bool FolderCache::GetFolder(const std::string& full_name, Entries& out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = tree_.find(full_name);
  if (it == tree_.end()) return false;
  out = it->second;
  return true;
}

bool FolderCache::GetEntry(const std::string& full_name, const std::string& name,
                           DriveEntry& out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto folder = tree_.find(full_name);
  if (folder == tree_.end()) return false;
  auto entry = folder->second.find(name);
  if (entry == folder->second.end()) return false;
  out = entry->second;
  return true;
}

int FolderCache::CountSubfolders(const std::string& full_name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto folder = tree_.find(full_name);
  if (folder == tree_.end()) return 0;
  int count = 0;
  for (const auto& [name, entry] : folder->second) count += entry.kind == DriveEntry::kFolder;
  return count;
}

FolderCache::Tree FolderCache::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tree_;
}

void FolderCache::PutEntry(const std::string& full_name, const DriveEntry& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  tree_[full_name][entry.name] = entry;
}

void FolderCache::RemoveEntry(const std::string& full_name, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto folder = tree_.find(full_name);
  if (folder != tree_.end()) folder->second.erase(name);
}

void FolderCache::SetFolder(const std::string& full_name, Entries entries) {
  std::lock_guard<std::mutex> lock(mutex_);
  tree_[full_name] = std::move(entries);
}

void FolderCache::RemoveFolder(const std::string& full_name) {
  std::lock_guard<std::mutex> lock(mutex_);
  tree_.erase(full_name);
}

void FolderCache::ReplaceAll(Tree tree) {
  std::lock_guard<std::mutex> lock(mutex_);
  tree_.swap(tree);
}

void FolderCache::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  tree_.clear();
}
