#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "sync/SyncStatus.h"

// What the tray makes of the account's status: the state line in the
// program's language, the badge on the icon, and the desktop notices, each
// told once per occurrence (a full mailbox until it clears, every new conflict
// copy, deletions held for the user, an error once it has lasted a minute).
// Thread contract: user-interface thread only; not shared.
class TrayStatus {
 public:
  enum class Badge { kNone, kSyncing, kOffline, kError };
  struct Notice {
    std::string title;
    std::string text;
  };
  static constexpr std::time_t kErrorNoticeAfter = 60;  // seconds

  static std::string StateLine(const SyncStatus::Snapshot& snapshot);
  static Badge BadgeFor(SyncStatus::State state);

  // The notices this snapshot brings that were not told yet.
  std::vector<Notice> Update(const SyncStatus::Snapshot& snapshot, std::time_t now);

 private:
  bool quota_told_ = false;
  int conflicts_told_ = 0;
  std::string held_told_;  // the held deletions last told of
  std::time_t error_since_ = 0;  // 0: not in error
  bool error_told_ = false;
  bool sign_in_told_ = false;  // the last snapshot asked for a new sign-in
};
