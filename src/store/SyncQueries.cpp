#include "store/SyncQueries.h"

#include "store/KeptFiles.h"

#include <functional>
#include <random>

#include "log/CLog.h"
#include "platform/Locations.h"
#include "store/MetaStore.h"
#include "store/StoreFiles.h"
#include "store/StoreRows.h"
#include "store/StoreStatement.h"
#include "store/StoreTransaction.h"

namespace {

const char* const kCountChange =
    "update task_folder set up_count=up_count+1, file_id=file_id+1, mail_id=''";

}  // namespace

SyncQueries::SyncQueries(const std::string& user) : SyncQueries(DataDir(), user) {}

SyncQueries::SyncQueries(const std::string& data_dir, const std::string& user) {
  db_.SetBusyTimeout(MetaStore::kBusyTimeoutMs);
  std::string path = AccountDbPath(data_dir, user);
  if (path.empty()) return;
  RunStoreBody(
      db_, "SyncQueries open error", [&] { db_.OpenDb(path); }, false);
}

bool SyncQueries::Run(const char* failure, const std::function<void()>& body, bool transaction) {
  if (!db_.IsOpen()) return false;
  return RunStoreBody(db_, failure, body, transaction);
}

SyncQueries::PartRow SyncQueries::ReadPartRow(StoreStatement& q) {
  PartRow row;
  row.file_id = q.getInt("file_id");
  row.part = q.getInt("part");
  row.stat = StateFromStored(q.getInt("stat"));
  row.size = q.getInt("size");
  row.total_size = q.getInt64("total_size");
  row.total_part = q.getInt("total_part");
  row.mail_id = q.getText("mail_id");
  row.md5 = q.getText("md5");
  return row;
}

bool SyncQueries::GetAllParts(Parts& parts) {
  return Run(
      "GetAllParts error",
      [&] {
        StoreStatement q(db_, "select * from mail");
        while (q.executeStep()) {
          PartRow row = ReadPartRow(q);
          parts[{row.file_id, row.part}] = row;
        }
      },
      false);
}

bool SyncQueries::PendingCounts(int& uploads, int& downloads, int64_t& bytes) {
  uploads = downloads = 0;
  bytes = 0;
  return Run(
      "PendingCounts error",
      [&] {
        StoreStatement q(db_,
                         "select stat, count(distinct file_id) as files, total(size) as bytes "
                         "from mail where stat in (?, ?) and file_id in (select file_id from "
                         "ftable) group by stat");
        q.bind(1, StoredState(PartState::kAwaitingUpload));
        q.bind(2, StoredState(PartState::kAwaitingDownload));
        while (q.executeStep()) {
          bool up = StateFromStored(q.getInt("stat")) == PartState::kAwaitingUpload;
          (up ? uploads : downloads) = q.getInt("files");
          bytes += static_cast<int64_t>(q.getDouble("bytes"));
        }
      },
      false);
}

bool SyncQueries::IncompleteFiles(bool on_demand, std::set<int>& files) {
  return Run(
      "IncompleteFiles error",
      [&] {
        // As GetAllParts, a (file, part) held twice counts once, as its
        // last row.
        StoreStatement q(db_,
                         "select file_id, part, stat, total_part from mail "
                         "order by file_id, part, rowid");
        struct Row {
          int file_id = 0, part = 0, total_part = 0;
          PartState stat = PartState::kCached;
        } row, last;
        int here = 0, total = 0;  // of last.file_id's shown parts so far
        bool any = false;
        auto settle = [&](const Row& r) {  // r is the last row of its key
          bool hidden = (r.stat == PartState::kAwaitingDownload && !on_demand) ||
                        r.stat == PartState::kDeleted;
          if (hidden) {
            files.insert(r.file_id);
          } else {
            ++here;
            total = r.total_part;
          }
        };
        auto end_file = [&](const Row& r) {
          if (here > 0 && here < total) files.insert(r.file_id);
          here = total = 0;
        };
        while (q.executeStep()) {
          row = {q.getInt(0), q.getInt(1), q.getInt(3), StateFromStored(q.getInt(2))};
          if (any && (row.file_id != last.file_id || row.part != last.part)) {
            settle(last);
            if (row.file_id != last.file_id) end_file(last);
          }
          last = row;
          any = true;
        }
        if (any) {
          settle(last);
          end_file(last);
        }
      },
      false);
}

bool SyncQueries::AddLearnedParts(const std::vector<FileRecord>& parts) {
  if (parts.empty()) return true;
  return Run(
      "AddFile error",
      [&] {
        StoreStatement insert(db_, kInsertPartSql);
        for (const FileRecord& r : parts)
          InsertPartRow(insert, r, r.mail_id, PartState::kAwaitingDownload);
      },
      true);
}

bool SyncQueries::MarkDownloaded(const std::vector<FileRecord>& parts) {
  return Run(
      "SetFileStat error",
      [&] {
        StoreStatement update(db_, "update mail set stat=? where file_id=? and part=? and stat=?");
        update.bind(1, StoredState(PartState::kCached));
        update.bind(4, StoredState(PartState::kAwaitingDownload));
        for (const FileRecord& r : parts) {
          update.bind(2, r.file_id);
          update.bind(3, r.part);
          update.exec();
        }
      },
      true);
}

bool SyncQueries::SetPartMailId(int file_id, int part, const std::string& mail_id) {
  return Run(
      "SetPartMailId error",
      [&] {
        StoreStatement update(db_, "update mail set mail_id=? where file_id=? and part=?");
        update.bind(1, mail_id);
        update.bind(2, file_id);
        update.bind(3, part);
        update.exec();
      },
      false);
}

bool SyncQueries::SetFileTime(int file_id, int time) {
  return Run(
      "SetFileTime error",
      [&] {
        StoreStatement update(db_, "update mail set time=? where file_id=?");
        update.bind(1, time);
        update.bind(2, file_id);
        update.exec();
      },
      false);
}

bool SyncQueries::GetPart(int file_id, int part, PartRow& row, bool& found) {
  found = false;
  return Run(
      "GetPart error",
      [&] {
        StoreStatement q(db_, "select * from mail where file_id=? and part=?");
        q.bind(1, file_id);
        q.bind(2, part);
        if (!q.executeStep()) return;
        found = true;
        row = ReadPartRow(q);
      },
      false);
}

bool SyncQueries::GetParts(int file_id, std::vector<PartRow>& rows) {
  rows.clear();
  return Run(
      "GetParts error",
      [&] {
        StoreStatement q(db_, "select * from mail where file_id=? order by part");
        q.bind(1, file_id);
        while (q.executeStep()) rows.push_back(ReadPartRow(q));
      },
      false);
}

bool SyncQueries::FinishUpload(int file_id, int part) {
  return Run(
      "FinishUpdateFile error",
      [&] {
        StoreStatement update(db_, "update mail set stat=? where file_id=? and part=? and stat=?");
        update.bind(1, StoredState(PartState::kAppended));
        update.bind(2, file_id);
        update.bind(3, part);
        update.bind(4, StoredState(PartState::kAwaitingUpload));
        update.exec();
        db_.RunStatement(kCountChange);
      },
      true);
}

bool SyncQueries::FinishUploadAt(int file_id, int part, const std::string& mail_id, bool& claimed) {
  claimed = false;
  return Run(
      "FinishUploadAt error", [&] { claimed = FinishOneAt(file_id, part, mail_id); }, true);
}

bool SyncQueries::FinishUploadsAt(std::vector<Uploaded>& parts) {
  bool ok = Run(
      "FinishUploadsAt error",
      [&] {
        for (Uploaded& up : parts) up.claimed = FinishOneAt(up.file_id, up.part, up.mail_id);
      },
      true);
  if (!ok) {
    for (Uploaded& up : parts) up.claimed = false;  // rolled back
  }
  return ok;
}

bool SyncQueries::FinishOneAt(int file_id, int part, const std::string& mail_id) {
  StoreStatement update(db_,
                        "update mail set stat=?, mail_id=? where "
                        "file_id=? and part=? and stat=?");
  update.bind(1, StoredState(PartState::kCached));
  update.bind(2, mail_id);
  update.bind(3, file_id);
  update.bind(4, part);
  update.bind(5, StoredState(PartState::kAwaitingUpload));
  bool claimed = update.exec() > 0;
  if (!claimed) {
    // The refresh may have seen this very message first and claimed it.
    StoreStatement q(db_,
                     "select stat from mail where file_id=? and part=? and mail_id=? and "
                     "stat=?");
    q.bind(1, file_id);
    q.bind(2, part);
    q.bind(3, mail_id);
    q.bind(4, StoredState(PartState::kCached));
    claimed = q.executeStep();
  }
  if (claimed) db_.RunStatement(kCountChange);
  return claimed;
}

bool SyncQueries::RecordOwnIndex(int version, const std::string& uid) {
  return Run(
      "RecordOwnIndex error",
      [&] {
        StoreStatement update(db_, "update task_folder set mail_id=? where file_id=?");
        update.bind(1, uid);
        update.bind(2, version);
        update.exec();
      },
      false);
}

void SyncQueries::DeleteFileRows(int file_id) {
  StoreStatement unsent(db_, "delete from mail where file_id=? and stat=?");
  unsent.bind(1, file_id);
  unsent.bind(2, StoredState(PartState::kAwaitingUpload));
  unsent.exec();
  StoreStatement sent(db_, "update mail set stat=? where file_id=? and stat<>?");
  sent.bind(1, StoredState(PartState::kDeleted));
  sent.bind(2, file_id);
  sent.bind(3, StoredState(PartState::kAppended));
  sent.exec();
  StoreStatement file(db_, "delete from ftable where file_id=?");
  file.bind(1, file_id);
  file.exec();
}

bool SyncQueries::KeepFileRows(int file_id, const KeptRecord& keep) {
  if (keep.total_part < 1) return false;
  {
    // Only content whose every part has its message can come back.
    StoreStatement q(db_,
                     "select count(*) as n from mail where file_id=? and mail_id<>'' and "
                     "stat in (?, ?)");
    q.bind(1, file_id);
    q.bind(2, StoredState(PartState::kCached));
    q.bind(3, StoredState(PartState::kAwaitingDownload));
    StoreStatement all(db_, "select count(*) as n from mail where file_id=?");
    all.bind(1, file_id);
    if (!q.executeStep() || !all.executeStep() || q.getInt("n") != keep.total_part ||
        all.getInt("n") != keep.total_part)
      return false;
  }
  KeptRecord kept = keep;
  kept.file_id = file_id;
  {
    StoreStatement q(db_, "select origin from ftable where file_id=?");
    q.bind(1, file_id);
    int origin = q.executeStep() ? q.getInt("origin") : 0;
    kept.origin = origin != 0 ? origin : file_id;
  }
  StoreStatement rows(db_, "update mail set stat=? where file_id=?");
  rows.bind(1, StoredState(PartState::kAwaitingDownload));
  rows.bind(2, file_id);
  rows.exec();
  StoreStatement file(db_, "delete from ftable where file_id=?");
  file.bind(1, file_id);
  file.exec();
  KeptFiles::Insert(db_, kept);
  return true;
}

bool SyncQueries::ReadKept(std::vector<KeptRecord>& kept) {
  return Run(
      "ReadKept error", [&] { KeptFiles::Read(db_, kept); }, false);
}

bool SyncQueries::DropBrokenKept(int& dropped) {
  dropped = 0;
  return Run(
      "DropBrokenKept error",
      [&] {
        const char* broken =
            "from kept where (select count(*) from mail where mail.file_id=kept.file_id and "
            "mail.mail_id<>'') < kept.total_part";
        {
          StoreStatement q(db_, std::string("select count(*) as n ") + broken);
          if (q.executeStep()) dropped = q.getInt("n");
        }
        if (dropped == 0) return;
        db_.RunStatement(std::string("delete ") + broken);
        db_.RunStatement(kCountChange);
      },
      true);
}

bool SyncQueries::WaitingUploadBytes(int64_t& bytes) {
  bytes = 0;
  return Run(
      "WaitingUploadBytes error",
      [&] {
        StoreStatement q(db_,
                         "select coalesce(sum(size), 0) as n from mail where stat=? and file_id "
                         "in (select file_id from ftable)");
        q.bind(1, StoredState(PartState::kAwaitingUpload));
        if (q.executeStep()) bytes = q.getInt64("n");
      },
      false);
}

bool SyncQueries::ContentUp(int file_id, bool& up) {
  up = false;
  return Run(
      "ContentUp error",
      [&] {
        StoreStatement q(db_,
                         "select count(*) as n, sum(mail_id='' or stat not in (?, ?)) as waiting "
                         "from mail where file_id=?");
        q.bind(1, StoredState(PartState::kCached));
        q.bind(2, StoredState(PartState::kAwaitingDownload));
        q.bind(3, file_id);
        up = q.executeStep() && q.getInt("n") > 0 && q.getInt("waiting") == 0;
      },
      false);
}

bool SyncQueries::OriginOf(int file_id, int& origin) {
  origin = 0;
  return Run(
             "OriginOf error",
             [&] {
               StoreStatement q(db_, "select origin from ftable where file_id=?");
               q.bind(1, file_id);
               if (q.executeStep()) origin = q.getInt("origin") != 0 ? q.getInt("origin") : file_id;
             },
             false) &&
         origin != 0;
}

bool SyncQueries::LetGoKept(const std::vector<int>& file_ids) {
  return Run(
      "LetGoKept error",
      [&] {
        for (int id : file_ids) {
          KeptFiles::Remove(db_, id);
          // Unless it is back in the tree: its messages go with the task.
          StoreStatement rows(db_,
                              "update mail set stat=? where file_id=? and file_id not in "
                              "(select file_id from ftable)");
          rows.bind(1, StoredState(PartState::kDeleted));
          rows.bind(2, id);
          rows.exec();
        }
        if (!file_ids.empty()) db_.RunStatement(kCountChange);
      },
      true);
}

bool SyncQueries::RestoreKept(const KeptRecord& entry, int folder_id, const std::string& name,
                              const KeptRecord* replaced) {
  bool taken = false;
  bool ok = Run(
      "RestoreKept error",
      [&] {
        int live = 0;
        {
          StoreStatement q(db_, "select file_id from ftable where folder_id=? and file_name=?");
          q.bind(1, folder_id);
          q.bind(2, name);
          if (q.executeStep()) live = q.getInt("file_id");
        }
        // A version takes the place of the content it replaces, which is
        // kept in turn.
        // Content not up yet is never let go for a version: the restore
        // waits until it is.
        if (live != 0 && (replaced == nullptr || !KeepFileRows(live, *replaced))) {
          taken = true;
          return;
        }
        KeptFiles::Remove(db_, entry.file_id);
        FileRecord record;
        record.file_id = entry.file_id;
        record.origin = entry.origin;
        record.folder_id = folder_id;
        record.name = name;
        InsertFileRow(db_, record);
        db_.RunStatement(kCountChange);
      },
      true);
  return ok && !taken;
}

bool SyncQueries::SetDeletedPartMailId(int file_id, int part, const std::string& mail_id) {
  return Run(
      "SetPartMailId error",
      [&] {
        StoreStatement update(db_, "update mail set mail_id=?, stat=? where file_id=? and part=?");
        update.bind(1, mail_id);
        update.bind(2, StoredState(PartState::kDeleted));
        update.bind(3, file_id);
        update.bind(4, part);
        update.exec();
      },
      false);
}

bool SyncQueries::MarkForDownload(int file_id, int part) {
  return Run(
      "MarkForDownload error",
      [&] {
        StoreStatement update(
            db_, "update mail set stat=? where file_id=? and stat=? and (?=0 or part=?)");
        update.bind(1, StoredState(PartState::kAwaitingDownload));
        update.bind(2, file_id);
        update.bind(3, StoredState(PartState::kCached));
        update.bind(4, part);
        update.bind(5, part);
        update.exec();
      },
      false);
}

bool SyncQueries::RequeuePart(int file_id, int part, const std::string& mail_id) {
  return Run(
      "RequeuePart error",
      [&] {
        StoreStatement update(
            db_, "update mail set stat=?, mail_id='' where file_id=? and part=? and mail_id=?");
        update.bind(1, StoredState(PartState::kAwaitingUpload));
        update.bind(2, file_id);
        update.bind(3, part);
        update.bind(4, mail_id);
        update.exec();
      },
      false);
}

bool SyncQueries::HasFile(int file_id, bool& exists) {
  exists = false;
  return Run(
      "HasFile error",
      [&] {
        StoreStatement q(db_, "select file_id from ftable where file_id=?");
        q.bind(1, file_id);
        exists = q.executeStep();
      },
      false);
}

bool SyncQueries::MarkFileDeleted(int file_id, bool count_change, const KeptRecord* keep) {
  return Run(
      "MarkFileDeleted error",
      [&] {
        if (keep == nullptr || !KeepFileRows(file_id, *keep)) DeleteFileRows(file_id);
        if (count_change) db_.RunStatement(kCountChange);
      },
      true);
}

SyncQueries::Adopt SyncQueries::AdoptTree(const TaskFolderRecord& judged,
                                          const std::vector<FolderRecord>& folders,
                                          const std::vector<FileRecord>& files,
                                          const std::string& uid, int version, bool count_change,
                                          const std::string& token, const std::string& tree,
                                          const std::vector<KeptRecord>* kept) {
  bool stale = false;
  bool ok = Run(
      "AdoptTree error",
      [&] {
        {
          StoreStatement q(db_, "select * from task_folder");
          stale = !q.executeStep() || q.getInt("up_count") != judged.up_count ||
                  q.getInt("file_id") != judged.file_id || q.getText("mail_id") != judged.mail_id;
        }
        if (stale) return;
        ReplaceTreeRows(db_, folders, files);
        if (kept != nullptr) KeptFiles::ReplaceAll(db_, *kept);
        // The cached copies of files the tree lets go are gone: should one
        // come back from the trash, its parts come again.
        StoreStatement dropped(db_,
                               "update mail set stat=? where stat=? and file_id not in "
                               "(select file_id from ftable)");
        dropped.bind(1, StoredState(PartState::kAwaitingDownload));
        dropped.bind(2, StoredState(PartState::kCached));
        dropped.exec();
        StoreStatement index(db_, "update task_folder set mail_id=?, file_id=?");
        index.bind(1, uid);
        index.bind(2, version);
        index.exec();
        if (count_change) db_.RunStatement(kCountChange);
        if (!token.empty()) KeepMergedTree(token, tree);
        // Parts waiting to go up again for a file the tree no longer holds.
        StoreStatement orphans(
            db_, "delete from mail where stat=? and file_id not in (select file_id from ftable)");
        orphans.bind(1, StoredState(PartState::kAwaitingUpload));
        orphans.exec();
      },
      true);
  if (!ok) return Adopt::kFailed;
  return stale ? Adopt::kStale : Adopt::kDone;
}

int SyncQueries::DrawFileId() {
  static thread_local std::mt19937 random{std::random_device{}()};
  std::uniform_int_distribution<int> pick(1, 0x7fffffff);
  StoreStatement q(db_,
                   "select (select count(*) from mail where file_id=?) + (select count(*) from "
                   "ftable where file_id=?) as n");
  for (;;) {
    int id = pick(random);
    q.reset();
    q.bind(1, id);
    q.bind(2, id);
    if (q.executeStep() && q.getInt("n") == 0) return id;
  }
}

bool SyncQueries::ReplaceFileContent(int old_file_id, FileRecord& record, const KeptRecord* keep) {
  return Run(
      "ReplaceFileContent error",
      [&] {
        {
          // The new version keeps the file's identity, so another machine
          // can tell this edit from a delete and a new file.
          StoreStatement q(db_, "select file_id, origin from ftable where file_id=?");
          q.bind(1, old_file_id);
          int origin = q.executeStep() ? q.getInt("origin") : 0;
          record.origin = origin != 0 ? origin : old_file_id;
        }
        if (keep == nullptr || !KeepFileRows(old_file_id, *keep)) DeleteFileRows(old_file_id);
        record.file_id = DrawFileId();
        record.total_part = MetaStore::PartCount(record.total_size);
        StoreStatement insert(db_, kInsertPartSql);
        for (int part = 1; part <= record.total_part; ++part) {
          record.part = part;
          record.size = MetaStore::PartSize(record.total_size, part, record.total_part);
          // No message yet: the mail id comes with the upload.
          InsertPartRow(insert, record, "", PartState::kAwaitingUpload);
        }
        InsertFileRow(db_, record);
        record.stat = PartState::kAwaitingUpload;
      },
      true);
}

void SyncQueries::KeepMergedTree(const std::string& token, const std::string& tree) {
  int seq = 0;
  {
    StoreStatement q(db_, "select coalesce(max(seq), 0) as n from index_tree");
    if (q.executeStep()) seq = q.getInt("n");
  }
  StoreStatement put(db_, "insert or replace into index_tree(token, seq, tree) values(?, ?, ?)");
  put.bind(1, token);
  put.bind(2, seq + 1);
  put.bind(3, tree);
  put.exec();
  StoreStatement old_text(db_, "update index_tree set tree='' where seq<=?");
  old_text.bind(1, seq + 1 - kKeptTrees);
  old_text.exec();
  StoreStatement old_token(db_, "delete from index_tree where seq<=?");
  old_token.bind(1, seq + 1 - kKeptTokens);
  old_token.exec();
}

bool SyncQueries::RecordMergedTree(const std::string& token, const std::string& tree) {
  return Run(
      "RecordMergedTree error", [&] { KeepMergedTree(token, tree); }, true);
}

bool SyncQueries::MergedTokens(std::vector<std::string>& newest_first) {
  newest_first.clear();
  return Run(
      "MergedTokens error",
      [&] {
        StoreStatement q(db_, "select token from index_tree order by seq desc");
        while (q.executeStep()) newest_first.push_back(q.getText("token"));
      },
      false);
}

bool SyncQueries::MergedTree(const std::string& token, std::string& tree) {
  tree.clear();
  return Run(
      "MergedTree error",
      [&] {
        StoreStatement q(db_, "select tree from index_tree where token=?");
        q.bind(1, token);
        if (q.executeStep()) tree = q.getText("tree");
      },
      false);
}
