#include "sync/FolderIndex.h"

#include <cstdio>
#include <cstdlib>
#include <set>

#include "platform/FileHelpers.h"

namespace {

const char kFolderHead[] = "[folder]\r\n";

std::string FolderLine(const FolderRecord& f) {
  return std::to_string(f.id) + "|" + std::to_string(f.parent_id) + "|" + f.name + "|" +
         f.full_name;
}

}  // namespace

std::string FolderIndex::Compose(const std::map<std::string, FolderRecord>& folders,
                                 const std::map<int, FileRecord>& files) {
  std::string text = kFolderHead;
  for (const auto& [full_name, folder] : folders) text += FolderLine(folder) + "\r\n";
  text += "\r\n[ftable]\r\n";
  for (const auto& [id, file] : files) {
    text += std::to_string(file.file_id) + "|" + std::to_string(file.folder_id) + "|" + file.name +
            "\r\n";
  }
  return text;
}

bool FolderIndex::ParseText(const std::string& text, std::vector<FolderRecord>& folders,
                            std::vector<FileRecord>& files) {
  size_t pos = text.find(kFolderHead);
  if (pos == std::string::npos) return false;
  pos += sizeof(kFolderHead) - 1;
  bool in_files = false;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) break;  // a last line without LF is not read
    std::string line;
    for (size_t i = pos; i < end; ++i) {
      if (text[i] != '\r') line += text[i];
    }
    pos = end + 1;
    if (!in_files && line.find("[ftable]") != std::string::npos) {
      in_files = true;
      continue;
    }
    std::vector<std::string> fields;
    SplitAt(line, '|', fields);
    if (!in_files && fields.size() == 4) {
      FolderRecord f;
      f.id = atoi(fields[0].c_str());
      f.parent_id = atoi(fields[1].c_str());
      f.name = fields[2];
      f.full_name = fields[3];
      folders.push_back(f);
    } else if (in_files && fields.size() == 3) {
      FileRecord r;
      r.file_id = atoi(fields[0].c_str());
      r.folder_id = atoi(fields[1].c_str());
      r.name = fields[2];
      files.push_back(r);
    }
  }
  return true;
}

bool FolderIndex::IsSafeName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name) {
    if (c == '\\' || c == '/' || c == '\0' || c == '|' || c == '\r' || c == '\n') return false;
  }
  return true;
}

namespace {

// Keeps the file rows with a safe, unique name and id in a kept folder.
void KeepFiles(std::vector<FileRecord>& files, std::map<int, std::string>& kept_names,
               const std::set<std::string>& kept_full, std::vector<std::string>& rejected) {
  std::vector<FileRecord> kept_files;
  std::set<int> ids;
  std::set<std::pair<int, std::string>> names;
  for (const auto& r : files) {
    bool ok = r.file_id > 0 && FolderIndex::IsSafeName(r.name) &&
              kept_names.count(r.folder_id) != 0 && ids.count(r.file_id) == 0 &&
              names.count({r.folder_id, r.name}) == 0 &&
              kept_full.count(kept_names[r.folder_id] + r.name + "\\") == 0;
    if (!ok) {
      rejected.push_back("file " + std::to_string(r.file_id) + "|" + std::to_string(r.folder_id) +
                         "|" + r.name);
      continue;
    }
    ids.insert(r.file_id);
    names.insert({r.folder_id, r.name});
    kept_files.push_back(r);
  }
  files = kept_files;
}

}  // namespace

bool FolderIndex::Validate(std::vector<FolderRecord>& folders, std::vector<FileRecord>& files,
                           std::vector<std::string>& rejected) {
  std::map<int, std::string> kept_names;  // id -> full name
  std::set<std::string> kept_full;
  std::vector<FolderRecord> kept;
  std::vector<bool> done(folders.size(), false);

  // The root first, then every row whose parent is already kept, until a
  // round adds nothing: the order of the lines does not matter and a cycle
  // cannot keep the loop going.
  for (size_t i = 0; i < folders.size(); ++i) {
    const FolderRecord& f = folders[i];
    if (f.full_name != "\\") continue;
    done[i] = true;
    if (f.name != "\\" || f.id <= 0 || !kept_names.empty()) {
      rejected.push_back("folder " + FolderLine(f));
      continue;
    }
    kept_names[f.id] = f.full_name;
    kept_full.insert(f.full_name);
    kept.push_back(f);
  }
  if (kept.empty()) {
    for (size_t i = 0; i < folders.size(); ++i) {
      if (!done[i]) rejected.push_back("folder " + FolderLine(folders[i]));
    }
    for (const auto& r : files) {
      rejected.push_back("file " + std::to_string(r.file_id) + "|" + r.name);
    }
    folders.clear();
    files.clear();
    return false;
  }
  for (bool progress = true; progress;) {
    progress = false;
    for (size_t i = 0; i < folders.size(); ++i) {
      if (done[i]) continue;
      const FolderRecord& f = folders[i];
      auto parent = kept_names.find(f.parent_id);
      if (parent == kept_names.end()) continue;
      done[i] = true;
      progress = true;
      if (!IsSafeName(f.name) || f.id <= 0 || kept_names.count(f.id) != 0 ||
          f.full_name != parent->second + f.name + "\\" || kept_full.count(f.full_name) != 0) {
        rejected.push_back("folder " + FolderLine(f));
        continue;
      }
      kept_names[f.id] = f.full_name;
      kept_full.insert(f.full_name);
      kept.push_back(f);
    }
  }
  for (size_t i = 0; i < folders.size(); ++i) {
    if (!done[i]) rejected.push_back("folder " + FolderLine(folders[i]));
  }
  folders = kept;

  KeepFiles(files, kept_names, kept_full, rejected);
  return true;
}

bool FolderIndex::UidLess(const std::string& a, const std::string& b) {
  size_t ia = a.find_first_not_of('0');
  size_t ib = b.find_first_not_of('0');
  std::string na = ia == std::string::npos ? "" : a.substr(ia);
  std::string nb = ib == std::string::npos ? "" : b.substr(ib);
  if (na.size() != nb.size()) return na.size() < nb.size();
  return na < nb;
}

FolderIndex::Verdict FolderIndex::Judge(int remote_version, const std::string& uid,
                                        const TaskFolderRecord& task) {
  if (task.up_count != 0) return Verdict::kLeave;
  if (remote_version > task.file_id) return Verdict::kAdopt;
  if (remote_version < task.file_id) return Verdict::kDelete;
  if (task.mail_id.empty() || UidLess(task.mail_id, uid)) return Verdict::kAdopt;
  // The loser of a tie is never adopted by anyone again.
  if (UidLess(uid, task.mail_id)) return Verdict::kDelete;
  return Verdict::kLeave;
}
