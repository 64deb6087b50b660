#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "LoopbackProxy.h"
#include "store/AccountRecord.h"
#include "store/KeptFiles.h"
#include "sync/FolderCache.h"
#include "sync/SyncEngine.h"
#include "sync/SyncStatus.h"
#include "sync/TransferProgress.h"

// One machine of the whole-sync tests: a real engine in the test process
// with its own data directory, cache, status and progress, reaching the
// server through a loopback proxy of its own (Cut takes it offline). Driven
// through the drive-side operations, and judged by its listing.
// Thread contract: the test's thread; Start runs the engine's own threads.
class EngineMachine {
 public:
  // A folder has size -1 and no digest.
  struct Entry {
    long long size = -1;
    std::string md5;
    bool operator==(const Entry& other) const { return size == other.size && md5 == other.md5; }
  };
  using Listing = std::map<std::string, Entry>;

  EngineMachine(const std::string& root, const std::string& user, const std::string& password,
                int server_port);
  ~EngineMachine();
  EngineMachine(const EngineMachine&) = delete;
  EngineMachine& operator=(const EngineMachine&) = delete;

  // The data directory, the account and the proxy; false when any fails.
  bool SetUp();

  // Drive paths ("\docs\a.txt"). Write makes or replaces the file.
  bool Write(const std::string& path, const std::string& bytes);
  bool Remove(const std::string& path) { return engine_.SyncDeleteFile(path); }
  bool Mkdir(const std::string& path) { return engine_.SyncAddFolder(path); }
  bool Rmdir(const std::string& path) { return engine_.SyncDeleteFolder(path); }
  bool Move(const std::string& from, const std::string& to) { return engine_.SyncMoveFile(from, to); }
  bool MoveFolder(const std::string& from, const std::string& to) {
    return engine_.SyncMoveFolder(from, to);
  }
  // The bytes of the cached copy ("" when there is none).
  std::string Read(const std::string& path) const;
  // n bytes from offset of it (fewer at its end).
  std::string ReadAt(const std::string& path, int64_t offset, size_t n) const;

  bool Step() { return engine_.TaskStep(); }
  // Lets go the trash and the versions, as `tandrel-cli trash empty` asks
  // the drive to (at its next step).
  bool EmptyTrash() {
    return KeptFiles(engine_.DataDirectory(), account_.user)
        .Ask({KeptFiles::Action::kEmpty, "", 0});
  }
  void Pass() { engine_.RefreshPass(); }
  bool Start(int task_ms, int refresh_ms);
  void Stop() { engine_.Stop(); }
  void Cut() { proxy_.Cut(); }
  void Restore() { proxy_.Restore(); }
  uint64_t BytesFromServer() const { return proxy_.BytesToClients(); }
  // Moves the engine's clocks (back-offs, openings) on: time that passed
  // while the machine was away.
  void Later(int ms) { offset_ms_ += ms; }

  // What the drive shows, with the digest of each file's cached copy
  // (without, when !digests: the cheap look of each round).
  Listing List(bool digests = true) const;
  // Parts still to move either way, plus the index changes still owed; -1
  // when the store cannot tell.
  int Pending() const;

  SyncEngine& engine() { return engine_; }
  SyncStatus& status() { return status_; }
  const std::string& Root() const { return root_; }
  std::string CacheDir() const;  // native, with a trailing "/"

  // Steps and passes on every machine until none has work left and all
  // list the same drive; then two more rounds, so stale indexes go too.
  static bool Converge(const std::vector<EngineMachine*>& machines, int max_rounds = 12);

 private:
  std::string root_;
  std::atomic<long long> offset_ms_{0};
  std::string data_dir_;
  AccountRecord account_;
  LoopbackProxy proxy_;
  SyncStatus status_;
  TransferProgress progress_;
  FolderCache cache_;
  SyncEngine engine_;
  std::string cache_root_;
};
