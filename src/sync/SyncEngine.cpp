#include "sync/SyncEngine.h"

#include <algorithm>
#include <system_error>

#include "log/CLog.h"
#include "platform/Locations.h"
#include "store/MailboxQueries.h"
#include "sync/DriveKeyMailbox.h"
#include "sync/SyncStatus.h"
#include "sync/TransferProgress.h"

namespace {

CLog* Log() { return CLog::Instance(); }

}  // namespace

SyncEngine& SyncEngine::Instance() {
  static SyncEngine engine(SyncStatus::Instance(), *TransferProgress::Instance(), ::DataDir());
  return engine;
}

SyncEngine::SyncEngine(SyncStatus& status, TransferProgress& progress, std::string data_dir)
    : context_(status, progress, std::move(data_dir)) {
  context_.content = &content_;
}

SyncEngine::~SyncEngine() { Stop(); }

void SyncEngine::Attach(const AccountRecord& account, FolderCache& cache) {
  context_.account = account;
  context_.cache = &cache;
  // Before the threads: a table added later would fail their statements.
  MailboxQueries(context_.data_dir, account.user).Migrate();
  content_.Reload();
}

bool SyncEngine::Start(const AccountRecord& account, FolderCache& cache) {
  if (context_.threads_on) return false;
  std::string sealed;
  if (context_.Key() == nullptr && DriveKeyMailbox::ReadLocal(context_.data_dir, account.user, sealed)) {
    // Unsealed, it would write in the clear what this drive keeps sealed.
    Log()->Write(LOG_ERROR, "the drive of %s is encrypted: not started without its key",
                 account.user.c_str());
    return false;
  }
  Attach(account, cache);
  task_.ResetSession();
  refresh_.ResetSession();
  content_.ResetSession();  // a stop before cut its fetches
  context_.mailbox.ResetBackoff();
  context_.running = true;
  context_.threads_on = true;
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
    context_.running = false;
    wake_.notify_all();
    refresh_.Wake();
    // A transfer under way may take long (a slow line, or a server that
    // stalls until the two-minute time-out): after a grace period its
    // sessions are cut, so a stop never waits on the network.
    cut = !wake_.wait_for(lock, std::chrono::milliseconds(kStopGraceMs),
                          [this] { return loops_running_ == 0; });
  }
  if (cut) {
    Log()->Write(LOG_WARNING, "sync stop: transfers cut after %d ms", kStopGraceMs);
    task_.AbortSession();
    refresh_.AbortSessions();
  }
  content_.CutSession();  // a read waiting on it fails at once
  if (task_thread_.joinable()) task_thread_.join();
  if (refresh_thread_.joinable()) refresh_thread_.join();
  context_.threads_on = false;
  task_.Logout();
  refresh_.Logout();
}

void SyncEngine::SetPeriodsForTest(int task_ms, int refresh_ms) {
  task_period_ms_ = std::max(1, task_ms);
  refresh_period_ms_ = std::max(1, refresh_ms);
}

void SyncEngine::TaskLoop() {
  while (context_.running) {
    task_.Step(task_period_ms_);
    AwaitTaskWork();
  }
}

void SyncEngine::RefreshLoop() {
  while (context_.running) {
    refresh_.Pass();
    if (!context_.running) break;
    refresh_.Await(refresh_period_ms_);
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
  int settle = task_.TakeSettleLeftMs();
  if (settle > 0) ms = std::min(ms, settle);
  if (!wake_.wait_for(lock, std::chrono::milliseconds(ms),
                      [this] { return !context_.running || task_woken_; })) {
    return;
  }
  // The changes that come with this one (a copy of many files, a time set
  // right after a close) go in the same step.
  wake_.wait_for(lock, std::chrono::milliseconds(kWakeCoalesceMs),
                 [this] { return !context_.running; });
  task_woken_ = false;
}

bool SyncEngine::SyncAddFile(const std::string& path, const std::string& md5) {
  return Woken(names_.AddFile(path, md5));
}

bool SyncEngine::SyncReplaceFile(const std::string& path, const std::string& md5) {
  return Woken(names_.ReplaceFile(path, md5));
}

bool SyncEngine::SyncDeleteFile(const std::string& path) { return Woken(names_.DeleteFile(path)); }

bool SyncEngine::SyncAddFolder(const std::string& path) { return Woken(names_.AddFolder(path)); }

bool SyncEngine::SyncDeleteFolder(const std::string& path) {
  return Woken(names_.DeleteFolder(path));
}

bool SyncEngine::SyncMoveFile(const std::string& old_path, const std::string& new_path) {
  return Woken(names_.MoveFile(old_path, new_path));
}

bool SyncEngine::SyncMoveFolder(const std::string& old_path, const std::string& new_path) {
  return Woken(names_.MoveFolder(old_path, new_path));
}

bool SyncEngine::SyncSetFileTime(const std::string& path, int time) {
  return Woken(names_.SetFileTime(path, time));
}
