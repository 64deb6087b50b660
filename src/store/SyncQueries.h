#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "store/CppSQLite3DB.h"
#include "store/FileRecord.h"
#include "store/FolderRecord.h"
#include "store/KeptRecord.h"
#include "store/PartState.h"
#include "store/StoreStatement.h"
#include "store/TaskFolderRecord.h"

// The few statements on the account database that the sync engine needs
// beyond the store's operations: every part row at once, a mail id recorded
// without touching the stat, and the two multi-row changes of a delete and
// a replace, each in one immediate transaction.
// Thread contract: one thread only, like MetaStore: each caller makes its own
// short-lived object. Failures are logged and reported as false.
class SyncQueries {
 public:
  struct PartRow {
    int file_id = 0;
    int part = 0;
    PartState stat = PartState::kCached;
    int size = 0;
    int64_t total_size = 0;
    int total_part = 0;
    std::string mail_id;
    std::string md5;
  };
  using Parts = std::map<std::pair<int, int>, PartRow>;  // (file_id, part)

  // Opens the current account's database (DataDir + "\" + user + ".db").
  explicit SyncQueries(const std::string& user);
  // The account's database in data_dir instead of the program's DataDir().
  SyncQueries(const std::string& data_dir, const std::string& user);
  SyncQueries(const SyncQueries&) = delete;
  SyncQueries& operator=(const SyncQueries&) = delete;

  bool IsOpen() const { return db_.IsOpen(); }
  bool GetAllParts(Parts& parts);
  // Files with a part waiting for its upload, for its download, and the
  // bytes of those parts: read through the index on stat, so the cost is
  // that of what waits, not of the drive.
  bool PendingCounts(int& uploads, int& downloads, int64_t& bytes);
  // Files that cannot show yet: a part deleted or (unless on demand)
  // waiting for its download, or fewer parts here than they have. The rows
  // are read one at a time, in order, not held.
  bool IncompleteFiles(bool on_demand, std::set<int>& files);
  // found tells whether the row exists.
  bool GetPart(int file_id, int part, PartRow& row, bool& found);
  // Every part row of the file, in part order (index 0: part 1).
  bool GetParts(int file_id, std::vector<PartRow>& rows);
  // Parts learnt from the mailbox that have no row yet, each added at stat 2
  // (as AddFile does for a known file), all in one transaction: one commit
  // for a whole pass instead of one per message.
  bool AddLearnedParts(const std::vector<FileRecord>& parts);
  // Downloaded parts (file_id, part) to stat 0 in one transaction.
  bool MarkDownloaded(const std::vector<FileRecord>& parts);
  // The stat stays as it is (a deleted part keeps 3, an undownloaded one 2).
  bool SetPartMailId(int file_id, int part, const std::string& mail_id);
  // The file's time on every part row: what its parts carry when they go up.
  bool SetFileTime(int file_id, int time);
  // The mail id of a part appended here whose file was deleted since: the
  // part goes to stat 3, so its message is deleted too.
  bool SetDeletedPartMailId(int file_id, int part, const std::string& mail_id);
  // Every cached part of the file (only part, when not 0) waits for its
  // download again.
  bool MarkForDownload(int file_id, int part = 0);
  // A part whose message went while this machine holds the whole file:
  // waiting for its upload again (stat 1, no mail id), where its row still
  // names that message.
  bool RequeuePart(int file_id, int part, const std::string& mail_id);
  // Whether ftable holds the file; false on a failed read as well.
  bool HasFile(int file_id, bool& exists);
  // An appended part: stat 1 -> 4 and one change counted (as
  // AddUpFolderCount), in one transaction; false when it failed.
  bool FinishUpload(int file_id, int part);
  // An appended part whose UID the server named (APPENDUID): stat 1 -> 0
  // with its mail id and one change counted, in one transaction. claimed is
  // false when the part no longer waits (its file deleted or replaced
  // meanwhile): then nothing changed and the message belongs to nobody. A
  // part the refresh has claimed with this same message is claimed.
  bool FinishUploadAt(int file_id, int part, const std::string& mail_id, bool& claimed);
  // FinishUploadAt for several appended parts in one transaction: a batch
  // of small files is one commit, not one each.
  struct Uploaded {
    int file_id = 0;
    int part = 0;
    std::string mail_id;
    bool claimed = false;  // set by the call
  };
  bool FinishUploadsAt(std::vector<Uploaded>& parts);
  // The folder index of version appended as message uid: the local tree is
  // that message's, unless it changed since (then nothing is recorded).
  bool RecordOwnIndex(int version, const std::string& uid);
  // The ftable row goes, so the name is free at once; parts that never left
  // this machine (stat 1) go, parts whose message is known wait at stat 3
  // for its deletion, and appended parts whose mail id is not known yet
  // stay at 4 until the refresh learns it (then 3). The store's clean-up of
  // stat 3 rows without a mail id would otherwise drop them and leave their
  // messages in the mailbox for good.
  // count_change counts one local change in the same commit (as
  // AddUpFolderCount).
  // keep: the file's content stays in the mailbox as that entry instead
  // (its rows at stat 2, out of the tree), when every part has a message.
  bool MarkFileDeleted(int file_id, bool count_change = false, const KeptRecord* keep = nullptr);
  // The old file goes as by MarkFileDeleted (keep: a version); the new content
  // (record: name, folder_id, size in total_size, md5, time, cache_path) as new
  // parts at stat 1 under a new random file id, written into record.
  bool ReplaceFileContent(int old_file_id, FileRecord& record, const KeptRecord* keep = nullptr);
  // Kept entries let go: their messages go with the task's deletes, and
  // the change is counted, in one commit.
  bool LetGoKept(const std::vector<int>& file_ids);
  bool ReadKept(std::vector<KeptRecord>& kept);
  // Kept entries with a part whose message is gone leave (a counted change
  // when any did); dropped tells how many.
  bool DropBrokenKept(int& dropped);
  // Bytes of the parts of the tree's files that wait for their upload.
  bool WaitingUploadBytes(int64_t& bytes);
  // Whether every part of the file has its message in the mailbox.
  bool ContentUp(int file_id, bool& up);
  // The file's lasting identity (its own id when it was never edited).
  bool OriginOf(int file_id, int& origin);
  // entry back in the tree as name in folder_id. A file there is replaced
  // only when replaced is given and its every part is up (it is kept as
  // that entry); false otherwise, nothing changed.
  bool RestoreKept(const KeptRecord& entry, int folder_id, const std::string& name,
                   const KeptRecord* replaced);

  enum class Adopt { kDone, kStale, kFailed };
  // Installs a folder tree taken from index message uid of the given version
  // in one transaction, provided task_folder still holds what the caller
  // judged by (kStale otherwise, nothing changed). count_change counts one
  // local change on top (as AddUpFolderCount), so the merged tree is
  // published again.
  // The tree of index token (tree: its text) is recorded as merged in the
  // same commit.
  Adopt AdoptTree(const TaskFolderRecord& judged, const std::vector<FolderRecord>& folders,
                  const std::vector<FileRecord>& files, const std::string& uid, int version,
                  bool count_change, const std::string& token, const std::string& tree,
                  const std::vector<KeptRecord>* kept = nullptr);

  // The folder indexes whose trees the local one has merged (published here
  // or adopted), newest first. The newest kKeptTrees keep their text, the
  // bases of later merges; kKeptTokens are remembered in all.
  static constexpr int kKeptTrees = 16;
  static constexpr int kKeptTokens = 64;
  bool MergedTokens(std::vector<std::string>& newest_first);
  // The tree text of a merged index; empty when unknown or no longer kept.
  bool MergedTree(const std::string& token, std::string& tree);
  bool RecordMergedTree(const std::string& token, const std::string& tree);

 private:
  bool Run(const char* failure, const std::function<void()>& body, bool transaction);
  // One part of FinishUploadAt, inside the caller's transaction.
  bool FinishOneAt(int file_id, int part, const std::string& mail_id);
  static PartRow ReadPartRow(StoreStatement& q);
  void KeepMergedTree(const std::string& token, const std::string& tree);
  int DrawFileId();
  void DeleteFileRows(int file_id);
  // In a transaction: false (nothing changed) unless every part has its
  // message.
  bool KeepFileRows(int file_id, const KeptRecord& keep);

  CppSQLite3DB db_;
};
