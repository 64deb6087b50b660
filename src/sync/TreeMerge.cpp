#include "sync/TreeMerge.h"

#include <algorithm>

#include "platform/FileHelpers.h"

namespace {

// The folders of the merged tree by full name and id, and the names taken
// in it.
struct MergedTree {
  MergedTree(std::vector<FolderRecord>& merged_folders, const std::vector<FileRecord>& files);
  // The id of the folder full, made (with its missing parents) when absent.
  int EnsureFolder(const std::string& full);

  std::vector<FolderRecord>& folders;
  std::map<std::string, int> id_of;    // merged full name -> id
  std::map<int, std::string> full_of;  // merged id -> full name
  std::set<std::string> taken;         // full name + child name, files and folders
  int next_id = 1;
};

MergedTree::MergedTree(std::vector<FolderRecord>& merged_folders,
                       const std::vector<FileRecord>& files)
    : folders(merged_folders) {
  for (const auto& f : folders) {
    id_of[f.full_name] = f.id;
    full_of[f.id] = f.full_name;
    next_id = std::max(next_id, f.id + 1);
  }
  for (const auto& f : folders) {
    if (f.full_name != "\\") taken.insert(f.full_name.substr(0, f.full_name.size() - 1));
  }
  for (const auto& r : files) {
    auto folder = full_of.find(r.folder_id);
    if (folder != full_of.end()) taken.insert(folder->second + r.name);
  }
}

int MergedTree::EnsureFolder(const std::string& full) {
  auto found = id_of.find(full);
  if (found != id_of.end()) return found->second;
  std::vector<std::string> parts;
  SplitAt(full.substr(1, full.size() - 2), '\\', parts);
  std::string path = "\\";
  int parent = id_of.count("\\") ? id_of["\\"] : 0;
  for (const auto& name : parts) {
    std::string child = path + name + "\\";
    auto it = id_of.find(child);
    if (it == id_of.end()) {
      FolderRecord f;
      f.id = next_id++;
      f.parent_id = parent;
      f.name = name;
      f.full_name = child;
      folders.push_back(f);
      id_of[child] = f.id;
      full_of[f.id] = child;
      taken.insert(path + name);
      it = id_of.find(child);
    }
    parent = it->second;
    path = child;
  }
  return parent;
}

// The cached files whose place differs between the local and the merged tree.
std::vector<TreeMerge::Move> Moves(const std::vector<FileRecord>& files,
                                   const std::map<int, FileRecord>& local_files,
                                   const std::map<int, std::string>& local_full_of,
                                   const std::map<int, std::string>& full_of) {
  std::vector<TreeMerge::Move> moves;
  for (const auto& r : files) {
    auto local = local_files.find(r.file_id);
    if (local == local_files.end()) continue;
    auto old_folder = local_full_of.find(local->second.folder_id);
    auto new_folder = full_of.find(r.folder_id);
    if (old_folder == local_full_of.end() || new_folder == full_of.end()) continue;
    std::string from = old_folder->second + local->second.name;
    std::string to = new_folder->second + r.name;
    if (from != to) moves.push_back({r.file_id, from, to});
  }
  return moves;
}

}  // namespace

std::string TreeMerge::ConflictName(const std::string& name, time_t now, int attempt) {
  struct tm local {};
  localtime_r(&now, &local);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H%M%S", &local);
  std::string tag = std::string(" (conflict ") + stamp;
  if (attempt > 1) {
    tag += ' ';
    tag += std::to_string(attempt);
  }
  tag += ")";
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return name + tag;
  return name.substr(0, dot) + tag + name.substr(dot);
}

TreeMerge::Result TreeMerge::Merge(const std::vector<FolderRecord>& adopted_folders,
                                   const std::vector<FileRecord>& adopted_files,
                                   const std::map<std::string, FolderRecord>& local_folders,
                                   const std::map<int, FileRecord>& local_files,
                                   const std::set<int>& keep, time_t now) {
  Result result;
  result.folders = adopted_folders;
  result.files = adopted_files;
  MergedTree tree(result.folders, result.files);
  std::set<int> listed;
  for (const auto& r : result.files) listed.insert(r.file_id);

  std::map<int, std::string> local_full_of;
  for (const auto& [full, f] : local_folders) local_full_of[f.id] = full;

  for (const auto& [id, local] : local_files) {
    if (listed.count(id) != 0 || keep.count(id) == 0) continue;
    auto folder = local_full_of.find(local.folder_id);
    if (folder == local_full_of.end()) continue;
    FileRecord r;
    r.file_id = id;
    r.folder_id = tree.EnsureFolder(folder->second);
    const std::string& full = tree.full_of[r.folder_id];
    r.name = local.name;
    for (int attempt = 1; tree.taken.count(full + r.name) != 0; ++attempt) {
      r.name = ConflictName(local.name, now, attempt);
    }
    tree.taken.insert(full + r.name);
    if (r.name != local.name) ++result.conflicts;
    result.files.push_back(r);
    ++result.kept;
  }
  result.moves = Moves(result.files, local_files, local_full_of, tree.full_of);
  return result;
}
