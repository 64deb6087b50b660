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
#include "sync/RefreshWaiter.h"
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
      refresh_waiter_(std::make_unique<RefreshWaiter>()),
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
    refresh_waiter_->Wake();
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

void SyncEngine::TaskLoop() {
  while (running_) {
    TaskStep();
    AwaitTaskWork();
  }
}

void SyncEngine::WakeTask() {
  std::lock_guard<std::mutex> lock(wait_mutex_);
  task_woken_ = true;
  wake_.notify_all();
}

// Each drive-side operation wakes the task thread, also after a failure: a
// file whose recording failed is recorded again by the step.
bool SyncEngine::Woken(bool ok) {
  WakeTask();
  return ok;
}

void SyncEngine::AwaitTaskWork() {
  std::unique_lock<std::mutex> lock(wait_mutex_);
  int ms = task_period_ms_;
  int settle = settle_left_ms_.exchange(0);
  if (settle > 0) ms = std::min(ms, settle);
  if (!wake_.wait_for(lock, std::chrono::milliseconds(ms),
                      [this] { return !running_ || task_woken_; })) {
    return;
  }
  // The changes that come with this one (a copy of many files, a time set
  // right after a close) go in the same step.
  wake_.wait_for(lock, std::chrono::milliseconds(kWakeCoalesceMs), [this] { return !running_; });
  task_woken_ = false;
}

void SyncEngine::RefreshLoop() {
  while (running_) {
    RefreshPass();
    if (!running_) break;
    // In IDLE a change the server tells of starts the next pass at once;
    // the period still bounds the wait, since a server may be late with its
    // word or never send it (a notification backend it lacks). A dropped
    // connection is opened again by the pass (EnsureOpen, with its back-off).
    RefreshWaiter::Reason reason = refresh_waiter_->Wait(
        *refresh_session_, std::min<int>(ImapClient::kIdleRenewMs, refresh_period_ms_),
        refresh_period_ms_);
    if (reason == RefreshWaiter::Reason::kDropped) {
      Log()->Write(LOG_INFO, "refresh: connection dropped while idling");
      refresh_session_->Close();
    }
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
  return true;
}

void SyncEngine::SetOpenClockForTest(Clock clock) { mailbox_->SetClock(std::move(clock)); }

int SyncEngine::OpenBackoffMs() const { return mailbox_->BackoffMs(); }

std::string SyncEngine::Folder() const {
  std::string folder = mailbox_->Folder();
  return folder.empty() ? kFolder : folder;
}

bool SyncEngine::EnsureOpen(ImapClient& session) {
  return session.IsConnected() || OpenMailbox(session);
}

std::string SyncEngine::CacheRoot() const {
  MetaStore store;
  return CacheRoot(store);
}

std::string SyncEngine::CacheRoot(MetaStore& store) const {
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
  // While files still settle (a copy of many files under way) the steps
  // come every few milliseconds: one index a period is enough then.
  int count = 0;
  bool index_due = !upload.LeftWaiting() ||
                   clock_() - last_index_at_ >= std::chrono::milliseconds(task_period_ms_);
  if (deleted && clock_() >= retry_at_ && index_due && store.GetUpFolderCount(count) &&
      count >= 1) {
    last_index_at_ = clock_();
    if (upload.UploadFolderIndex()) {
      store.SubUpFolderCount(count);
      Log()->Write(LOG_DEBUG, "upfodler ok,upcount=%d", count);
    } else {
      Log()->Write(LOG_WARNING, "upfodler err,upcount=%d", count);
    }
  }
  return true;
}

bool SyncEngine::UploadPart(const FileRecord& record) {
  return SyncUpload(*this).UploadPart(record);
}

bool SyncEngine::DeleteRemote(const std::set<std::string>& mail_ids) {
  return SyncUpload(*this).DeleteRemote(mail_ids);
}

bool SyncEngine::UploadFolderIndex() { return SyncUpload(*this).UploadFolderIndex(); }

// ------------------------------------------------------------- drive side

bool SyncEngine::SyncAddFile(const std::string& path, const std::string& md5) {
  return Woken(namespace_ops_->AddFile(path, md5));
}

bool SyncEngine::SyncReplaceFile(const std::string& path, const std::string& md5) {
  return Woken(namespace_ops_->ReplaceFile(path, md5));
}

bool SyncEngine::SyncDeleteFile(const std::string& path) {
  return Woken(namespace_ops_->DeleteFile(path));
}

bool SyncEngine::SyncAddFolder(const std::string& path) {
  return Woken(namespace_ops_->AddFolder(path));
}

bool SyncEngine::SyncDeleteFolder(const std::string& path) {
  return Woken(namespace_ops_->DeleteFolder(path));
}

bool SyncEngine::SyncMoveFile(const std::string& old_path, const std::string& new_path) {
  return Woken(namespace_ops_->MoveFile(old_path, new_path));
}

bool SyncEngine::SyncMoveFolder(const std::string& old_path, const std::string& new_path) {
  return Woken(namespace_ops_->MoveFolder(old_path, new_path));
}

bool SyncEngine::SyncSetFileTime(const std::string& path, int time) {
  return Woken(namespace_ops_->SetFileTime(path, time));
}

bool SyncEngine::ContentCached(const std::string& path) {
  return namespace_ops_->ContentCached(path);
}
