#include "sync/OpenWrites.h"

void OpenWrites::Add(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  paths_.insert(path);
}

void OpenWrites::Remove(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = paths_.find(path);
  if (it != paths_.end()) paths_.erase(it);
}

void OpenWrites::Rename(const std::string& old_path, const std::string& new_path) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::multiset<std::string> moved;
  std::string below = old_path + "\\";
  for (auto it = paths_.begin(); it != paths_.end();) {
    if (*it == old_path) {
      moved.insert(new_path);
    } else if (it->rfind(below, 0) == 0) {
      moved.insert(new_path + "\\" + it->substr(below.size()));
    } else {
      ++it;
      continue;
    }
    it = paths_.erase(it);
  }
  paths_.insert(moved.begin(), moved.end());
}

void OpenWrites::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  paths_.clear();
}

bool OpenWrites::Contains(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return paths_.count(path) != 0;
}

bool OpenWrites::AnyOf(const std::vector<std::string>& paths) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& path : paths) {
    if (paths_.count(path) != 0) return true;
  }
  return false;
}
