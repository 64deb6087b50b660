// The upload side of the task step: parts up, settling of their cached
// copies, remote deletes and the folder index.
#include "sync/SyncUpload.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <map>
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
#include "sync/SyncNamespace.h"
#include "sync/SyncNames.h"
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

}  // namespace

SyncUpload::~SyncUpload() { DropAhead(); }

bool SyncUpload::Run(MetaStore& store) {
  Turn turn = Turn::kNext;
  while (turn == Turn::kNext) turn = UploadNext(store);
  DropAhead();
  return turn == Turn::kDone;
}

SyncUpload::Turn SyncUpload::UploadNext(MetaStore& store) {
  FileRecord part;
  // Nothing to do, or nowhere to read the content from.
  if (!NextPart(store, part)) return Turn::kDone;
  // A cached copy that is gone, or no longer the size recorded, would go
  // up wrong or not at all; waiting cannot mend it and would hold every
  // later upload.
  Source source = CheckSource(part);
  if (source == Source::kReadable && Settling(part.cache_path)) {
    left_waiting_ = true;
    return Turn::kDone;  // the next step takes it, with the time it has then
  }
  if (source != Source::kReadable) {
    DropAhead();
    if (!settled_.insert(part.file_id).second) {  // still changing: later
      left_waiting_ = true;
      NoteUploadFailure();
      return Turn::kDone;
    }
    return SettleSource(store, part, part.drive_path, source) ? Turn::kNext : Turn::kFailed;
  }

  std::string path;
  Built built = TakeBuilt(part, path);
  if (built.ok && part.part < part.total_part) BuildAhead(part);
  if (!built.ok) {
    left_waiting_ = true;
    Log()->Write(LOG_DEBUG, "SaveToEml %s error", part.name.c_str());
    Log()->Write(LOG_DEBUG, "upload file:%s error", part.name.c_str());
    NoteUploadFailure();
    return Turn::kDone;
  }
  std::string mail_id;
  Sent sent = AppendMessage(part, path, built.length, mail_id);
  if (sent != Sent::kDone) {
    if (sent != Sent::kSkipped) left_waiting_ = true;
    Log()->Write(LOG_DEBUG, "upload file:%s error", part.name.c_str());
    return sent == Sent::kSkipped ? Turn::kNext : Turn::kDone;
  }
  if (!FinishPart(part, mail_id)) return Turn::kFailed;
  Log()->Write(LOG_DEBUG, "upload file:%s ok", part.name.c_str());
  // Stopping: the rest waits for the next start.
  if (engine_.threads_on_ && !engine_.running_) return Turn::kDone;
  return Turn::kNext;
}

bool SyncUpload::NextPart(MetaStore& store, FileRecord& part) {
  std::vector<FileRecord> list;
  store.GetPendingUpload(list, engine_.refused_files_);
  if (list.empty() || (cache_.empty() && (cache_ = engine_.CacheRoot()).empty())) return false;
  part = list.front();
  part.from = part.to = engine_.account_.user;
  part.kind = RecordKind::kFilePart;
  part.cache_path = cache_ + part.drive_path;
  return true;
}

SyncUpload::Built SyncUpload::TakeBuilt(const FileRecord& part, std::string& path) {
  if (ahead_.built.valid() && ahead_.file_id == part.file_id && ahead_.part == part.part) {
    path = ahead_.path;
    return ahead_.built.get();
  }
  DropAhead();
  path = MessagePath(part);
  return BuildMessage(part, path);
}

void SyncUpload::BuildAhead(const FileRecord& part) {
  FileRecord next = part;
  ++next.part;
  next.size = next.part < next.total_part
                  ? MetaStore::kPartSize
                  : next.total_size - (next.total_part - 1) * MetaStore::kPartSize;
  ahead_.file_id = next.file_id;
  ahead_.part = next.part;
  ahead_.path = MessagePath(next);
  try {
    ahead_.built = std::async(std::launch::async, BuildMessage, next, ahead_.path);
  } catch (const std::system_error&) {
    ahead_.built = {};  // built in turn instead
  }
}

void SyncUpload::DropAhead() {
  if (!ahead_.built.valid()) return;
  ahead_.built.wait();
  RemoveFile(ahead_.path);
  ahead_.built = {};
}

SyncUpload::Source SyncUpload::CheckSource(const FileRecord& part) {
  struct stat st {};
  if (::stat(NativePath(part.cache_path).c_str(), &st) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? Source::kGone : Source::kReadable;
  }
  if (!S_ISREG(st.st_mode)) return Source::kGone;
  return st.st_size == static_cast<off_t>(part.total_size) ? Source::kReadable : Source::kChanged;
}

bool SyncUpload::SettleSource(MetaStore& store, const FileRecord& part,
                              const std::string& drive_path, Source source) {
  std::lock_guard<std::mutex> lock(engine_.namespace_mutex_);
  if (source == Source::kChanged) {
    // Changed behind the drive's back: what the cache holds now is the file.
    Log()->Write(LOG_WARNING, "cached copy of %s changed, recorded again", drive_path.c_str());
    if (engine_.namespace_ops_->AddFileLocked(store, drive_path)) return true;
  }
  // Gone (or unreadable as a file): nothing is left to upload.
  Log()->Write(LOG_WARNING, "cached copy of %s is gone, file dropped", drive_path.c_str());
  SyncQueries queries(engine_.account_.user);
  if (!queries.MarkFileDeleted(part.file_id)) return false;
  std::string folder, name;
  if (SplitPath(drive_path, folder, name)) engine_.cache_->RemoveEntry(folder, name);
  engine_.namespace_ops_->CountChange(store);
  return true;
}

bool SyncUpload::Settling(const std::string& cache_path) const {
  int settle_ms = engine_.upload_settle_ms_;
  struct stat st {};
  if (settle_ms <= 0 || ::stat(NativePath(cache_path).c_str(), &st) != 0) return false;
  // The change time moves with every write, time set and rename.
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  int64_t quiet_ms = (now.tv_sec - st.st_ctim.tv_sec) * 1000 +
                     (now.tv_nsec - st.st_ctim.tv_nsec) / 1000000;
  if (quiet_ms >= settle_ms) return false;
  // The task thread comes back when the copy has been quiet long enough.
  int left = static_cast<int>(std::max<int64_t>(1, settle_ms - quiet_ms));
  int shortest = engine_.settle_left_ms_;
  if (shortest == 0 || left < shortest) engine_.settle_left_ms_ = left;
  return true;
}

namespace {

int Grown(int now, int first, int max) {
  return std::max(first, now == 0 ? first : std::min(now * 2, max));
}

}  // namespace

void SyncUpload::NoteUploadFailure(Pace pace) {
  int next = pace == Pace::kLong ? Grown(engine_.backoff_ms_, SyncEngine::kLongFirstBackoffMs,
                                         SyncEngine::kLongMaxBackoffMs)
                                 : Grown(engine_.backoff_ms_, SyncEngine::kFirstBackoffMs,
                                         SyncEngine::kMaxBackoffMs);
  engine_.backoff_ms_ = next;
  engine_.retry_at_ = engine_.clock_() + std::chrono::milliseconds(next);
}

void SyncUpload::NoteDeleteFailure() {
  int next =
      Grown(engine_.delete_backoff_ms_, SyncEngine::kFirstBackoffMs, SyncEngine::kMaxBackoffMs);
  engine_.delete_backoff_ms_ = next;
  engine_.delete_retry_at_ = engine_.clock_() + std::chrono::milliseconds(next);
}

void SyncUpload::ResumeUploads() {
  engine_.backoff_ms_ = 0;
  engine_.retry_at_ = {};
}

std::string SyncUpload::MessagePath(const FileRecord& record) {
  return DataDir() + "\\temp\\" + record.md5 + "-" + std::to_string(record.part) + ".eml";
}

SyncUpload::Built SyncUpload::BuildMessage(FileRecord record, std::string path) {
  MakeDir(DataDir() + "\\temp");
  Built built;
  EmlWriter writer(PartHeaders::ToMessage(record, record.cache_path));
  built.ok = writer.SaveToEml(path, built.length);
  if (!built.ok) RemoveFile(path);
  return built;
}

bool SyncUpload::UploadPart(const FileRecord& record) {
  std::string path = MessagePath(record);
  Built built = BuildMessage(record, path);
  if (!built.ok) {
    Log()->Write(LOG_DEBUG, "SaveToEml %s error", record.name.c_str());
    return false;
  }
  std::string mail_id;
  return AppendMessage(record, path, built.length, mail_id) == Sent::kDone;
}

SyncUpload::Sent SyncUpload::AppendMessage(const FileRecord& record, const std::string& path,
                                           int length, std::string& mail_id) {
  TransferProgress::Instance()->BeginUpload(SyncNames::ProgressName(record),
                                            static_cast<uint32_t>(length));
  Log()->Write(LOG_DEBUG, "begin upload file %s", record.name.c_str());
  Sent sent = Send(record, path, mail_id);
  RemoveFile(path);
  Log()->Write(LOG_DEBUG, "end upload file %s", record.name.c_str());
  TransferProgress::Instance()->ClearUpload();
  return sent;
}

bool SyncUpload::Open(ImapClient& session) {
  bool was_open = session.IsConnected();
  if (!engine_.EnsureOpen(session)) return false;
  if (!was_open) engine_.quota_.Check(session, engine_.Folder(), engine_.clock_(), true);
  return true;
}

SyncUpload::Sent SyncUpload::Send(const FileRecord& record, const std::string& path,
                                  std::string& mail_id) {
  mail_id.clear();
  ImapClient& session = *engine_.task_session_;
  if (!Open(session)) {  // the status tells offline or the login's failure
    NoteUploadFailure();
    return Sent::kFailed;
  }
  ImapClient::AppendOutcome outcome;
  ImapClient::AppendResult result = session.AppendMessage(engine_.Folder(), path, outcome);
  // The server's refusals leave the session usable; anything else may have
  // left it mid-command.
  if (result == ImapClient::AppendResult::kConnectionLost ||
      result == ImapClient::AppendResult::kLocalError)
    session.Close();
  return Judge(record, result, outcome, mail_id);
}

SyncUpload::Sent SyncUpload::Judge(const FileRecord& record, ImapClient::AppendResult result,
                                   const ImapClient::AppendOutcome& outcome, std::string& mail_id) {
  using Result = ImapClient::AppendResult;
  ImapClient& session = *engine_.task_session_;
  const std::string& text = outcome.server_text;
  SyncStatus& status = SyncStatus::Instance();
  switch (result) {
    case Result::kOk:
      // A UID learnt under another UIDVALIDITY would name another message.
      if (outcome.uid != 0 && outcome.uidvalidity == session.UidValidity() &&
          session.SelectedFolder() == engine_.Folder())
        mail_id = std::to_string(outcome.uid);
      ResumeUploads();
      engine_.quota_.NoteRoom();
      status.NoteQuotaFull(false);
      status.NoteOnline();
      return Sent::kDone;
    case Result::kOverQuota:
      Log()->Write(LOG_WARNING, "mailbox full, upload of %s waits: %s", record.name.c_str(),
                   text.c_str());
      engine_.quota_.Check(session, engine_.Folder(), engine_.clock_(), true);
      engine_.quota_.NoteFull();
      status.NoteQuotaFull(true);
      NoteUploadFailure(Pace::kLong);
      return Sent::kFailed;
    case Result::kThrottled:
      NoteThrottled(text);
      return Sent::kFailed;
    case Result::kConnectionLost:
      Log()->Write(LOG_WARNING, "upload of %s cut: %s", record.name.c_str(), text.c_str());
      if (NamesLimit(text)) {
        NoteThrottled(text);
      } else {
        NoteUploadFailure();
      }
      return Sent::kFailed;
    case Result::kTooBig:
      Log()->Write(LOG_ERROR, "upload of %s refused for good: %s", record.name.c_str(),
                   text.c_str());
      status.NoteError("cannot upload " + record.name + ": " + text);
      if (record.kind != RecordKind::kFilePart) {
        NoteUploadFailure(Pace::kLong);
        return Sent::kFailed;
      }
      engine_.refused_files_.insert(record.file_id);
      return Sent::kSkipped;
    case Result::kRefused:
      Log()->Write(LOG_WARNING, "upload of %s refused: %s", record.name.c_str(), text.c_str());
      status.NoteError("upload of " + record.name + " refused: " + text);
      NoteUploadFailure();
      return Sent::kFailed;
    case Result::kLocalError:
      break;
  }
  NoteUploadFailure();
  return Sent::kFailed;
}

bool SyncUpload::NamesLimit(const std::string& server_text) {
  // A goodbye that names a limit is the server's throttling too.
  std::string lower = server_text;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower.rfind("bye", 0) != 0) return false;
  for (const char* word : {"limit", "throttl", "too many", "[unavailable]", "quota"})
    if (lower.find(word) != std::string::npos) return true;
  return false;
}

void SyncUpload::NoteThrottled(const std::string& server_text) {
  Log()->Write(LOG_WARNING, "the server limits uploads, waiting: %s", server_text.c_str());
  SyncStatus::Instance().NoteError("the server limits uploads: " + server_text);
  NoteUploadFailure(Pace::kLong);
}

bool SyncUpload::FinishPart(const FileRecord& part, const std::string& mail_id) {
  bool claimed = true;
  {
    // The part's new stat and the change it makes to the tree in one
    // commit; a failure is reported, unlike the store's FinishUpdateFile.
    std::lock_guard<std::mutex> lock(engine_.namespace_mutex_);
    SyncQueries queries(engine_.account_.user);
    bool ok = mail_id.empty() ? queries.FinishUpload(part.file_id, part.part)
                              : queries.FinishUploadAt(part.file_id, part.part, mail_id, claimed);
    if (!ok) return false;
  }
  if (!claimed) {
    // Its file was deleted (or replaced) during the append.
    Log()->Write(LOG_INFO, "file of part %d deleted meanwhile, delete mail_id:%s", part.part,
                 mail_id.c_str());
    std::set<std::string> gone;
    DeleteRemote({mail_id}, gone);
  }
  return true;
}

bool SyncUpload::DeleteRemote(const std::set<std::string>& mail_ids) {
  std::set<std::string> gone;
  return DeleteRemote(mail_ids, gone);
}

bool SyncUpload::DeleteRemote(const std::set<std::string>& mail_ids, std::set<std::string>& gone) {
  if (mail_ids.empty()) return true;
  if (engine_.clock_() < engine_.delete_retry_at_) return false;
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
  ImapClient& session = *engine_.task_session_;
  ImapClient::DeleteOutcome outcome;
  ImapClient::DeleteResult result = ImapClient::DeleteResult::kConnectionLost;
  if (Open(session)) result = session.DeleteMessages(uids, outcome);
  if (result == ImapClient::DeleteResult::kConnectionLost) {
    session.Close();
    outcome.remaining = uids;  // nothing known
  }
  std::set<uint32_t> left(outcome.remaining.begin(), outcome.remaining.end());
  for (const auto& [uid, id] : asked)
    if (left.count(uid) == 0) gone.insert(id);
  // Space freed: a full mailbox may take the waiting parts now.
  if (engine_.quota_.Full() && gone.size() > 0) ResumeUploads();
  if (result == ImapClient::DeleteResult::kDone) {
    if (outcome.method == ImapClient::DeleteMethod::kTrashMove ||
        outcome.method == ImapClient::DeleteMethod::kTrashCopy) {
      if (!outcome.trash_expunged) Log()->Write(LOG_WARNING, "deleted messages left in the trash");
    }
    engine_.delete_backoff_ms_ = 0;
    return gone.size() == mail_ids.size();
  }
  Log()->Write(LOG_WARNING, "delete remote %s: %zu of %zu messages still there: %s",
               result == ImapClient::DeleteResult::kRefused ? "refused" : "not confirmed",
               left.size(), asked.size(), outcome.server_text.c_str());
  NoteDeleteFailure();
  return false;
}

void SyncUpload::WatchQuota() {
  QuotaWatch& quota = engine_.quota_;
  ImapClient& session = *engine_.task_session_;
  if (!quota.Due(engine_.clock_())) return;
  // While the mailbox is full this question is how room is found again:
  // worth opening the session for. Otherwise it rides on an open one.
  if (session.IsConnected()) {
    quota.Check(session, engine_.Folder(), engine_.clock_(), true);
  } else {
    if (!quota.Full()) return;
    quota.Postpone(engine_.clock_());  // once a period, offline too
    if (!Open(session)) return;        // which asks, the session being new
  }
  if (quota.RoomSinceFull() && engine_.backoff_ms_ != 0) {
    Log()->Write(LOG_INFO, "mailbox has room again, uploads resume");
    ResumeUploads();
  }
}

bool SyncUpload::UploadFolderIndex() {
  MetaStore store;
  std::map<std::string, FolderRecord> folders;
  std::map<int, FileRecord> files;
  TaskFolderRecord task;
  if (!store.GetAllFolders(folders) || !store.GetAllFiles(files) || !store.GetFolderTask(task)) {
    return false;
  }
  std::string text = FolderIndex::Compose(folders, files);
  std::string temp = DataDir() + "\\temp";
  MakeDir(temp);
  std::string index_path = temp + "\\folder.txt";
  if (!WriteWholeFile(index_path, WireCodePage::FromUtf8(text))) {
    RemoveFile(index_path);
    return false;
  }
  FileRecord record;
  record.name = "folder.txt";
  record.kind = RecordKind::kFolderIndex;
  record.from = record.to = engine_.account_.user;
  record.part = record.total_part = 1;
  record.file_id = task.file_id;
  if (!GetFileMd5(index_path, record.size, record.time, record.md5)) {
    RemoveFile(index_path);
    return false;
  }
  record.total_size = record.size;
  Log()->Write(LOG_INFO, "upfolder:%s", text.c_str());

  std::string eml = temp + "\\" + record.md5 + ".eml";
  EmlWriter writer(PartHeaders::ToMessage(record, index_path));
  int length = 0;
  bool ok = writer.SaveToEml(eml, length);
  std::string uid;
  ok = ok && Send(record, eml, uid) == Sent::kDone;
  // Known at once: the refresh need not fetch our own index to adopt it.
  if (ok && !uid.empty()) SyncQueries(engine_.account_.user).RecordOwnIndex(record.file_id, uid);
  RemoveFile(eml);
  RemoveFile(index_path);
  return ok;
}
