#pragma once

#include <string>

#include "store/FileRecord.h"
#include "store/FolderRecord.h"

// Folder and ftable rows for tree tests. Free functions; any thread.
inline FolderRecord Folder(int id, int parent, const std::string& name, const std::string& full) {
  FolderRecord f;
  f.id = id;
  f.parent_id = parent;
  f.name = name;
  f.full_name = full;
  return f;
}

inline FileRecord File(int id, int folder, const std::string& name) {
  FileRecord r;
  r.file_id = id;
  r.folder_id = folder;
  r.name = name;
  return r;
}
