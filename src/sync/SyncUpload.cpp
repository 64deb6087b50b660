// The upload side of the task step: parts up, settling of their cached
// copies, remote deletes and the folder index.
#include "sync/SyncUpload.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
  if (!built.ok) Log()->Write(LOG_DEBUG, "SaveToEml %s error", part.name.c_str());
  if (!built.ok || !AppendMessage(part, path, built.length)) {
    left_waiting_ = true;
    Log()->Write(LOG_DEBUG, "upload file:%s error", part.name.c_str());
    NoteUploadFailure();
    return Turn::kDone;
  }
  engine_.backoff_ms_ = 0;
  {
    // The part's new stat and the change it makes to the tree in one
    // commit; a failure is reported, unlike the store's FinishUpdateFile.
    std::lock_guard<std::mutex> lock(engine_.namespace_mutex_);
    SyncQueries queries(engine_.account_.user);
    if (!queries.FinishUpload(part.file_id, part.part)) return Turn::kFailed;
  }
  Log()->Write(LOG_DEBUG, "upload file:%s ok", part.name.c_str());
  // Stopping: the rest waits for the next start.
  if (engine_.threads_on_ && !engine_.running_) return Turn::kDone;
  return Turn::kNext;
}

bool SyncUpload::NextPart(MetaStore& store, FileRecord& part) {
  std::vector<FileRecord> list;
  store.GetPendingUpload(list);
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

void SyncUpload::NoteUploadFailure() {
  int now = engine_.backoff_ms_;
  int next = now == 0 ? SyncEngine::kFirstBackoffMs : std::min(now * 2, SyncEngine::kMaxBackoffMs);
  engine_.backoff_ms_ = next;
  engine_.retry_at_ = engine_.clock_() + std::chrono::milliseconds(next);
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
  return AppendMessage(record, path, built.length);
}

bool SyncUpload::AppendMessage(const FileRecord& record, const std::string& path, int length) {
  TransferProgress::Instance()->BeginUpload(SyncNames::ProgressName(record),
                                            static_cast<uint32_t>(length));
  Log()->Write(LOG_DEBUG, "begin upload file %s", record.name.c_str());
  ImapClient& session = *engine_.task_session_;
  bool ok = engine_.EnsureOpen(session) && session.Append(engine_.Folder(), path);
  if (!ok) session.Close();
  RemoveFile(path);
  Log()->Write(LOG_DEBUG, "end upload file %s", record.name.c_str());
  TransferProgress::Instance()->ClearUpload();
  return ok;
}

bool SyncUpload::DeleteRemote(const std::set<std::string>& mail_ids) {
  if (mail_ids.empty()) return true;
  ImapClient& session = *engine_.task_session_;
  bool ok = engine_.EnsureOpen(session) && session.Delete(mail_ids);
  if (!ok) session.Close();
  return ok;
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
  if (ok) {
    ImapClient& session = *engine_.task_session_;
    ok = engine_.EnsureOpen(session) && session.Append(engine_.Folder(), eml);
    if (!ok) session.Close();
  }
  RemoveFile(eml);
  RemoveFile(index_path);
  return ok;
}
