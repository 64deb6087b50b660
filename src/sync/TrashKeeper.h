#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "store/KeptFiles.h"
#include "store/KeptRecord.h"

class SyncContext;
class SyncNamespace;

// Thread contract: the task thread only; it takes the context's
// namespace_mutex for each change of the tree (never during network
// traffic, which it has none of: the task worker deletes what it lets go).
// The trash and the versions of the drive: carries out what tandrel-cli
// asked of the mounted drive (restore, empty), and lets go what the
// retention and the thinning no longer keep, and what a full mailbox needs
// the room of, oldest first.
class TrashKeeper {
 public:
  static constexpr int64_t kHour = 3600 * 1000;  // milliseconds, as KeptRecord::at
  static constexpr int64_t kDay = 24 * kHour;

  TrashKeeper(SyncContext& context, SyncNamespace& names);
  TrashKeeper(const TrashKeeper&) = delete;
  TrashKeeper& operator=(const TrashKeeper&) = delete;

  // One round: the requests, the retention and the thinning.
  void Step();
  // The oldest kept content let go for needed bytes the uploads that wait
  // must have (0: none); true when some was.
  bool MakeRoom(int64_t needed);
  // The file ids the policy lets go at now (milliseconds since 1970): what
  // is older than the retention; of each file's versions within it the
  // newest, then one for each hour of the clock for a day and one for each
  // day after, at most kMaxVersions.
  static std::vector<int> Expired(const std::vector<KeptRecord>& kept, int64_t now,
                                  int retention_days);
  // The versions of the file of origin, newest first (number 1 first).
  static std::vector<KeptRecord> VersionsOf(const std::vector<KeptRecord>& kept, int origin);
  // The versions of the file at path now; false when no file is there.
  static bool VersionsAt(const std::string& data_dir, const std::string& user,
                         const std::string& path, std::vector<KeptRecord>& versions);
  // A kept time as the listings show it ("2026-12-11 10:15").
  static std::string TimeText(int64_t at_ms);

 private:
  // False when the request must wait (a version asked for a file whose
  // content is not up yet): it is asked again for a later step.
  bool Carry(const KeptFiles::Request& request, const std::vector<KeptRecord>& kept);
  // entry back at its path (a conflict name when the place is taken); a
  // version in place of the file at path, which becomes a version itself.
  bool Restore(const KeptRecord& entry, bool as_version);
  bool EnsureFolders(const std::string& folder);
  void LetGo(const std::vector<int>& ids, const char* why);
  bool LetGoOldest(std::vector<KeptRecord> kept, int64_t needed);
  // A request to trash path; false while it must wait.
  bool CarryToTrash(const std::string& path);

  SyncContext& context_;
  SyncNamespace& names_;
};
