#include "drive/DriveSession.h"

#include <vector>

#include "drive/DriveCallbacks.h"
#include "drive/DriveContext.h"
#include "drive/FuseHost.h"
#include "log/CLog.h"
#include "platform/FileHelpers.h"
#include "store/MetaStore.h"
#include "sync/SyncEngine.h"
#include "sync/SyncStatus.h"

DriveSession::DriveSession(SyncEngine& engine) : engine_(engine), publisher_(engine.Status()) {}

DriveSession::~DriveSession() { Stop(); }

void DriveSession::SetPeriods(int task_ms, int refresh_ms) {
  task_ms_ = task_ms;
  refresh_ms_ = refresh_ms;
}

void DriveSession::SetUp() {
  std::vector<AccountRecord> accounts;
  {
    MetaStore store(engine_.DataDirectory());
    store.GetAccounts(accounts);
  }
  has_account_ = false;
  for (const AccountRecord& account : accounts) {
    if (account.is_default == 1) {
      account_ = account;
      has_account_ = true;
      break;
    }
  }
  if (!has_account_) return;
  engine_.Status().Reset();
  if (account_.pwd.empty()) account_.pwd = password_;
  if (task_ms_ > 0 || refresh_ms_ > 0) {
    engine_.SetPeriodsForTest(task_ms_ > 0 ? task_ms_ : SyncEngine::kTaskPeriodMs,
                              refresh_ms_ > 0 ? refresh_ms_ : SyncEngine::kRefreshPeriodMs);
  }
  engine_.SetUploadSettleMs(settle_ms_ >= 0 ? settle_ms_ : SyncEngine::kUploadSettleMs);
  engine_.Attach(account_, cache_);
  // The stored namespace shows from the first request on.
  engine_.RebuildFolderCache();
  engine_.Start(account_, cache_);
}

bool DriveSession::Start(const std::string& mount_point) {
  if (drive_thread_.joinable()) return false;
  stop_requested_ = false;
  mount_point_ = mount_point;
  MakeDir(mount_point_);
  SetUp();
  context_ = std::make_unique<DriveContext>(engine_, cache_, account_);
  DriveContext::Bind(context_.get());

  DriveOptions options;
  options.mount_point = mount_point_;
  options.thread_count = 1;
  FuseHost* host = nullptr;
  {
    std::lock_guard<std::mutex> lock(host_mutex_);
    host_ = std::make_unique<FuseHost>(options, DriveCallbacks::Table());
    host = host_.get();
  }
  drive_thread_ = std::thread([host] { host->Run(); });
  // Run ends at once when the mount fails; otherwise this returns on mount.
  if (!host->WaitMounted(30000)) {
    CLog::Instance()->Write(LOG_ERROR, "%s", kMountFailedText);
    RequestStop();
    Wait();
    return false;
  }
  publisher_.Start(account_.user, mount_point_);
  if (stop_requested_) RequestStop();
  return true;
}

void DriveSession::Wait() {
  if (drive_thread_.joinable()) drive_thread_.join();
  {
    std::lock_guard<std::mutex> lock(host_mutex_);
    host_.reset();
  }
  if (context_) {
    // Files still held open when the mount ended are recorded all the same.
    context_->FinishAll();
    DriveContext::Bind(nullptr);
    context_.reset();
  }
  engine_.Stop();
  publisher_.Stop();
}

void DriveSession::RequestStop() {
  stop_requested_ = true;
  std::lock_guard<std::mutex> lock(host_mutex_);
  if (host_) host_->RequestExit();
}

void DriveSession::Stop() {
  RequestStop();
  Wait();
}
