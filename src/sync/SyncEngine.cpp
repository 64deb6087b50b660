#include "sync/SyncEngine.h"

#include <algorithm>
#include <system_error>

#include "log/CLog.h"
#include "mail/ImapClient.h"
#include "platform/Locations.h"
#include "store/MailboxQueries.h"
#include "store/MetaStore.h"
#include "sync/FolderCache.h"
#include "sync/FolderIndex.h"
#include "sync/MailboxSession.h"
#include "sync/PartHeaders.h"
#include "sync/SyncNames.h"
#include "sync/SyncNamespace.h"
#include "sync/SyncStatus.h"
#include "sync/SyncUpload.h"
#include "sync/TransferProgress.h"

namespace {

CLog* Log() { return CLog::Instance(); }

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
      refresh_session_(std::make_unique<ImapClient>()),
      namespace_ops_(std::make_unique<SyncNamespace>(*this)),
      mailbox_(std::make_unique<MailboxSession>()) {
  CountTransfers(*task_session_);
  CountTransfers(*refresh_session_);
}

SyncEngine::~SyncEngine() { Stop(); }

void SyncEngine::Attach(const AccountRecord& account, FolderCache& cache) {
  account_ = account;
  cache_ = &cache;
  // Before the threads: a table added later would fail their statements.
  MailboxQueries(account_.user).Migrate();
}

bool SyncEngine::Start(const AccountRecord& account, FolderCache& cache) {
  if (threads_on_) return false;
  Attach(account, cache);
  task_session_->Reset();
  refresh_session_->Reset();
  mailbox_->ResetBackoff();
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
  // Only the refresh learns mail ids again under a new UIDVALIDITY.
  bool relearn = &session == refresh_session_.get();
  if (mailbox_->Open(session, account_, relearn) != MailboxSession::Result::kOpen) {
    // A half-opened session would pass the connected test and fail every
    // command after it; closed, its next user opens it again.
    session.Close();
    return false;
  }
  std::lock_guard<std::mutex> lock(folder_mutex_);
  folder_ = mailbox_->Folder();
  return true;
}

void SyncEngine::SetOpenClockForTest(Clock clock) { mailbox_->SetClock(std::move(clock)); }

int SyncEngine::OpenBackoffMs() const { return mailbox_->BackoffMs(); }

std::string SyncEngine::Folder() const {
  std::lock_guard<std::mutex> lock(folder_mutex_);
  return folder_;
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
    namespace_ops_->RecordUnrecorded(store);
  }

  SyncUpload upload(*this);
  upload.WatchQuota();
  if (clock_() >= retry_at_) {
    if (!upload.Run(store)) return false;
  }

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
  bool deleted = upload.DeleteRemote(doomed, gone);
  if (!gone.empty()) {
    std::lock_guard<std::mutex> lock(namespace_mutex_);
    for (const auto& mail_id : gone) store.DelFile(mail_id);
  }

  store.DelPendingFiles();

  // An index without a deleted file goes out only once that file's messages
  // are gone: another machine keeps a file whose messages it still sees.
  int count = 0;
  if (deleted && clock_() >= retry_at_ && store.GetUpFolderCount(count) && count >= 1) {
    if (upload.UploadFolderIndex()) {
      store.SubUpFolderCount(count);
      Log()->Write(LOG_DEBUG, "upfodler ok,upcount=%d", count);
    } else {
      Log()->Write(LOG_WARNING, "upfodler err,upcount=%d", count);
    }
  }
  return true;
}

bool SyncEngine::UploadPart(const FileRecord& record) { return SyncUpload(*this).UploadPart(record); }

bool SyncEngine::DeleteRemote(const std::set<std::string>& mail_ids) {
  return SyncUpload(*this).DeleteRemote(mail_ids);
}

bool SyncEngine::UploadFolderIndex() { return SyncUpload(*this).UploadFolderIndex(); }

// ------------------------------------------------------------- drive side

bool SyncEngine::SyncAddFile(const std::string& path) { return namespace_ops_->AddFile(path); }

bool SyncEngine::SyncReplaceFile(const std::string& path) {
  return namespace_ops_->ReplaceFile(path);
}

bool SyncEngine::SyncDeleteFile(const std::string& path) {
  return namespace_ops_->DeleteFile(path);
}

bool SyncEngine::SyncAddFolder(const std::string& path) { return namespace_ops_->AddFolder(path); }

bool SyncEngine::SyncDeleteFolder(const std::string& path) {
  return namespace_ops_->DeleteFolder(path);
}

bool SyncEngine::SyncMoveFile(const std::string& old_path, const std::string& new_path) {
  return namespace_ops_->MoveFile(old_path, new_path);
}

bool SyncEngine::SyncMoveFolder(const std::string& old_path, const std::string& new_path) {
  return namespace_ops_->MoveFolder(old_path, new_path);
}

bool SyncEngine::SyncSetFileTime(const std::string& path, int time) {
  return namespace_ops_->SetFileTime(path, time);
}

bool SyncEngine::ContentCached(const std::string& path) {
  return namespace_ops_->ContentCached(path);
}
