#include "sync/SyncEngine.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <future>
#include <system_error>

#include "log/CLog.h"
#include "mail/ImapClient.h"
#include "message/EmlWriter.h"
#include "platform/FileHelpers.h"
#include "platform/Locations.h"
#include "platform/WireCodePage.h"
#include "store/MetaStore.h"
#include "sync/FolderCache.h"
#include "sync/FolderIndex.h"
#include "sync/PartHeaders.h"
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

SyncEngine& SyncEngine::Instance() {
  static SyncEngine engine;
  return engine;
}

void SyncEngine::CountTransfers(ImapClient& session) {
  TransferProgress* progress = TransferProgress::Instance();
  session.SetProgress([progress](uint32_t n) { progress->AddUploaded(n); },
                      [progress](uint32_t n) { progress->AddDownloaded(n); });
}

SyncEngine::SyncEngine()
    : task_session_(std::make_unique<ImapClient>()),
      refresh_session_(std::make_unique<ImapClient>()) {
  CountTransfers(*task_session_);
  CountTransfers(*refresh_session_);
}

SyncEngine::~SyncEngine() { Stop(); }

void SyncEngine::Attach(const AccountRecord& account, FolderCache& cache) {
  account_ = account;
  cache_ = &cache;
}

bool SyncEngine::Start(const AccountRecord& account, FolderCache& cache) {
  if (threads_on_) return false;
  Attach(account, cache);
  task_session_->Reset();
  refresh_session_->Reset();
  running_ = true;
  threads_on_ = true;
  try {
    StartLoop(task_thread_, &SyncEngine::TaskLoop);
    StartLoop(refresh_thread_, &SyncEngine::RefreshLoop);
  } catch (const std::system_error& e) {
    Log()->Write(LOG_ERROR, "start sync thread error:%s", e.what());
    Stop();
    return false;
  }
  return true;
}

void SyncEngine::StartLoop(std::thread& thread, void (SyncEngine::*loop)()) {
  {
    std::lock_guard<std::mutex> lock(wait_mutex_);
    ++loops_running_;
  }
  try {
    thread = std::thread([this, loop] {
      (this->*loop)();
      std::lock_guard<std::mutex> lock(wait_mutex_);
      --loops_running_;
      wake_.notify_all();
    });
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> lock(wait_mutex_);
    --loops_running_;
    throw;
  }
}

void SyncEngine::Stop() {
  bool cut = false;
  {
    std::unique_lock<std::mutex> lock(wait_mutex_);
    running_ = false;
    wake_.notify_all();
    // A transfer under way may take long (a slow line, or a server that
    // stalls until the two-minute time-out): after a grace period its
    // sessions are cut, so a stop never waits on the network.
    cut = !wake_.wait_for(lock, std::chrono::milliseconds(kStopGraceMs),
                          [this] { return loops_running_ == 0; });
  }
  if (cut) {
    Log()->Write(LOG_WARNING, "sync stop: transfers cut after %d ms", kStopGraceMs);
    task_session_->Abort();
    refresh_session_->Abort();
    std::lock_guard<std::mutex> lock(sessions_mutex_);
    if (download_session_ != nullptr) download_session_->Abort();
  }
  if (task_thread_.joinable()) task_thread_.join();
  if (refresh_thread_.joinable()) refresh_thread_.join();
  threads_on_ = false;
  task_session_->Logout();
  refresh_session_->Logout();
}

void SyncEngine::SetPeriodsForTest(int task_ms, int refresh_ms) {
  task_period_ms_ = std::max(1, task_ms);
  refresh_period_ms_ = std::max(1, refresh_ms);
}

void SyncEngine::Pause(int ms) {
  std::unique_lock<std::mutex> lock(wait_mutex_);
  wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !running_; });
}

void SyncEngine::TaskLoop() {
  while (running_) {
    TaskStep();
    Pause(task_period_ms_);
  }
}

void SyncEngine::RefreshLoop() {
  while (running_) {
    RefreshPass();
    Pause(refresh_period_ms_);
  }
}

bool SyncEngine::OpenMailbox(ImapClient& session) {
  bool ok = session.Connect(account_.down_server, account_.port, account_.ssl_flag != 0);
  if (!ok)
    SyncStatus::Instance().NoteOffline("the server " + account_.down_server + " cannot be reached");
  ok = ok && session.Login(account_.user, account_.pwd);
  // A server still talking after a failed login has refused it.
  if (!ok && session.IsConnected())
    SyncStatus::Instance().NoteError("the server refused the login");
  ok = ok && (session.Select(kFolder) || (session.Create(kFolder) && session.Select(kFolder)));
  if (ok) SyncStatus::Instance().NoteOnline();
  // A half-opened session would pass the connected test and fail every
  // command after it; closed, its next user opens it again.
  if (!ok) session.Close();
  return ok;
}

bool SyncEngine::EnsureOpen(ImapClient& session) {
  return session.IsConnected() || OpenMailbox(session);
}

std::string SyncEngine::CacheRoot() const {
  MetaStore store;
  SettingRecord setting;
  if (!store.ReadSetting(setting)) return "";
  return CacheDir(setting.data_dir, account_.user);
}

// ---------------------------------------------------------------- task step

bool SyncEngine::TaskStep() {
  MetaStore store;
  {
    std::lock_guard<std::mutex> lock(namespace_mutex_);
    RecordUnrecorded(store);
  }

  if (clock_() >= retry_at_) {
    if (!UploadLoop(store)) return false;
  }

  std::map<std::string, PartState> stats;
  if (!store.GetAllMailId(stats)) return false;
  std::set<std::string> doomed;
  for (const auto& [mail_id, stat] : stats) {
    if (mail_id.empty() || stat != PartState::kDeleted) continue;
    Log()->Write(LOG_DEBUG, "delete remote file:mail_id:%s", mail_id.c_str());
    doomed.insert(mail_id);
  }
  bool deleted = DeleteRemote(doomed);
  if (deleted && !doomed.empty()) {
    std::lock_guard<std::mutex> lock(namespace_mutex_);
    for (const auto& mail_id : doomed) store.DelFile(mail_id);
  }

  store.DelPendingFiles();

  // An index without a deleted file goes out only once that file's messages
  // are gone: another machine keeps a file whose messages it still sees.
  int count = 0;
  if (deleted && store.GetUpFolderCount(count) && count >= 1) {
    if (UploadFolderIndex()) {
      store.SubUpFolderCount(count);
      Log()->Write(LOG_DEBUG, "upfodler ok,upcount=%d", count);
    } else {
      Log()->Write(LOG_WARNING, "upfodler err,upcount=%d", count);
    }
  }
  return true;
}

bool SyncEngine::UploadLoop(MetaStore& store) {
  std::string cache;
  // The message of the file's next part is written while this one travels.
  struct Ahead {
    int file_id = 0;
    int part = 0;
    std::string path;
    std::future<Built> built;
  } ahead;
  std::set<int> settled;  // files settled in this loop: once each
  auto drop_ahead = [&ahead] {
    if (!ahead.built.valid()) return;
    ahead.built.wait();
    RemoveFile(ahead.path);
    ahead.built = {};
  };
  for (;;) {
    std::vector<FileRecord> list;
    store.GetPendingUpload(list);
    if (list.empty() || (cache.empty() && (cache = CacheRoot()).empty())) {
      drop_ahead();
      return true;  // nothing to do, or nowhere to read the content from
    }
    FileRecord part = list.front();
    const std::string drive_path = part.drive_path;
    part.from = part.to = account_.user;
    part.kind = RecordKind::kFilePart;
    part.cache_path = cache + drive_path;

    // A cached copy that is gone, or no longer the size recorded, would go
    // up wrong or not at all; waiting cannot mend it and would hold every
    // later upload.
    Source source = CheckSource(part);
    if (source == Source::kReadable && Settling(part.cache_path)) {
      drop_ahead();  // the next step takes it, with the time it has then
      return true;
    }
    if (source != Source::kReadable) {
      drop_ahead();
      if (!settled.insert(part.file_id).second) {  // still changing: later
        NoteUploadFailure();
        return true;
      }
      if (!SettleSource(store, part, drive_path, source)) return false;
      continue;
    }

    std::string path;
    Built built;
    if (ahead.built.valid() && ahead.file_id == part.file_id && ahead.part == part.part) {
      built = ahead.built.get();
      path = ahead.path;
    } else {
      drop_ahead();
      path = MessagePath(part);
      built = BuildMessage(part, path);
    }
    if (built.ok && part.part < part.total_part) {
      FileRecord next = part;
      ++next.part;
      next.size = next.part < next.total_part
                      ? MetaStore::kPartSize
                      : next.total_size - (next.total_part - 1) * MetaStore::kPartSize;
      ahead.file_id = next.file_id;
      ahead.part = next.part;
      ahead.path = MessagePath(next);
      try {
        ahead.built = std::async(std::launch::async, BuildMessage, next, ahead.path);
      } catch (const std::system_error&) {
        ahead.built = {};  // built in turn instead
      }
    }
    if (!built.ok) Log()->Write(LOG_DEBUG, "SaveToEml %s error", part.name.c_str());
    if (!built.ok || !AppendMessage(part, path, built.length)) {
      Log()->Write(LOG_DEBUG, "upload file:%s error", part.name.c_str());
      NoteUploadFailure();
      drop_ahead();
      return true;
    }
    backoff_ms_ = 0;
    {
      // The part's new stat and the change it makes to the tree in one
      // commit; a failure is reported, unlike the store's FinishUpdateFile.
      std::lock_guard<std::mutex> lock(namespace_mutex_);
      SyncQueries queries(account_.user);
      if (!queries.FinishUpload(part.file_id, part.part)) {
        drop_ahead();
        return false;
      }
    }
    Log()->Write(LOG_DEBUG, "upload file:%s ok", part.name.c_str());
    if (threads_on_ && !running_) {  // stopping: the rest waits for the next start
      drop_ahead();
      return true;
    }
  }
}

SyncEngine::Source SyncEngine::CheckSource(const FileRecord& part) {
  struct stat st {};
  if (::stat(NativePath(part.cache_path).c_str(), &st) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? Source::kGone : Source::kReadable;
  }
  if (!S_ISREG(st.st_mode)) return Source::kGone;
  return st.st_size == static_cast<off_t>(part.total_size) ? Source::kReadable : Source::kChanged;
}

bool SyncEngine::SettleSource(MetaStore& store, const FileRecord& part,
                              const std::string& drive_path, Source source) {
  std::lock_guard<std::mutex> lock(namespace_mutex_);
  if (source == Source::kChanged) {
    // Changed behind the drive's back: what the cache holds now is the file.
    Log()->Write(LOG_WARNING, "cached copy of %s changed, recorded again", drive_path.c_str());
    if (AddFileLocked(store, drive_path)) return true;
  }
  // Gone (or unreadable as a file): nothing is left to upload.
  Log()->Write(LOG_WARNING, "cached copy of %s is gone, file dropped", drive_path.c_str());
  SyncQueries queries(account_.user);
  if (!queries.MarkFileDeleted(part.file_id)) return false;
  std::string folder, name;
  if (SplitPath(drive_path, folder, name)) cache_->RemoveEntry(folder, name);
  CountChange(store);
  return true;
}

bool SyncEngine::Settling(const std::string& cache_path) const {
  int settle = upload_settle_s_;
  struct stat st {};
  if (settle <= 0 || ::stat(NativePath(cache_path).c_str(), &st) != 0) return false;
  // The change time moves with every write, time set and rename.
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec - st.st_ctim.tv_sec < settle;
}

void SyncEngine::NoteUploadFailure() {
  int next = backoff_ms_ == 0 ? kFirstBackoffMs : std::min(backoff_ms_ * 2, kMaxBackoffMs);
  backoff_ms_ = next;
  retry_at_ = clock_() + std::chrono::milliseconds(next);
}

std::string SyncEngine::MessagePath(const FileRecord& record) {
  return DataDir() + "\\temp\\" + record.md5 + "-" + std::to_string(record.part) + ".eml";
}

SyncEngine::Built SyncEngine::BuildMessage(FileRecord record, std::string path) {
  MakeDir(DataDir() + "\\temp");
  Built built;
  EmlWriter writer(PartHeaders::ToMessage(record, record.cache_path));
  built.ok = writer.SaveToEml(path, built.length);
  if (!built.ok) RemoveFile(path);
  return built;
}

bool SyncEngine::UploadPart(const FileRecord& record) {
  std::string path = MessagePath(record);
  Built built = BuildMessage(record, path);
  if (!built.ok) {
    Log()->Write(LOG_DEBUG, "SaveToEml %s error", record.name.c_str());
    return false;
  }
  return AppendMessage(record, path, built.length);
}

bool SyncEngine::AppendMessage(const FileRecord& record, const std::string& path, int length) {
  TransferProgress::Instance()->BeginUpload(SyncNames::ProgressName(record),
                                            static_cast<uint32_t>(length));
  Log()->Write(LOG_DEBUG, "begin upload file %s", record.name.c_str());
  bool ok = EnsureOpen(*task_session_) && task_session_->Append(kFolder, path);
  if (!ok) task_session_->Close();
  RemoveFile(path);
  Log()->Write(LOG_DEBUG, "end upload file %s", record.name.c_str());
  TransferProgress::Instance()->ClearUpload();
  return ok;
}

bool SyncEngine::DeleteRemote(const std::set<std::string>& mail_ids) {
  if (mail_ids.empty()) return true;
  bool ok = EnsureOpen(*task_session_) && task_session_->Delete(mail_ids);
  if (!ok) task_session_->Close();
  return ok;
}

bool SyncEngine::UploadFolderIndex() {
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
  record.from = record.to = account_.user;
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
    ok = EnsureOpen(*task_session_) && task_session_->Append(kFolder, eml);
    if (!ok) task_session_->Close();
  }
  RemoveFile(eml);
  RemoveFile(index_path);
  return ok;
}
