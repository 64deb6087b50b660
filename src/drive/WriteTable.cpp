#include "drive/WriteTable.h"

#include <utility>
#include <vector>

WriteTable::~WriteTable() { Clear(); }

WriteTable::Entry* WriteTable::Find(const std::string& path) {
  auto it = entries_.find(path);
  return it == entries_.end() ? nullptr : &it->second;
}

WriteTable::Entry& WriteTable::Add(const std::string& path, UniqueFd fd, bool created) {
  Remove(path);
  Entry& entry = entries_[path];
  entry.fd = std::move(fd);
  entry.created = created;
  if (mirror_ != nullptr) mirror_->Add(path);
  return entry;
}

void WriteTable::SetRecordAs(const std::string& path, const std::string& record_as) {
  Entry* entry = Find(path);
  if (entry == nullptr) return;
  if (mirror_ != nullptr) {
    mirror_->Remove(MirroredPath(path, *entry));
    mirror_->Add(record_as);
  }
  entry->record_as = record_as;
}

std::string WriteTable::MirroredPath(const std::string& path, const Entry& entry) {
  return entry.record_as.empty() ? path : entry.record_as;
}

void WriteTable::AddWriter(const std::string& path, const void* handle) {
  auto it = entries_.find(path);
  if (it == entries_.end()) return;
  std::string old_path;
  if (FindWriter(handle, old_path) && old_path != path) RemoveWriter(handle, old_path);
  it->second.writers.insert(handle);
  writer_paths_[handle] = path;
}

bool WriteTable::FindWriter(const void* handle, std::string& path) const {
  auto it = writer_paths_.find(handle);
  if (it == writer_paths_.end()) return false;
  path = it->second;
  return true;
}

WriteTable::Entry* WriteTable::FindByWriter(const void* handle) {
  auto it = writer_paths_.find(handle);
  return it == writer_paths_.end() ? nullptr : Find(it->second);
}

bool WriteTable::RemoveWriter(const void* handle, std::string& path) {
  auto it = writer_paths_.find(handle);
  if (it == writer_paths_.end()) return false;
  path = it->second;
  writer_paths_.erase(it);
  Entry* entry = Find(path);
  if (entry == nullptr) return false;
  entry->writers.erase(handle);
  return entry->writers.empty();
}

void WriteTable::Remove(const std::string& path) {
  if (Has(path)) Take(path);
}

WriteTable::Entry WriteTable::Take(const std::string& path) {
  auto it = entries_.find(path);
  Entry entry = std::move(it->second);
  if (mirror_ != nullptr) mirror_->Remove(MirroredPath(path, entry));
  entries_.erase(it);
  for (const void* handle : entry.writers) writer_paths_.erase(handle);
  return entry;
}

void WriteTable::Rename(const std::string& old_path, const std::string& new_path) {
  std::vector<std::pair<std::string, Entry>> moved;
  std::string below = old_path + "\\";
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->first == old_path || it->first.rfind(below, 0) == 0) {
      moved.emplace_back(new_path + it->first.substr(old_path.size()), std::move(it->second));
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
  if (mirror_ != nullptr) mirror_->Rename(old_path, new_path);
  for (auto& [path, entry] : moved) {
    Remove(path);
    for (const void* handle : entry.writers) writer_paths_[handle] = path;
    entries_[path] = std::move(entry);
  }
}

bool WriteTable::HasBelow(const std::string& folder_path) const {
  std::string below = folder_path == "\\" ? folder_path : folder_path + "\\";
  auto it = entries_.lower_bound(below);
  return it != entries_.end() && it->first.rfind(below, 0) == 0;
}

void WriteTable::Clear() {
  if (mirror_ != nullptr) mirror_->Clear();
  entries_.clear();
  writer_paths_.clear();
}
