#pragma once

#include <string>

// The one row of the setting table. A plain value; no shared state.
struct SettingRecord {
  int auto_login = 0;
  int auto_start = 0;
  std::string data_dir;
};
