#pragma once

#include <string>

// One row of the account table. A plain value; no shared state.
struct AccountRecord {
  std::string user;
  std::string pwd;
  int type = 0;
  std::string down_server;
  std::string smtp_server;
  int port = 0;
  int ssl_flag = 0;
  int is_default = 0;
  int save_pwd = 0;
};
