#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <ctime>
#include <future>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "mail/ImapClient.h"
#include "mail/MailResult.h"
#include "platform/UniqueFd.h"
#include "store/FileRecord.h"
#include "sync/Backoff.h"
#include "sync/QuotaWatch.h"
#include "sync/SyncResult.h"
#include "sync/TrashKeeper.h"

class DriveKey;
class MetaStore;
class SyncContext;
class SyncNamespace;
class SyncQueries;

// The task thread's work: files whose recording failed are recorded again,
// parts waiting in the store go up one message each, cached copies that
// changed or vanished under them are settled, remote messages of deleted
// files are deleted and the folder index goes up. Each answer of the server
// is judged here: a part named by APPENDUID is done at once; a full mailbox
// or a throttling server makes the uploads wait minutes and shows in the
// status; a file too big for the server is skipped; a delete counts only
// what the server no longer has.
// Thread contract: Step runs on the task thread (or on the caller's while
// the engine is not started), which alone touches the session, the
// back-offs, the quota watch, the refused files and the run's state. Abort
// may come from the stopping thread; the back-offs' and settle times' values
// may be read from any thread. Store writes that change the tree, and the
// folder cache, are changed under the context's namespace_mutex. The
// message of the next part is written on a std::async thread that touches
// only its own record and file; each lane's part is written and appended on
// a std::async thread that touches only that lane, its part and its answer,
// joined before the task thread reads them.
class TaskWorker {
 public:
  static constexpr int kFirstBackoffMs = 1000;
  static constexpr int kMaxBackoffMs = 60000;
  // A full mailbox or a server that limits traffic: minutes, not seconds.
  static constexpr int kLongFirstBackoffMs = 60000;
  static constexpr int kLongMaxBackoffMs = 15 * 60000;
  // Small files go up many at a time: a round trip each would bound them
  // by the latency, not the bandwidth.
  static constexpr int kBatchPartBytes = 1 << 20;
  static constexpr int64_t kBatchBytes = 8 << 20;
  static constexpr size_t kBatchParts = ImapClient::kAppendsInFlight;
  // Large parts go over this many connections at once (the upload session
  // among them) where the server lets the others open: one TCP stream, and
  // one server process, bound a transfer below what the line carries.
  static constexpr size_t kUploadLanes = 3;
  static constexpr size_t kLaneDepth = 4;  // parts a lane carries in one turn

  TaskWorker(SyncContext& context, SyncNamespace& names);
  ~TaskWorker();
  TaskWorker(const TaskWorker&) = delete;
  TaskWorker& operator=(const TaskWorker&) = delete;

  // One step; false when the store failed. index_period_ms paces the folder
  // index while files still settle.
  bool Step(int index_period_ms);
  // The shortest settle time still to run after the last step (0: none),
  // taken once.
  int TakeSettleLeftMs() { return settle_left_ms_.exchange(0); }

  // A new session: the cache folder may have moved since the last.
  void ResetSession();
  void AbortSession();
  void Logout();

  int UploadBackoffMs() const { return upload_backoff_.Ms(); }
  int DeleteBackoffMs() const { return delete_backoff_.Ms(); }

 private:
  struct Built {
    bool ok = false;
    int length = 0;
  };
  // The message of the file's next part, written while this one travels.
  struct Ahead {
    int file_id = 0;
    int part = 0;
    std::string path;
    std::future<Built> built;
  };
  // How one turn of the upload loop ended: go on with the next part, stop
  // for this step (nothing waits, a copy settles, an upload failed), or the
  // store failed.
  enum class Turn { kNext, kStop, kStoreFailed };
  // How long the uploads wait after a failure: seconds, or minutes for a
  // full mailbox and a server that limits traffic.
  enum class Pace { kShort, kLong };
  enum class Source { kReadable, kGone, kChanged };

  // Uploads the waiting parts until none is left, an upload fails (the
  // back-off grows) or a cached copy is still settling. False when the
  // store failed.
  bool RunUploads(MetaStore& store);
  // The remote deletes of the step; false when some still wait.
  bool DeleteDoomed(MetaStore& store);
  // Bytes the trash and the versions must give back for the uploads that
  // wait: after a refusal, or when the quota's room cannot take them; 0
  // when nothing needs room.
  int64_t RoomNeeded();
  void UploadIndexWhenDue(MetaStore& store, int index_period_ms);
  Turn UploadNext(MetaStore& store);
  Turn SendPart(FileRecord& part);
  // Small files whose messages go together: the first waiting part and the
  // ready single-part files after it, up to kBatchParts and kBatchBytes.
  std::vector<FileRecord> ReadyBatch(MetaStore& store, const FileRecord& first);
  // A batched part's message in memory, kept while held is open; path names
  // it for the client.
  Built BuildInMemory(const FileRecord& part, UniqueFd& held, std::string& path);
  // Their messages in flight together on the session, then judged.
  Turn SendBatch(std::vector<FileRecord>& batch);
  // ended: some answer left its session unusable.
  Turn JudgeBatch(const std::vector<FileRecord>& batch,
                  const std::vector<ImapClient::Appended>& appended, bool& ended);
  // Large parts ready to go over the lanes: the first waiting part and the
  // ready unbatchable parts after it, up to kLaneDepth a lane.
  std::vector<FileRecord> ReadyLanes(MetaStore& store, const FileRecord& first);
  // Their messages on the upload session and the lanes at once, then judged.
  Turn SendLanes(std::vector<FileRecord>& parts);
  // How a lane's part went: not sent when its lane did not open, its
  // message could not be written, or an earlier one on the lane failed.
  enum class LaneStep { kSent, kNotOpened, kNotBuilt, kNotTried };
  struct LaneRun {
    std::vector<ImapClient::Appended> appended;
    std::vector<LaneStep> steps;
  };
  // Every kUploadLanes-th part from first on lane, each message written
  // while the one before travels; writes only those parts' slots of run.
  void RunLane(ImapClient& lane, const std::vector<FileRecord>& parts, size_t first, LaneRun& run);
  // Leaves the parts whose messages fit the quota's room together (at
  // least the first): the rest wait for the next turn.
  void FitRoom(std::vector<FileRecord>& parts);
  // A part's message as it goes up: base64 in lines of 76, and its header.
  static uint64_t MessageBytes(int part_bytes) {
    const uint64_t base64 = (static_cast<uint64_t>(part_bytes > 0 ? part_bytes : 0) + 2) / 3 * 4;
    return base64 + base64 / 76 * 2 + 4096;
  }
  bool OpenLane(ImapClient& lane);
  void CloseLanes();
  static bool Batchable(const FileRecord& part) {
    return part.total_part == 1 && part.size <= kBatchPartBytes;
  }
  // The first waiting part with its cached copy's path; false when none
  // waits or the cache directory is unknown.
  bool NextPart(MetaStore& store, FileRecord& part);
  // The part's message file, taken from ahead_ when it was written there.
  Built TakeBuilt(const FileRecord& part, std::string& path);
  void BuildAhead(const FileRecord& part);
  void DropAhead();
  // temp + "\" + md5 + "-" + file id + "-" + part + ".eml": parts of one
  // file, and of files with one content, may be on disk at once.
  std::string MessagePath(const FileRecord& record) const;
  // Writes the part's message file; removes it again when that fails.
  static Built BuildMessage(FileRecord record, std::string temp, std::string path,
                            const DriveKey* key);
  // Appends the message file through the session, then removes it: done,
  // to be tried later (the back-off grows), or failed for good (a file the
  // server refuses: skipped, the loop goes on).
  // mail_id receives the new message's UID when the server named it
  // (APPENDUID under the selected folder's UIDVALIDITY).
  SyncResult AppendMessage(const FileRecord& record, const std::string& path, int length,
                     std::string& mail_id);
  // The append itself, its answer judged (status, log, back-off).
  SyncResult Send(const FileRecord& record, const std::string& path, std::string& mail_id);
  SyncResult Judge(const FileRecord& record, const MailResult& result,
                   const ImapClient::AppendOutcome& outcome, std::string& mail_id);
  SyncResult JudgeRefusal(const FileRecord& record, const MailResult& result);
  void NoteThrottled(const std::string& server_text);
  static bool NamesLimit(const std::string& server_text);
  // The part's stat and mail id after its append; a message whose file was
  // deleted meanwhile is deleted again. False when the store failed.
  // open: the store connection to use, else one of its own.
  bool FinishPart(const FileRecord& part, const std::string& mail_id,
                  SyncQueries* open = nullptr);
  // A message appended for a part that no longer waits belongs to nobody.
  void DropUnclaimed(const FileRecord& part, const std::string& mail_id);
  // The batch's appends that went through, recorded in one commit.
  bool FinishBatch(const std::vector<FileRecord>& batch,
                   const std::vector<ImapClient::Appended>& appended, SyncQueries& queries);
  // Opens the session when needed; a session just opened is asked its
  // quota.
  bool Open();
  void NoteUploadFailure(Pace pace = Pace::kShort);
  // Deletes the messages once the delete back-off allows; gone receives the
  // mail ids the server no longer has (deleted now or before). True when
  // every one is gone.
  bool DeleteRemote(const std::set<std::string>& mail_ids, std::set<std::string>& gone);
  bool UploadFolderIndex();
  // Asks the quota when due; room found again after a full mailbox lets the
  // uploads go at once.
  void WatchQuota();
  // Whether a part's cached copy could still be read as recorded.
  static Source CheckSource(const FileRecord& part);
  // A gone copy drops the file (its uploaded parts are deleted remotely); a
  // changed one is recorded again from what the cache holds, or dropped when
  // that fails. False when the store could not record it.
  bool SettleSource(MetaStore& store, const FileRecord& part, Source source);
  // True while the cached copy changed (content, time or name) less than
  // the context's settle time ago.
  bool Settling(const std::string& cache_path);

  SyncContext& context_;
  SyncNamespace& names_;
  ImapClient session_;
  // Opened for a run with large parts and logged out after it; a lane the
  // server does not let open leaves the others to go on alone until the
  // next session.
  std::array<ImapClient, kUploadLanes - 1> lanes_;
  bool lanes_refused_ = false;
  Backoff upload_backoff_{kFirstBackoffMs, kMaxBackoffMs};
  uint64_t grants_seen_ = 0;  // AccessTokens::Grants at the last step
  Backoff delete_backoff_{kFirstBackoffMs, kMaxBackoffMs};
  QuotaWatch quota_;
  TrashKeeper keeper_;
  // Files whose messages the server refuses for good (too big; retried
  // after a restart).
  std::set<int> refused_files_;
  std::atomic<int> settle_left_ms_{0};
  std::chrono::steady_clock::time_point last_index_at_{};

  // One step's upload run.
  std::string cache_;
  Ahead ahead_;
  std::set<int> settled_;  // files settled in this run: once each
  // Each settling copy's change time and when this thread first saw it.
  std::map<std::string, std::pair<struct timespec, std::chrono::steady_clock::time_point>>
      changes_seen_;
  bool left_waiting_ = false;
};
