// The task thread's step: parts up, settling of their cached copies, remote
// deletes and the folder index.
#include "sync/TaskWorker.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <map>
#include <optional>
#include <random>
#include <system_error>
#include <vector>

#include "log/CLog.h"
#include "mail/ImapClient.h"
#include "message/EmlWriter.h"
#include "platform/FileHelpers.h"
#include "platform/Locations.h"
#include "platform/WireCodePage.h"
#include "store/MetaStore.h"
#include "store/SyncQueries.h"
#include "sync/FolderCache.h"
#include "sync/FolderIndex.h"
#include "sync/PartHeaders.h"
#include "sync/SyncContext.h"
#include "sync/SyncNames.h"
#include "sync/SyncNamespace.h"
#include "sync/SyncStatus.h"
#include "sync/TransferProgress.h"

namespace {

CLog* Log() { return CLog::Instance(); }

void RemoveFile(const std::string& path) { ::unlink(NativePath(path).c_str()); }

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  FILE* f = fopen(NativePath(path).c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ok = fclose(f) == 0 && ok;
  return ok;
}

// 128 random bits: the index's name among every machine's.
std::string NewIndexToken() {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  char text[33];
  snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(random()),
           static_cast<unsigned long long>(random()));
  return text;
}

}  // namespace

TaskWorker::TaskWorker(SyncContext& context, SyncNamespace& names)
    : context_(context), names_(names), quota_(context.status), keeper_(context, names) {
  context_.CountTransfers(session_);
}

TaskWorker::~TaskWorker() { DropAhead(); }

bool TaskWorker::Step(int index_period_ms) {
  MetaStore store(context_.data_dir);
  {
    std::lock_guard<std::mutex> lock(context_.namespace_mutex);
    names_.RecordUnrecorded(store);
  }
  settled_.clear();
  left_waiting_ = false;
  if (context_.stale_sessions) session_.Close();
  // A new sign-in ends the wait of uploads that failed for want of one.
  if (uint64_t grants = context_.mailbox.CheckGrant(); grants != grants_seen_) {
    grants_seen_ = grants;
    upload_backoff_.Reset();
  }
  // The first question comes after the uploads, whose session asks it.
  bool first_question = !quota_.Asked();
  if (!first_question) WatchQuota();
  // Room is made before the uploads that need it, not after their refusal:
  // the kept content let go leaves the mailbox first.
  bool deleted = keeper_.MakeRoom(RoomNeeded()) && DeleteDoomed(store);
  // Asked afresh: the next step must not give back more than was needed.
  if (deleted && session_.IsConnected())
    quota_.Check(session_, context_.Folder(), context_.clock(), true);
  if (upload_backoff_.Ready(context_.clock()) && !RunUploads(store)) return false;
  if (first_question) WatchQuota();
  keeper_.Step();
  deleted = DeleteDoomed(store) || deleted;
  store.DelPendingFiles();
  // An index without a deleted file goes out only once that file's messages
  // are gone: another machine keeps a file whose messages it still sees.
  if (deleted) UploadIndexWhenDue(store, index_period_ms);
  return true;
}

bool TaskWorker::DeleteDoomed(MetaStore& store) {
  std::map<std::string, PartState> stats;
  if (!store.GetAllMailId(stats)) return false;
  std::set<std::string> doomed;
  for (const auto& [mail_id, stat] : stats) {
    if (mail_id.empty() || stat != PartState::kDeleted) continue;
    Log()->Write(LOG_DEBUG, "delete remote file:mail_id:%s", mail_id.c_str());
    doomed.insert(mail_id);
  }
  // Rows go only for messages the server no longer has; the rest wait for
  // the delete back-off.
  std::set<std::string> gone;
  bool deleted = DeleteRemote(doomed, gone);
  if (!gone.empty()) {
    std::lock_guard<std::mutex> lock(context_.namespace_mutex);
    for (const auto& mail_id : gone) store.DelFile(mail_id);
  }
  return deleted;
}

int64_t TaskWorker::RoomNeeded() {
  // The trash is the user's too: only for uploads the server refused, or
  // that the quota it reported cannot take.
  std::optional<uint64_t> room = quota_.Room();
  if (!quota_.Full() && !room) return 0;
  int64_t waiting = 0;
  SyncQueries queries(context_.data_dir, context_.account.user);
  if (!queries.WaitingUploadBytes(waiting) || waiting == 0) return 0;
  int64_t messages = waiting / 3 * 4 + 4096;
  int64_t free = room ? static_cast<int64_t>(std::min<uint64_t>(*room, INT64_MAX)) : 0;
  if (!quota_.Full() && messages <= free) return 0;
  return std::max<int64_t>(messages - free, 1);
}

void TaskWorker::UploadIndexWhenDue(MetaStore& store, int index_period_ms) {
  // While files still settle (a copy of many files under way) the steps
  // come every few milliseconds: one index a period is enough then.
  auto now = context_.clock();
  bool due = !left_waiting_ || now - last_index_at_ >= std::chrono::milliseconds(index_period_ms);
  int count = 0;
  if (!upload_backoff_.Ready(now) || !due || !store.GetUpFolderCount(count) || count < 1) return;
  last_index_at_ = now;
  if (UploadFolderIndex()) {
    store.SubUpFolderCount(count);
    Log()->Write(LOG_DEBUG, "upfodler ok,upcount=%d", count);
  } else {
    Log()->Write(LOG_WARNING, "upfodler err,upcount=%d", count);
  }
}

bool TaskWorker::RunUploads(MetaStore& store) {
  Turn turn = Turn::kNext;
  while (turn == Turn::kNext) turn = UploadNext(store);
  DropAhead();
  CloseLanes();  // held only while large parts go up
  return turn != Turn::kStoreFailed;
}

TaskWorker::Turn TaskWorker::UploadNext(MetaStore& store) {
  FileRecord part;
  // Nothing to do, or nowhere to read the content from.
  if (!NextPart(store, part)) return Turn::kStop;
  // A cached copy that is gone, or no longer the size recorded, would go
  // up wrong or not at all; waiting cannot mend it and would hold every
  // later upload.
  Source source = CheckSource(part);
  if (source == Source::kReadable && Settling(part.cache_path)) {
    left_waiting_ = true;
    return Turn::kStop;  // the next step takes it, with the time it has then
  }
  if (source != Source::kReadable) {
    DropAhead();
    if (!settled_.insert(part.file_id).second) {  // still changing: later
      left_waiting_ = true;
      NoteUploadFailure();
      return Turn::kStop;
    }
    return SettleSource(store, part, source) ? Turn::kNext : Turn::kStoreFailed;
  }
  if (Batchable(part)) {
    std::vector<FileRecord> batch = ReadyBatch(store, part);
    if (batch.size() > 1) return SendBatch(batch);
  } else {
    std::vector<FileRecord> parts = ReadyLanes(store, part);
    if (parts.size() > 1) return SendLanes(parts);
  }
  return SendPart(part);
}

TaskWorker::Turn TaskWorker::SendPart(FileRecord& part) {
  std::string path;
  Built built = TakeBuilt(part, path);
  if (built.ok && part.part < part.total_part) BuildAhead(part);
  if (!built.ok) {
    left_waiting_ = true;
    Log()->Write(LOG_DEBUG, "SaveToEml %s error", part.name.c_str());
    Log()->Write(LOG_DEBUG, "upload file:%s error", part.name.c_str());
    NoteUploadFailure();
    return Turn::kStop;
  }
  std::string mail_id;
  SyncResult sent = AppendMessage(part, path, built.length, mail_id);
  if (!sent.done()) {
    if (sent.retry_later()) left_waiting_ = true;
    Log()->Write(LOG_DEBUG, "upload file:%s error", part.name.c_str());
    // A file the server refuses for good is skipped; the others go on.
    return sent.failed() ? Turn::kNext : Turn::kStop;
  }
  if (!FinishPart(part, mail_id)) return Turn::kStoreFailed;
  Log()->Write(LOG_DEBUG, "upload file:%s ok", part.name.c_str());
  // Stopping: the rest waits for the next start.
  return context_.Stopping() ? Turn::kStop : Turn::kNext;
}

bool TaskWorker::NextPart(MetaStore& store, FileRecord& part) {
  std::vector<FileRecord> list;
  store.GetPendingUpload(list, refused_files_);
  if (list.empty() || (cache_.empty() && (cache_ = context_.CacheRoot(store)).empty()))
    return false;
  part = list.front();
  part.from = part.to = context_.account.user;
  part.kind = RecordKind::kFilePart;
  part.cache_path = cache_ + part.drive_path;
  return true;
}

TaskWorker::Built TaskWorker::TakeBuilt(const FileRecord& part, std::string& path) {
  if (ahead_.built.valid() && ahead_.file_id == part.file_id && ahead_.part == part.part) {
    path = ahead_.path;
    return ahead_.built.get();
  }
  DropAhead();
  path = MessagePath(part);
  return BuildMessage(part, context_.TempDir(), path, context_.Key());
}

void TaskWorker::BuildAhead(const FileRecord& part) {
  FileRecord next = part;
  ++next.part;
  next.size = MetaStore::PartSize(next.total_size, next.part, next.total_part);
  ahead_.file_id = next.file_id;
  ahead_.part = next.part;
  ahead_.path = MessagePath(next);
  try {
    ahead_.built = std::async(std::launch::async, BuildMessage, next, context_.TempDir(),
                              ahead_.path, context_.Key());
  } catch (const std::system_error&) {
    ahead_.built = {};  // built in turn instead
  }
}

void TaskWorker::DropAhead() {
  if (!ahead_.built.valid()) return;
  ahead_.built.wait();
  RemoveFile(ahead_.path);
  ahead_.built = {};
}

TaskWorker::Source TaskWorker::CheckSource(const FileRecord& part) {
  struct stat st {};
  if (::stat(NativePath(part.cache_path).c_str(), &st) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? Source::kGone : Source::kReadable;
  }
  if (!S_ISREG(st.st_mode)) return Source::kGone;
  return st.st_size == static_cast<off_t>(part.total_size) ? Source::kReadable : Source::kChanged;
}

bool TaskWorker::SettleSource(MetaStore& store, const FileRecord& part, Source source) {
  const std::string& drive_path = part.drive_path;
  std::lock_guard<std::mutex> lock(context_.namespace_mutex);
  if (source == Source::kChanged) {
    // Changed behind the drive's back: what the cache holds now is the file.
    Log()->Write(LOG_WARNING, "cached copy of %s changed, recorded again", drive_path.c_str());
    if (names_.AddFileLocked(store, drive_path)) return true;
  }
  // Gone (or unreadable as a file): nothing is left to upload.
  Log()->Write(LOG_WARNING, "cached copy of %s is gone, file dropped", drive_path.c_str());
  SyncQueries queries(context_.data_dir, context_.account.user);
  if (!queries.MarkFileDeleted(part.file_id)) return false;
  std::string folder, name;
  if (SplitPath(drive_path, folder, name)) context_.cache->RemoveEntry(folder, name);
  names_.CountChange(store);
  return true;
}

bool TaskWorker::Settling(const std::string& cache_path) {
  int settle_ms = context_.upload_settle_ms;
  struct stat st {};
  if (settle_ms <= 0 || ::stat(NativePath(cache_path).c_str(), &st) != 0) return false;
  // The change time moves with every write, time set and rename. It is
  // read against the wall clock, which may have been set back (the change
  // looks as if it were still to come) or jump: the quiet is also measured
  // on the steady clock from when this change was first seen, and that
  // bounds the wait whatever the wall clock says.
  struct timespec now = context_.wall_clock();
  int64_t wall_ms =
      (now.tv_sec - st.st_ctim.tv_sec) * 1000 + (now.tv_nsec - st.st_ctim.tv_nsec) / 1000000;
  auto steady = context_.clock();
  auto [seen, fresh] = changes_seen_.try_emplace(cache_path, st.st_ctim, steady);
  if (!fresh && (seen->second.first.tv_sec != st.st_ctim.tv_sec ||
                 seen->second.first.tv_nsec != st.st_ctim.tv_nsec)) {
    seen->second = {st.st_ctim, steady};
  }
  int64_t steady_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(steady - seen->second.second).count();
  int64_t quiet_ms = wall_ms < 0 ? steady_ms : std::max(wall_ms, steady_ms);
  if (quiet_ms >= settle_ms) {
    changes_seen_.erase(seen);
    return false;
  }
  // The task thread comes back when the copy has been quiet long enough.
  int left = static_cast<int>(std::max<int64_t>(1, settle_ms - quiet_ms));
  int shortest = settle_left_ms_;
  if (shortest == 0 || left < shortest) settle_left_ms_ = left;
  return true;
}

void TaskWorker::NoteUploadFailure(Pace pace) {
  if (pace == Pace::kLong) {
    upload_backoff_.Fail(context_.clock(), kLongFirstBackoffMs, kLongMaxBackoffMs);
  } else {
    upload_backoff_.Fail(context_.clock());
  }
}

std::string TaskWorker::MessagePath(const FileRecord& record) const {
  return context_.TempDir() + "\\" + record.md5 + "-" + std::to_string(record.file_id) + "-" +
         std::to_string(record.part) + ".eml";
}

TaskWorker::Built TaskWorker::BuildMessage(FileRecord record, std::string temp, std::string path,
                                           const DriveKey* key) {
  MakeDir(temp);
  Built built;
  EmlWriter writer(PartHeaders::ToMessage(record, record.cache_path));
  writer.SetKey(key);
  built.ok = writer.SaveToEml(path, built.length);
  if (!built.ok) RemoveFile(path);
  return built;
}

SyncResult TaskWorker::AppendMessage(const FileRecord& record, const std::string& path, int length,
                                     std::string& mail_id) {
  context_.progress.BeginUpload(SyncNames::ProgressName(record), static_cast<uint32_t>(length));
  Log()->Write(LOG_DEBUG, "begin upload file %s", record.name.c_str());
  SyncResult sent = Send(record, path, mail_id);
  RemoveFile(path);
  Log()->Write(LOG_DEBUG, "end upload file %s", record.name.c_str());
  context_.progress.ClearUpload();
  return sent;
}

bool TaskWorker::Open() {
  bool was_open = session_.IsConnected();
  if (!context_.EnsureOpen(session_)) return false;
  if (!was_open) quota_.Check(session_, context_.Folder(), context_.clock(), true);
  return true;
}

SyncResult TaskWorker::Send(const FileRecord& record, const std::string& path,
                            std::string& mail_id) {
  mail_id.clear();
  if (!Open()) {  // the status tells offline or the login's failure
    NoteUploadFailure();
    return SyncResult::RetryLater("the mailbox cannot be opened");
  }
  ImapClient::AppendOutcome outcome;
  MailResult result = session_.AppendMessage(context_.Folder(), path, outcome);
  // The server's refusals, and a message too big to be sent, leave the
  // session usable; anything else may have left it mid-command.
  if (!result.ok() && !result.Refused() && !result.TooBig()) session_.Close();
  return Judge(record, result, outcome, mail_id);
}

SyncResult TaskWorker::Judge(const FileRecord& record, const MailResult& result,
                             const ImapClient::AppendOutcome& outcome, std::string& mail_id) {
  if (!result.ok()) return JudgeRefusal(record, result);
  // A UID learnt under another UIDVALIDITY would name another message.
  if (outcome.uid != 0 && outcome.uidvalidity == session_.UidValidity() &&
      session_.SelectedFolder() == context_.Folder())
    mail_id = std::to_string(outcome.uid);
  upload_backoff_.Reset();
  quota_.NoteRoom(MessageBytes(record.size));
  context_.status.NoteQuotaFull(false);
  context_.status.NoteOnline();
  return SyncResult::Done();
}

SyncResult TaskWorker::JudgeRefusal(const FileRecord& record, const MailResult& result) {
  SyncStatus& status = context_.status;
  const std::string& text = result.text();
  if (result.ConnectionEnded()) {
    Log()->Write(LOG_WARNING, "upload of %s cut: %s", record.name.c_str(), text.c_str());
    if (NamesLimit(text)) {
      NoteThrottled(text);
    } else {
      NoteUploadFailure();
    }
    return SyncResult::RetryLater(text);
  }
  if (result.OverQuota()) {
    Log()->Write(LOG_WARNING, "mailbox full, upload of %s waits: %s", record.name.c_str(),
                 text.c_str());
    quota_.Check(session_, context_.Folder(), context_.clock(), true);
    quota_.NoteFull();
    status.NoteQuotaFull(true);
    NoteUploadFailure(Pace::kLong);
    return SyncResult::RetryLater(text);
  }
  if (result.Throttled()) {
    NoteThrottled(text);
    return SyncResult::RetryLater(text);
  }
  if (result.TooBig()) {
    Log()->Write(LOG_ERROR, "upload of %s refused for good: %s", record.name.c_str(), text.c_str());
    status.NoteError("cannot upload " + record.name + ": " + text);
    if (record.kind != RecordKind::kFilePart) {
      NoteUploadFailure(Pace::kLong);
      return SyncResult::RetryLater(text);
    }
    refused_files_.insert(record.file_id);
    return SyncResult::Failed(text);
  }
  if (result.Refused()) {
    Log()->Write(LOG_WARNING, "upload of %s refused: %s", record.name.c_str(), text.c_str());
    status.NoteError("upload of " + record.name + " refused: " + text);
  }
  NoteUploadFailure();
  return SyncResult::RetryLater(text);
}

bool TaskWorker::NamesLimit(const std::string& server_text) {
  // A goodbye that names a limit is the server's throttling too.
  std::string lower = server_text;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower.rfind("bye", 0) != 0) return false;
  for (const char* word : {"limit", "throttl", "too many", "[unavailable]", "quota"})
    if (lower.find(word) != std::string::npos) return true;
  return false;
}

void TaskWorker::NoteThrottled(const std::string& server_text) {
  Log()->Write(LOG_WARNING, "the server limits uploads, waiting: %s", server_text.c_str());
  context_.status.NoteError("the server limits uploads: " + server_text);
  NoteUploadFailure(Pace::kLong);
}

bool TaskWorker::FinishPart(const FileRecord& part, const std::string& mail_id,
                            SyncQueries* open) {
  bool claimed = true;
  {
    // The part's new stat and the change it makes to the tree in one
    // commit; a failure is reported, unlike the store's FinishUpdateFile.
    std::lock_guard<std::mutex> lock(context_.namespace_mutex);
    std::optional<SyncQueries> own;
    SyncQueries& queries =
        open != nullptr ? *open : own.emplace(context_.data_dir, context_.account.user);
    bool ok = mail_id.empty() ? queries.FinishUpload(part.file_id, part.part)
                              : queries.FinishUploadAt(part.file_id, part.part, mail_id, claimed);
    if (!ok) return false;
  }
  if (!claimed) DropUnclaimed(part, mail_id);
  return true;
}

void TaskWorker::DropUnclaimed(const FileRecord& part, const std::string& mail_id) {
  // Its file was deleted (or replaced) during the append.
  Log()->Write(LOG_INFO, "file of part %d deleted meanwhile, delete mail_id:%s", part.part,
               mail_id.c_str());
  std::set<std::string> gone;
  DeleteRemote({mail_id}, gone);
}

bool TaskWorker::DeleteRemote(const std::set<std::string>& mail_ids, std::set<std::string>& gone) {
  if (mail_ids.empty()) return true;
  if (!delete_backoff_.Ready(context_.clock())) return false;
  std::map<uint32_t, std::string> asked;
  for (const std::string& id : mail_ids) {
    uint64_t uid = 0;
    if (ImapParser::ParseNumber(id, uid) && uid != 0 && uid <= UINT32_MAX) {
      asked[static_cast<uint32_t>(uid)] = id;
    } else {
      // No server has it: waiting would keep the row for good.
      Log()->Write(LOG_WARNING, "mail id %s names no message, row dropped", id.c_str());
      gone.insert(id);
    }
  }
  if (asked.empty()) return true;
  std::vector<uint32_t> uids;
  for (const auto& [uid, id] : asked) uids.push_back(uid);
  ImapClient::DeleteOutcome outcome;
  MailResult result = MailResult::ConnectionLost("");
  // A view the server let go stale may name other messages by these UIDs.
  if (context_.stale_sessions) session_.Close();
  if (Open()) result = session_.DeleteMessages(uids, outcome);
  if (result.ConnectionEnded()) {
    session_.Close();
    outcome.remaining = uids;  // nothing known
  }
  std::set<uint32_t> left(outcome.remaining.begin(), outcome.remaining.end());
  for (const auto& [uid, id] : asked)
    if (left.count(uid) == 0) gone.insert(id);
  // Space freed: a full mailbox may take the waiting parts now.
  if (quota_.Full() && !gone.empty()) upload_backoff_.Reset();
  if (result.ok() && outcome.remaining.empty()) {
    if ((outcome.method == ImapClient::DeleteMethod::kTrashMove ||
         outcome.method == ImapClient::DeleteMethod::kTrashCopy) &&
        !outcome.trash_expunged)
      Log()->Write(LOG_WARNING, "deleted messages left in the trash");
    delete_backoff_.Reset();
    return gone.size() == mail_ids.size();
  }
  Log()->Write(LOG_WARNING, "delete remote %s: %zu of %zu messages still there: %s",
               result.Refused() ? "refused" : "not confirmed", left.size(), asked.size(),
               result.text().c_str());
  delete_backoff_.Fail(context_.clock());
  return false;
}

void TaskWorker::WatchQuota() {
  if (!quota_.Due(context_.clock())) return;
  // While the mailbox is full this question is how room is found again,
  // and the first answer is what df shows from the mount on: both worth
  // opening the session for. Otherwise it rides on an open one.
  if (session_.IsConnected()) {
    quota_.Check(session_, context_.Folder(), context_.clock(), true);
  } else {
    if (!quota_.Full() && quota_.Asked()) return;
    quota_.Postpone(context_.clock());  // once a period, offline too
    if (!Open()) return;                // which asks, the session being new
  }
  if (quota_.RoomSinceFull() && upload_backoff_.Ms() != 0) {
    Log()->Write(LOG_INFO, "mailbox has room again, uploads resume");
    upload_backoff_.Reset();
  }
}

bool TaskWorker::UploadFolderIndex() {
  MetaStore store(context_.data_dir);
  SyncQueries queries(context_.data_dir, context_.account.user);
  std::map<std::string, FolderRecord> folders;
  std::map<int, FileRecord> files;
  TaskFolderRecord task;
  FolderIndex::History history;
  std::vector<KeptRecord> kept;
  {
    // The tree and the indexes it merged, read together: an index must
    // never name one whose changes its tree lacks.
    std::lock_guard<std::mutex> lock(context_.namespace_mutex);
    if (!store.GetAllFolders(folders) || !store.GetAllFiles(files) || !store.GetFolderTask(task) ||
        !queries.MergedTokens(history.merged) || !queries.ReadKept(kept)) {
      return false;
    }
  }
  history.token = NewIndexToken();
  const std::string tree = FolderIndex::Compose(folders, files, kept);
  std::string text = tree + FolderIndex::HistoryText(history);
  std::string temp = context_.TempDir();
  MakeDir(temp);
  std::string index_path = temp + "\\folder.txt";
  FileRecord record;
  record.name = "folder.txt";
  record.kind = RecordKind::kFolderIndex;
  record.from = record.to = context_.account.user;
  record.part = record.total_part = 1;
  record.file_id = task.file_id;
  if (!WriteWholeFile(index_path, WireCodePage::FromUtf8(text)) ||
      !GetFileMd5(index_path, record.total_size, record.time, record.md5) ||
      record.total_size > INT32_MAX) {
    RemoveFile(index_path);
    return false;
  }
  record.size = static_cast<int>(record.total_size);
  Log()->Write(LOG_INFO, "upfolder:%s", text.c_str());

  std::string eml = temp + "\\" + record.md5 + ".eml";
  EmlWriter writer(PartHeaders::ToMessage(record, index_path));
  writer.SetKey(context_.Key());
  int length = 0;
  bool ok = writer.SaveToEml(eml, length);
  std::string uid;
  ok = ok && Send(record, eml, uid).done();
  // Known at once: the refresh need not fetch our own index to adopt it.
  if (ok && !uid.empty()) queries.RecordOwnIndex(record.file_id, uid);
  // The base of the merges of every index made from this one.
  if (ok) queries.RecordMergedTree(history.token, tree);
  RemoveFile(eml);
  RemoveFile(index_path);
  return ok;
}
