#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "store/AccountRecord.h"
#include "store/FileRecord.h"
#include "store/FolderRecord.h"
#include "store/SyncQueries.h"
#include "sync/QuotaWatch.h"

class FolderCache;
class ImapClient;
class MailboxSession;
class MetaStore;
class RefreshWaiter;
class SyncNamespace;

// Keeps the mailbox folder "tandrel" and the local store in step. The task
// thread pushes local changes (uploads, remote deletes, the folder index);
// the refresh thread pulls the mailbox (vanished parts, new parts and
// indexes, downloads). The drive calls the Sync* operations on its own
// thread. Pending work lives in the store only. Between passes the refresh
// thread waits in IDLE where the server offers it (a change elsewhere starts
// the next pass at once), and every local change wakes the task thread; the
// periods are the fallback. The engine keeps the lifecycle, the threads, the
// sessions and the locks; SyncUpload (task thread), the refresh helpers here
// with SyncDownload (refresh thread) and SyncNamespace (drive threads) do the
// work.
//
// Thread contract: account_ and cache_ are set before the threads start and
// only read afterwards. task_session_ and the upload back-off belong to the
// task thread, refresh_session_ and ignored_uids_ to the refresh thread (or to
// the caller of TaskStep / RefreshPass while the engine is not started).
// namespace_mutex_ serialises every change of the folder tree, ftable and
// folder cache (drive operations, adoption of an index, removal of vanished
// files, cache rebuilds), so none of them works from a tree that another is
// replacing; it is never held during network traffic. Lock order:
// namespace_mutex_, then FolderCache's own mutex. wait_mutex_ only guards the
// task thread's pause, its wake-up flag and the count of running loops (the
// refresh thread waits in RefreshWaiter, woken through it); sessions_mutex_
// the pointer to the download session, which Stop may abort from its own
// thread.
class SyncEngine {
 public:
  static constexpr int kTaskPeriodMs = 1000;
  // The longest pause of the refresh thread between passes, in IDLE or not:
  // a server may be late with its word or never send it.
  static constexpr int kRefreshPeriodMs = 10000;
  static constexpr int kFirstBackoffMs = 1000;
  static constexpr int kMaxBackoffMs = 60000;
  // A full mailbox or a server that limits traffic: minutes, not seconds.
  static constexpr int kLongFirstBackoffMs = 60000;
  static constexpr int kLongMaxBackoffMs = 15 * 60000;
  // How long Stop lets a transfer under way finish before cutting it.
  static constexpr int kStopGraceMs = 2000;
  // The folder's name where the server lets it be created at the top.
  static constexpr const char* kFolder = "tandrel";

  // The process-wide engine used by the drive.
  static SyncEngine& Instance();

  SyncEngine();
  ~SyncEngine();
  SyncEngine(const SyncEngine&) = delete;
  SyncEngine& operator=(const SyncEngine&) = delete;

  // Takes the account and the drive's cache without starting the threads;
  // the caller may then run TaskStep and RefreshPass itself.
  void Attach(const AccountRecord& account, FolderCache& cache);
  // Attach, then the task and the refresh threads. False when a thread could
  // not be started or the engine already runs.
  bool Start(const AccountRecord& account, FolderCache& cache);
  // Wakes and joins both threads, then logs the sessions out. Harmless when
  // not started.
  void Stop();
  bool Running() const { return running_; }

  // Test-only: shorter pauses of the two threads (milliseconds).
  void SetPeriodsForTest(int task_ms, int refresh_ms);
  // Test-only: the clock of the upload back-off.
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  void SetClockForTest(Clock clock) { clock_ = std::move(clock); }
  // Test-only: called by the refresh once the folder is listed, and again
  // just before it learns the new messages: the task thread's moments.
  enum class RefreshPoint { kListed, kLearning };
  void SetRefreshHookForTest(std::function<void(RefreshPoint)> hook) {
    refresh_hook_ = std::move(hook);
  }

  // Task thread.
  bool TaskStep();
  bool UploadPart(const FileRecord& record);
  bool DeleteRemote(const std::set<std::string>& mail_ids);
  bool UploadFolderIndex();

  // Refresh thread.
  void RefreshPass();
  bool Refresh();
  void DownloadPending();
  bool RebuildFolderCache();
  // The folder rows, the ftable rows and the part header of an index
  // message; false without an attachment or without the "[folder]" line.
  static bool ParseFolderIndex(const std::string& message, std::vector<FolderRecord>& folders,
                               std::vector<FileRecord>& files, FileRecord& info);

  // Drive thread. Paths are drive paths rooted at "\" without a trailing
  // backslash.
  // md5: the copy's digest where the drive took it from the bytes written
  // (GetFileMd5's spelling); empty reads the copy.
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
  // Milliseconds a cached copy must have been left alone before its parts
  // go up (0: at once). Programs set a copied file's time within
  // milliseconds of closing it (cp -p, rsync, tar); waiting lets that time
  // travel with the parts.
  void SetUploadSettleMs(int ms) { upload_settle_ms_ = ms; }
  static constexpr int kUploadSettleMs = 100;

  // Any thread: a local change waits for the task thread; it runs its step
  // after a short pause that gathers the changes made with this one.
  void WakeTask();
  static constexpr int kWakeCoalesceMs = 50;

  // Whether every part of the file at path is in the cache (none waits for
  // its download); false for an unknown file.
  bool ContentCached(const std::string& path);

  // The account's cache directory as the setting row gives it now; empty
  // when unknown (then nothing is written locally).
  std::string CacheRoot() const;
  // The same through a store the caller has open (one open less).
  std::string CacheRoot(MetaStore& store) const;
  const AccountRecord& Account() const { return account_; }
  // The account's mailbox folder as the sessions opened it.
  std::string Folder() const;

  // Milliseconds the upload loop waits now after failed uploads (0: none).
  int UploadBackoffMs() const { return backoff_ms_; }
  // Milliseconds remote deletes wait now after failed ones (0: none).
  int DeleteBackoffMs() const { return delete_backoff_ms_; }

 private:
  // The download pass works on the engine's account, locks and cache.
  friend class SyncDownload;
  // The uploads work on the task session, the back-off and the locks.
  friend class SyncUpload;
  // The drive-side operations change the tree under namespace_mutex_.
  friend class SyncNamespace;
  enum class Outcome { kDone, kRetry, kBad, kLeft };

  void TaskLoop();
  void RefreshLoop();
  // Runs loop on thread, counted in loops_running_ until it returns.
  void StartLoop(std::thread& thread, void (SyncEngine::*loop)());
  // The task thread's wait after a step: the period, the end of a copy's
  // settle time or a WakeTask, whichever comes first.
  void AwaitTaskWork();
  // WakeTask, then ok: what a drive-side operation returns.
  bool Woken(bool ok);
  // Hands the session sinks that count its transfers in TransferProgress.
  static void CountTransfers(ImapClient& session);
  bool OpenMailbox(ImapClient& session);
  bool EnsureOpen(ImapClient& session);

  // Refresh helpers. What one listing says of the parts: only one recorded
  // before it was taken can be missing from it. A part recorded since (the
  // task's own append, done at its APPENDUID) is newer than the listing.
  struct ListedUids {
    std::set<std::string> listed;
    std::set<std::string> known_before;
    bool Gone(const std::string& id) const {
      return known_before.count(id) != 0 && listed.count(id) == 0;
    }
  };
  // What one listing pass has read and learnt so far: new parts are
  // recorded together, at an index (whose adoption looks at them) and at
  // the end; a pass cut short records them at the next one.
  struct Listing {
    Listing(MetaStore& s, SyncQueries& q, const ListedUids& r) : store(s), queries(q), remote(r) {}
    MetaStore& store;
    SyncQueries& queries;
    const ListedUids& remote;
    SyncQueries::Parts parts;
    bool parts_read = false;
    std::vector<FileRecord> learned;
    std::string index_mail_id;
    bool changed = false;
  };
  // Reads one new message's part header and learns the part or judges the
  // index; false ends the pass.
  bool LearnMessage(Listing& listing, const std::string& uid);
  bool LearnIndex(Listing& listing, const FileRecord& record);
  bool RecordLearned(Listing& listing);
  void DropVanished(MetaStore& store, const std::vector<std::string>& vanished, bool& changed);
  bool LearnPart(MetaStore& store, SyncQueries& queries, FileRecord& record,
                 const ListedUids& remote, SyncQueries::Parts& parts,
                 std::vector<FileRecord>& learned);
  // Our own append seen in the listing: the part takes its message, or the
  // message is marked for deletion when its file was deleted meanwhile.
  bool ClaimOwnAppend(MetaStore& store, SyncQueries& queries, FileRecord& record,
                      SyncQueries::PartRow& row);
  Outcome DownloadFolderIndex(const std::string& uid, const ListedUids& remote);
  Outcome AdoptIndex(const std::string& uid, const FileRecord& info,
                     std::vector<FolderRecord>& folders, std::vector<FileRecord>& files,
                     const ListedUids& remote);
  bool RebuildLocked();
  bool DeleteMessage(const std::string& uid);

  std::atomic<bool> running_{false};
  std::atomic<bool> threads_on_{false};
  std::atomic<int> task_period_ms_{kTaskPeriodMs};
  std::atomic<int> refresh_period_ms_{kRefreshPeriodMs};
  std::mutex wait_mutex_;
  std::condition_variable wake_;
  int loops_running_ = 0;  // guarded by wait_mutex_
  std::thread task_thread_;
  std::thread refresh_thread_;

  AccountRecord account_;
  FolderCache* cache_ = nullptr;
  std::mutex namespace_mutex_;

  std::unique_ptr<ImapClient> task_session_;
  std::unique_ptr<ImapClient> refresh_session_;
  // The session of the download pass under way, for Stop to cut; guarded by
  // sessions_mutex_ (a leaf lock).
  std::mutex sessions_mutex_;
  ImapClient* download_session_ = nullptr;

  std::atomic<int> upload_settle_ms_{0};

  // Wake-ups. task_woken_ is guarded by wait_mutex_; settle_left_ms_ is set
  // by the task thread's upload (the shortest settle time still to run) and
  // read by the same thread. The refresh waiter is woken by Stop.
  bool task_woken_ = false;
  std::atomic<int> settle_left_ms_{0};
  // The task thread's last index upload.
  std::chrono::steady_clock::time_point last_index_at_{};
  std::unique_ptr<RefreshWaiter> refresh_waiter_;

  std::atomic<int> backoff_ms_{0};
  std::chrono::steady_clock::time_point retry_at_{};
  Clock clock_ = [] { return std::chrono::steady_clock::now(); };
  std::function<void(RefreshPoint)> refresh_hook_;

  std::set<std::string> ignored_uids_;

  // Task thread: the server's quota, files whose messages the server
  // refuses for good (too big; retried after a restart) and the pace of
  // remote deletes.
  QuotaWatch quota_;
  std::set<int> refused_files_;
  std::atomic<int> delete_backoff_ms_{0};
  std::chrono::steady_clock::time_point delete_retry_at_{};

  // The drive-side operations; their own state is guarded by
  // namespace_mutex_.
  std::unique_ptr<SyncNamespace> namespace_ops_;

  // ---- opening sessions, and what a listing may be trusted with
  // (MailboxSession, SyncListing.cpp)
 public:
  // A listing that loses more parts than this, or more than a tenth of the
  // known ones, is checked again on a fresh session before files go.
  static constexpr size_t kMassLossParts = 3;
  // Test-only: the clock of the opening back-off.
  void SetOpenClockForTest(Clock clock);
  // Milliseconds an opening waits now after failed ones (0: none).
  int OpenBackoffMs() const;

 private:
  // The refresh session's complete or partial listing, after its NOOP; the
  // mail ids learnt again first when the folder's UIDVALIDITY changed
  // (relearnt).
  bool ListMailbox(std::vector<uint32_t>& uids, bool& complete, bool& relearnt);
  bool CheckUidValidity(const std::vector<uint32_t>& uids, bool complete, bool& relearnt);
  bool RelearnMailIds(const std::vector<uint32_t>& uids, uint32_t uidvalidity);
  // Keeps in vanished only the mail ids that a fresh session's complete
  // listing lacks too.
  void ConfirmVanished(std::vector<std::string>& vanished);
  // Header fetches in batches (one command per UID where the server needs
  // a whole-message fetch), each header learnt as LearnMessage does.
  bool LearnNewMessages(Listing& listing, const std::vector<uint32_t>& uids);
  bool LearnHeader(Listing& listing, const std::string& uid, const std::string& header);

  // Shared by every session of the engine; its own mutex.
  std::unique_ptr<MailboxSession> mailbox_;
};
