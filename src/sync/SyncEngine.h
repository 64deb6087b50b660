#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "store/AccountRecord.h"
#include "sync/ContentCache.h"
#include "sync/RefreshWorker.h"
#include "sync/SyncContext.h"
#include "sync/SyncNamespace.h"
#include "sync/TaskWorker.h"

class FolderCache;
class MetaStore;
class SyncStatus;
class TransferProgress;

// Keeps the mailbox folder "tandrel" and the local store in step: the
// engine's public face. The task thread (TaskWorker) pushes local changes
// (uploads, remote deletes, the folder index); the refresh thread
// (RefreshWorker) pulls the mailbox (vanished parts, new parts and indexes,
// downloads). The drive calls the Sync* operations on its own threads
// (SyncNamespace). Pending work lives in the store only. Between passes the
// refresh thread waits in IDLE where the server offers it, and every local
// change wakes the task thread; the periods are the fallback. An engine is
// handed its status and progress sinks and its data directory, so several
// may live in one process.
//
// Thread contract: Attach, Start and Stop on one controlling thread; the
// Sync* operations and WakeTask from any thread; TaskStep and the refresh
// steps only while the engine is not started (tests). wait_mutex_ guards the
// task thread's pause, its wake-up flag and the count of running loops; it
// is a leaf lock.
class SyncEngine {
 public:
  static constexpr int kTaskPeriodMs = 1000;
  // The longest pause of the refresh thread between passes, in IDLE or not:
  // a server may be late with its word or never send it.
  static constexpr int kRefreshPeriodMs = 10000;
  // How long Stop lets a transfer under way finish before cutting it.
  static constexpr int kStopGraceMs = 2000;
  static constexpr const char* kFolder = SyncContext::kFolder;
  static constexpr size_t kMassLossParts = RefreshWorker::kMassLossParts;
  static constexpr int kUploadSettleMs = 100;
  static constexpr int kWakeCoalesceMs = 50;

  // The program's engine: the process-wide status and progress, the data
  // directory of the environment. Used by the drive session's shells.
  static SyncEngine& Instance();

  SyncEngine(SyncStatus& status, TransferProgress& progress, std::string data_dir);
  ~SyncEngine();
  SyncEngine(const SyncEngine&) = delete;
  SyncEngine& operator=(const SyncEngine&) = delete;

  // Seals everything this engine writes with key, and reads only what it
  // sealed: before Start.
  void SetKey(const DriveKey& key) { context_.drive_key = key; }
  // This machine's name as the trash shows it (the host name by default).
  void SetMachineName(std::string name) { context_.machine = std::move(name); }
  // Before Start: the next drive is a plain one (or has no key yet).
  void ClearKey() { context_.drive_key.reset(); }
  // Before Start: every session signs in by OAuth with tokens (null: the
  // account's password).
  void SetTokens(std::shared_ptr<AccessTokens> tokens) {
    context_.mailbox.SetTokens(std::move(tokens));
  }
  // Takes the account and the drive's cache without starting the threads;
  // the caller may then run TaskStep and RefreshPass itself.
  void Attach(const AccountRecord& account, FolderCache& cache);
  // Attach, then the task and the refresh threads. False when a thread could
  // not be started, the engine already runs, or the drive is encrypted (its
  // key copy is in the data directory) and no key was set.
  bool Start(const AccountRecord& account, FolderCache& cache);
  // Wakes and joins both threads, then logs the sessions out. Harmless when
  // not started.
  void Stop();
  bool Running() const { return context_.running; }

  // Test-only: shorter pauses of the two threads (milliseconds).
  void SetPeriodsForTest(int task_ms, int refresh_ms);
  // Test-only: the clock of the upload and delete back-offs.
  using Clock = SyncContext::Clock;
  void SetClockForTest(Clock clock) { context_.clock = std::move(clock); }
  // Test-only: the wall clock that change times are read against.
  void SetWallClockForTest(std::function<struct timespec()> clock) {
    context_.wall_clock = std::move(clock);
  }
  // Test-only: the clock of the opening back-off.
  void SetOpenClockForTest(Clock clock) { context_.mailbox.SetClock(std::move(clock)); }
  using RefreshPoint = RefreshWorker::Point;
  void SetRefreshHookForTest(RefreshWorker::Hook hook) { refresh_.SetHookForTest(std::move(hook)); }

  // One step of each thread, for callers that drive the engine themselves.
  bool TaskStep() { return task_.Step(task_period_ms_); }
  void RefreshPass() { refresh_.Pass(); }
  bool Refresh() { return refresh_.Refresh(); }
  void DownloadPending() { refresh_.DownloadPending(); }
  bool RebuildFolderCache() { return names_.Rebuild(); }
  static bool ParseFolderIndex(const std::string& message, std::vector<FolderRecord>& folders,
                               std::vector<FileRecord>& files, FileRecord& info) {
    return RefreshWorker::ParseFolderIndex(message, nullptr, folders, files, info);
  }

  // Drive threads. Paths are drive paths rooted at "\" without a trailing
  // backslash. md5: the copy's digest where the drive took it from the
  // bytes written (GetFileMd5's spelling); empty reads the copy.
  bool SyncAddFile(const std::string& path, const std::string& md5 = "");
  bool SyncReplaceFile(const std::string& path, const std::string& md5 = "");
  bool SyncDeleteFile(const std::string& path);
  bool SyncAddFolder(const std::string& path);
  bool SyncDeleteFolder(const std::string& path);
  bool SyncMoveFile(const std::string& old_path, const std::string& new_path);
  bool SyncMoveFolder(const std::string& old_path, const std::string& new_path);
  // The file's time (seconds) in its part rows, the folder cache and on its
  // cached copy. Parts still waiting carry it up; a file already in the
  // mailbox keeps it here until its next upload.
  bool SyncSetFileTime(const std::string& path, int time);
  // Whether every part of the file at path is in the cache (none waits for
  // its download); false for an unknown file.
  bool ContentCached(const std::string& path) { return names_.ContentCached(path); }

  // Milliseconds a cached copy must have been left alone before its parts
  // go up (0: at once). Programs set a copied file's time within
  // milliseconds of closing it (cp -p, rsync, tar); waiting lets that time
  // travel with the parts.
  void SetUploadSettleMs(int ms) { context_.upload_settle_ms = ms; }

  // Any thread: a local change waits for the task thread; it runs its step
  // after a short pause that gathers the changes made with this one.
  void WakeTask();

  // Drive threads: content on demand within the cache limit.
  ContentCache& Content() { return content_; }
  // Drive threads: the files open for writing, which the refresh leaves
  // alone until their last close.
  OpenWrites& Writing() { return context_.open_writes; }
  // Whether the store has a file at path, shown or still downloading.
  bool NameTaken(const std::string& path) { return names_.NameTaken(path); }

  std::string CacheRoot() const { return context_.CacheRoot(); }
  std::string CacheRoot(MetaStore& store) const { return context_.CacheRoot(store); }
  const AccountRecord& Account() const { return context_.account; }
  std::string Folder() const { return context_.Folder(); }
  const std::string& DataDirectory() const { return context_.data_dir; }
  SyncStatus& Status() { return context_.status; }
  TransferProgress& Progress() { return context_.progress; }

  // Milliseconds the uploads, the remote deletes and the openings wait now
  // after failures (0: none).
  int UploadBackoffMs() const { return task_.UploadBackoffMs(); }
  int DeleteBackoffMs() const { return task_.DeleteBackoffMs(); }
  int OpenBackoffMs() const { return context_.mailbox.BackoffMs(); }

 private:
  void TaskLoop();
  void RefreshLoop();
  // Runs loop on thread, counted in loops_running_ until it returns.
  void StartLoop(std::thread& thread, void (SyncEngine::*loop)());
  // The task thread's wait after a step: the period, the end of a copy's
  // settle time or a WakeTask, whichever comes first.
  void AwaitTaskWork();
  // WakeTask, then ok: what a drive-side operation returns.
  bool Woken(bool ok);

  SyncContext context_;
  ContentCache content_{context_};
  SyncNamespace names_{context_};
  TaskWorker task_{context_, names_};
  RefreshWorker refresh_{context_, names_};

  std::atomic<int> task_period_ms_{kTaskPeriodMs};
  std::atomic<int> refresh_period_ms_{kRefreshPeriodMs};
  std::mutex wait_mutex_;
  std::condition_variable wake_;
  int loops_running_ = 0;   // guarded by wait_mutex_
  bool task_woken_ = false;  // guarded by wait_mutex_
  std::thread task_thread_;
  std::thread refresh_thread_;
};
