#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sync/FolderCache.h"
#include "store/AccountRecord.h"
#include "sync/StatusPublisher.h"

class DriveContext;
class FuseHost;
class SyncEngine;

// One running drive, independent of any user interface: the drive set-up
// (the default account's sync engine started, the namespace loaded), the
// mount served on its own drive thread, and the clean stop (unmount, then the
// engine's stop), so no dead mount is left behind.
// Thread contract: Start, Wait and Stop on one controlling thread;
// RequestStop from any thread (a signal thread, the tray). host_mutex_
// guards host_ against RequestStop.
class DriveSession {
 public:
  static constexpr const char* kMountFailedText = "加载驱动失败，请重启计算机再运行本程序";

  explicit DriveSession(SyncEngine& engine);
  ~DriveSession();
  DriveSession(const DriveSession&) = delete;
  DriveSession& operator=(const DriveSession&) = delete;

  // Shorter pauses of the engine's threads (0 keeps the engine's own).
  void SetPeriods(int task_ms, int refresh_ms);
  // How long a written file must be left alone before it goes up (tests
  // under load lengthen it; < 0 keeps the engine's own).
  void SetUploadSettleMs(int ms) { settle_ms_ = ms; }
  // The password of a session whose account row keeps none (not remembered).
  void SetPassword(const std::string& password) { password_ = password; }

  // Set-up, then the mount of mount_point (native, created when missing).
  // False when the mount failed; then nothing is left running.
  bool Start(const std::string& mount_point);
  // Blocks until the mount ended (an unmount from outside or RequestStop),
  // then stops the engine. Harmless when not started.
  void Wait();
  // Asks for the unmount; Wait then returns.
  void RequestStop();
  void Stop();

  bool HasAccount() const { return has_account_; }
  const std::string& MountPoint() const { return mount_point_; }

 private:
  void SetUp();

  SyncEngine& engine_;
  FolderCache cache_;
  AccountRecord account_;
  bool has_account_ = false;
  int task_ms_ = 0;
  int refresh_ms_ = 0;
  int settle_ms_ = -1;
  std::string password_;
  std::string mount_point_;
  std::unique_ptr<DriveContext> context_;
  StatusPublisher publisher_;
  std::mutex host_mutex_;
  std::unique_ptr<FuseHost> host_;  // guarded by host_mutex_
  std::thread drive_thread_;
  std::atomic<bool> stop_requested_{false};  // a stop asked for before the mount stood
};
