#pragma once

#include <string>

// The task_folder row describing the folder index message. A plain value.
struct TaskFolderRecord {
  std::string mail_id;
  int file_id = 0;
  int up_count = 0;
};
