// libFuzzer target: the folder index as any machine or person may leave it
// in the mailbox, read, validated and composed again.
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sync/FolderIndex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<FolderRecord> folders;
  std::vector<FileRecord> files;
  if (!FolderIndex::ParseText(text, folders, files)) return 0;
  std::vector<std::string> rejected;
  if (!FolderIndex::Validate(folders, files, rejected)) return 0;

  // What survives is safe to turn into paths: unique, chained, clean names.
  std::map<int, const FolderRecord*> by_id;
  std::set<std::string> full_names;
  for (const FolderRecord& f : folders) {
    if (!by_id.emplace(f.id, &f).second || !full_names.insert(f.full_name).second) __builtin_trap();
    if (f.full_name != "\\" && !FolderIndex::IsSafeName(f.name)) __builtin_trap();
    if (f.full_name.find("\\..\\") != std::string::npos) __builtin_trap();
  }
  std::set<int> file_ids;
  for (const FileRecord& f : files) {
    if (!file_ids.insert(f.file_id).second || !FolderIndex::IsSafeName(f.name)) __builtin_trap();
    if (by_id.count(f.folder_id) == 0) __builtin_trap();
  }

  // A validated tree composes into text that reads back to the same rows.
  std::map<std::string, FolderRecord> folder_map;
  for (const FolderRecord& f : folders) folder_map[f.full_name] = f;
  std::map<int, FileRecord> file_map;
  for (const FileRecord& f : files) file_map[f.file_id] = f;
  std::vector<FolderRecord> folders_again;
  std::vector<FileRecord> files_again;
  if (!FolderIndex::ParseText(FolderIndex::Compose(folder_map, file_map), folders_again,
                              files_again) ||
      folders_again.size() != folders.size() || files_again.size() != files.size()) {
    __builtin_trap();
  }
  return 0;
}
