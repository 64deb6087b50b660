#include "sync/FolderIndex.h"

#include <algorithm>
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

std::string KeptLine(const KeptRecord& k) {
  std::string machine = k.machine;
  for (char& c : machine)
    if (c == '|' || c == '\r' || c == '\n') c = '_';
  return std::to_string(k.file_id) + "|" + std::to_string(k.origin) + "|" +
         std::to_string(static_cast<int>(k.kind)) + "|" + std::to_string(k.at) + "|" +
         std::to_string(k.size) + "|" + std::to_string(k.total_part) + "|" + machine + "|" +
         k.path + "\r\n";
}

std::string KeptText(std::vector<KeptRecord> kept) {
  if (kept.empty()) return "";
  std::sort(kept.begin(), kept.end(),
            [](const KeptRecord& a, const KeptRecord& b) { return a.file_id < b.file_id; });
  std::string text = "[kept]\r\n";
  for (const KeptRecord& k : kept) text += KeptLine(k);
  return text;
}

bool ReadKept(const std::vector<std::string>& fields, KeptRecord& k) {
  if (fields.size() != 8) return false;
  k.file_id = atoi(fields[0].c_str());
  k.origin = atoi(fields[1].c_str());
  int kind = atoi(fields[2].c_str());
  k.kind = kind == static_cast<int>(KeptKind::kVersion) ? KeptKind::kVersion : KeptKind::kTrash;
  k.at = std::strtoll(fields[3].c_str(), nullptr, 10);
  k.size = std::strtoll(fields[4].c_str(), nullptr, 10);
  k.total_part = atoi(fields[5].c_str());
  k.machine = fields[6];
  k.path = fields[7];
  return k.file_id > 0 && k.total_part > 0 && k.size >= 0 &&
         (kind == static_cast<int>(KeptKind::kTrash) ||
          kind == static_cast<int>(KeptKind::kVersion)) &&
         FolderIndex::IsSafePath(k.path);
}

}  // namespace

std::string FolderIndex::Compose(const std::map<std::string, FolderRecord>& folders,
                                 const std::map<int, FileRecord>& files,
                                 const std::vector<KeptRecord>& kept, const History& history) {
  std::string text = kFolderHead;
  for (const auto& [full_name, folder] : folders) text += FolderLine(folder) + "\r\n";
  text += "\r\n[ftable]\r\n";
  std::string origins;
  for (const auto& [id, file] : files) {
    text += std::to_string(file.file_id) + "|" + std::to_string(file.folder_id) + "|" + file.name +
            "\r\n";
    if (file.Origin() != file.file_id) {
      origins += std::to_string(file.file_id) + "|" + std::to_string(file.Origin()) + "\r\n";
    }
  }
  if (!origins.empty()) text += "[origin]\r\n" + origins;
  return text + KeptText(kept) + HistoryText(history);
}

std::string FolderIndex::HistoryText(const History& history) {
  if (history.token.empty()) return "";
  std::string text = "[index]\r\ntoken|" + history.token + "\r\n";
  for (const auto& token : history.merged) text += "merged|" + token + "\r\n";
  return text;
}

std::string FolderIndex::ComposeTree(const std::vector<FolderRecord>& folders,
                                     const std::vector<FileRecord>& files,
                                     const std::vector<KeptRecord>& kept) {
  std::map<std::string, FolderRecord> by_name;
  for (const auto& f : folders) by_name[f.full_name] = f;
  std::map<int, FileRecord> by_id;
  for (const auto& r : files) by_id[r.file_id] = r;
  return Compose(by_name, by_id, kept);
}

namespace {

enum class Section { kFolders, kFiles, kOrigins, kKept, kIndex, kOther };

Section SectionOf(const std::string& line, Section now) {
  if (line == "[ftable]" || (now == Section::kFolders && line.find("[ftable]") != std::string::npos))
    return Section::kFiles;
  if (line == "[origin]") return Section::kOrigins;
  if (line == "[kept]") return Section::kKept;
  if (line == "[index]") return Section::kIndex;
  if (line.size() > 1 && line.front() == '[' && line.back() == ']') return Section::kOther;
  return now;
}

void ReadLine(Section section, const std::vector<std::string>& fields,
              std::vector<FolderRecord>& folders, std::vector<FileRecord>& files,
              std::map<int, int>& origins, FolderIndex::History& history) {
  if (section == Section::kFolders && fields.size() == 4) {
    FolderRecord f;
    f.id = atoi(fields[0].c_str());
    f.parent_id = atoi(fields[1].c_str());
    f.name = fields[2];
    f.full_name = fields[3];
    folders.push_back(f);
  } else if (section == Section::kFiles && fields.size() == 3) {
    FileRecord r;
    r.file_id = atoi(fields[0].c_str());
    r.folder_id = atoi(fields[1].c_str());
    r.name = fields[2];
    files.push_back(r);
  } else if (section == Section::kOrigins && fields.size() == 2) {
    origins[atoi(fields[0].c_str())] = atoi(fields[1].c_str());
  } else if (section == Section::kIndex && fields.size() == 2 && !fields[1].empty()) {
    if (fields[0] == "token") history.token = fields[1];
    if (fields[0] == "merged") history.merged.push_back(fields[1]);
  }
}

}  // namespace

bool FolderIndex::ParseText(const std::string& text, std::vector<FolderRecord>& folders,
                            std::vector<FileRecord>& files, History* history,
                            std::vector<KeptRecord>* kept) {
  size_t pos = text.find(kFolderHead);
  if (pos == std::string::npos) return false;
  pos += sizeof(kFolderHead) - 1;
  Section section = Section::kFolders;
  std::map<int, int> origins;
  History read;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) break;  // a last line without LF is not read
    std::string line;
    for (size_t i = pos; i < end; ++i) {
      if (text[i] != '\r') line += text[i];
    }
    pos = end + 1;
    Section next = SectionOf(line, section);
    if (next != section) {
      section = next;
      continue;
    }
    std::vector<std::string> fields;
    SplitAt(line, '|', fields);
    KeptRecord entry;
    if (section == Section::kKept && kept != nullptr && ReadKept(fields, entry))
      kept->push_back(std::move(entry));
    ReadLine(section, fields, folders, files, origins, read);
  }
  for (auto& r : files) {
    auto it = origins.find(r.file_id);
    if (it != origins.end() && it->second > 0) r.origin = it->second;
  }
  if (history != nullptr) *history = read;
  return true;
}

bool FolderIndex::IsSafePath(const std::string& path) {
  if (path.size() < 2 || path[0] != '\\') return false;
  std::vector<std::string> names;
  SplitAt(path.substr(1), '\\', names);
  for (const std::string& name : names)
    if (!IsSafeName(name)) return false;
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
