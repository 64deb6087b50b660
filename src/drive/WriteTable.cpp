#include "drive/WriteTable.h"

#include <unistd.h>

#include <vector>

WriteTable::~WriteTable() { Clear(); }

WriteTable::Entry* WriteTable::Find(const std::string& path) {
  auto it = entries_.find(path);
  return it == entries_.end() ? nullptr : &it->second;
}

WriteTable::Entry& WriteTable::Add(const std::string& path, int fd, bool created) {
  Remove(path);
  Entry& entry = entries_[path];
  entry.fd = fd;
  entry.created = created;
  return entry;
}

bool WriteTable::FindWriter(const void* handle, std::string& path) const {
  for (const auto& [key, entry] : entries_) {
    if (entry.writers.count(handle) != 0) {
      path = key;
      return true;
    }
  }
  return false;
}

void WriteTable::Remove(const std::string& path) {
  auto it = entries_.find(path);
  if (it == entries_.end()) return;
  if (it->second.fd >= 0) ::close(it->second.fd);
  entries_.erase(it);
}

void WriteTable::Rename(const std::string& old_path, const std::string& new_path) {
  std::vector<std::pair<std::string, Entry>> moved;
  std::string below = old_path + "\\";
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->first == old_path || it->first.rfind(below, 0) == 0) {
      moved.emplace_back(new_path + it->first.substr(old_path.size()), it->second);
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& [path, entry] : moved) {
    Remove(path);
    entries_[path] = entry;
  }
}

bool WriteTable::HasBelow(const std::string& folder_path) const {
  std::string below = folder_path == "\\" ? folder_path : folder_path + "\\";
  auto it = entries_.lower_bound(below);
  return it != entries_.end() && it->first.rfind(below, 0) == 0;
}

void WriteTable::Clear() {
  for (auto& [path, entry] : entries_) {
    if (entry.fd >= 0) ::close(entry.fd);
  }
  entries_.clear();
}
