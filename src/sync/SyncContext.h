#pragma once

#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "message/DriveKey.h"
#include "store/AccountRecord.h"
#include "store/FileRecord.h"
#include "store/KeptRecord.h"
#include "sync/MailboxSession.h"
#include "sync/OpenWrites.h"

class ContentCache;
class FolderCache;
class ImapClient;
class MetaStore;
class SyncStatus;
class TransferProgress;

// What the task worker, the refresh worker and the drive-side operations of
// one engine share: the account and its data directory, the drive's folder
// cache, the lock over the folder tree, the mailbox opening, the run flags,
// and the status and progress sinks the engine was handed.
// Thread contract: account, cache, data_dir, drive_key and clock are set
// before the threads start and only read afterwards; status, progress and
// mailbox guard themselves; running, threads_on, upload_settle_ms,
// stale_sessions and appending are atomics.
// namespace_mutex serialises every change of the folder tree, ftable and
// folder cache; it is never held during network traffic. Lock order:
// namespace_mutex, then FolderCache's own mutex, then the sinks' own.
class SyncContext {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  // The folder's name where the server lets it be created at the top.
  static constexpr const char* kFolder = "tandrel";

  SyncContext(SyncStatus& status_sink, TransferProgress& progress_sink, std::string data);
  SyncContext(const SyncContext&) = delete;
  SyncContext& operator=(const SyncContext&) = delete;

  // A stop was asked for while the threads run: loops end their work early.
  bool Stopping() const { return threads_on && !running; }
  // The account's cache directory as the setting row gives it now; empty
  // when unknown (then nothing is written locally). The second form reads
  // through a store the caller has open.
  std::string CacheRoot() const;
  std::string CacheRoot(MetaStore& store) const;
  // The account's mailbox folder as the sessions opened it.
  std::string Folder() const;
  // Opens session on the account's folder; only a session that learns the
  // mail ids again (relearn: the refresh's) opens it under a new
  // UIDVALIDITY. A half-opened session is closed again.
  bool OpenMailbox(ImapClient& session, bool relearn);
  bool EnsureOpen(ImapClient& session, bool relearn = false);
  // Hands session the sinks that count its transfers in progress.
  void CountTransfers(ImapClient& session);
  // The key of an encrypted drive, null for a plain one.
  const DriveKey* Key() const { return drive_key ? &*drive_key : nullptr; }
  // The header field that carries a part's header object on this drive.
  std::string InfoField() const { return drive_key ? "X-tdr-sealed" : "X-tdr-info"; }
  // What the trash or the versions keep of file (its rows as read, at path),
  // stamped now on this machine.
  KeptRecord KeepAs(KeptKind kind, const FileRecord& file, const std::string& path) const;
  // Where messages are written before they go up.
  std::string TempDir() const { return data_dir + "\\temp"; }

  SyncStatus& status;
  TransferProgress& progress;
  const std::string data_dir;
  AccountRecord account;
  std::string machine;  // this machine's name, as the trash shows it
  std::optional<DriveKey> drive_key;
  FolderCache* cache = nullptr;
  MailboxSession mailbox;
  std::mutex namespace_mutex;
  OpenWrites open_writes;           // thread-safe itself
  ContentCache* content = nullptr;  // the engine's; set before the threads, guards itself
  std::atomic<bool> running{false};
  std::atomic<bool> threads_on{false};
  std::atomic<int> upload_settle_ms{0};
  // The server does not keep an open session's view current (the refresh
  // found out): sessions are opened afresh for each step and each delete.
  std::atomic<bool> stale_sessions{false};
  // The task worker has appends whose answers it has not recorded yet.
  std::atomic<bool> appending{false};
  Clock clock = [] { return std::chrono::steady_clock::now(); };
  // The wall clock that change times are read against.
  std::function<struct timespec()> wall_clock = [] {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return now;
  };
};
