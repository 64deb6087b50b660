#pragma once

#include <cstdint>
#include <string>

// What the account's database remembers of its mailbox folder. A plain
// value; no shared state.
struct MailboxRecord {
  std::string folder;        // empty: not resolved yet
  uint32_t uidvalidity = 0;  // 0: not recorded yet
};
