#include "sync/SyncNames.h"

#include "store/MetaStore.h"
#include "sync/FolderIndex.h"

std::string SyncNames::ProgressName(const FileRecord& record) {
  if (record.total_part <= 1) return record.name;
  return record.name + "(第" + std::to_string(record.part) + "部分)";
}

std::string SyncNames::ProgressName(const FileRecord& first, const FileRecord& last) {
  if (first.file_id != last.file_id || first.part == last.part) return ProgressName(first);
  return first.name + "(第" + std::to_string(first.part) + "-" + std::to_string(last.part) +
         "部分)";
}

bool SyncNames::PlausiblePart(const FileRecord& record) {
  if (record.file_id <= 0 || record.total_size < 0 || record.md5.empty()) return false;
  if (!FolderIndex::IsSafeName(record.name)) return false;
  if (record.total_part != MetaStore::PartCount(record.total_size)) return false;
  if (record.part < 1 || record.part > record.total_part) return false;
  long long before = static_cast<long long>(record.part - 1) * MetaStore::kPartSize;
  long long expected = record.part < record.total_part
                           ? MetaStore::kPartSize
                           : static_cast<long long>(record.total_size) - before;
  return record.size == expected;
}

long long SyncNames::PartOffset(const FileRecord& record) {
  return static_cast<long long>(record.part - 1) * MetaStore::kPartSize;
}

std::map<int, std::string> SyncNames::FilePaths(const std::map<std::string, FolderRecord>& folders,
                                                const std::map<int, FileRecord>& files) {
  std::map<int, std::string> full_of;
  for (const auto& [full, f] : folders) full_of[f.id] = full;
  std::map<int, std::string> paths;
  for (const auto& [id, r] : files) {
    auto folder = full_of.find(r.folder_id);
    if (folder != full_of.end()) paths[id] = folder->second + r.name;
  }
  return paths;
}
