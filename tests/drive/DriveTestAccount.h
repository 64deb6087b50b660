#pragma once

#include <memory>
#include <string>

#include "TempDir.h"
#include "drive/DriveContext.h"
#include "platform/Locations.h"
#include "sync/FolderCache.h"
#include "sync/SyncEngine.h"
#include "sync/SyncStatus.h"
#include "sync/TransferProgress.h"

// A drive served without a mount: private HOME and data directory, a stored
// current account, an engine attached but not started, and the callbacks'
// context bound to it. One test thread only.
class DriveTestAccount {
 public:
  DriveTestAccount();
  ~DriveTestAccount();

  bool ok() const { return ok_; }
  DriveContext& drive() { return *context_; }
  FolderCache& cache() { return cache_; }
  SyncEngine& engine() { return engine_; }
  // The local copy of a drive path.
  std::string Local(const std::string& path) const { return context_->LocalPath(path); }

 private:
  TempDir dir_{"drive"};
  ScopedEnv home_;
  ScopedEnv data_;
  bool ok_ = false;
  FolderCache cache_;
  SyncEngine engine_{SyncStatus::Instance(), *TransferProgress::Instance(), DataDir()};
  std::unique_ptr<DriveContext> context_;
};
