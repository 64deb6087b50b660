#pragma once

#include <string>

// One row of the folder table. A plain value; no shared state.
struct FolderRecord {
  std::string name;
  int id = 0;
  int parent_id = 0;
  std::string full_name;
};
