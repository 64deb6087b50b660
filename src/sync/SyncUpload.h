#pragma once

#include <future>
#include <set>
#include <string>

#include "mail/ImapClient.h"
#include "store/FileRecord.h"
#include "sync/SyncEngine.h"

class MetaStore;

// The upload side of the task step (SyncEngine::TaskStep): parts waiting in
// the store go up one message each, cached copies that changed or vanished
// under them are settled, remote messages of deleted files are deleted and
// the folder index goes up. Each answer of the server is judged here: a
// part named by APPENDUID is done at once; a full mailbox or a throttling
// server makes the uploads wait minutes and shows in SyncStatus; a file too
// big for the server is skipped; a delete counts only what the server no
// longer has.
// Thread contract: made, run and destroyed on the task thread (or by the
// caller of TaskStep while the engine is not started); it uses the engine's
// task session, upload and delete back-offs, quota watch and refused files,
// which belong to that thread. Store
// writes that change the tree, and the folder cache, are changed under the
// engine's namespace_mutex_. The message of the next part is written on a
// std::async thread that touches only its own record and file; ahead_ is the
// task thread's.
class SyncUpload {
 public:
  explicit SyncUpload(SyncEngine& engine) : engine_(engine) {}
  ~SyncUpload();
  SyncUpload(const SyncUpload&) = delete;
  SyncUpload& operator=(const SyncUpload&) = delete;

  // Uploads the waiting parts until none is left, an upload fails (the
  // back-off grows) or a cached copy is still settling. False when the store
  // failed.
  bool Run(MetaStore& store);
  bool UploadPart(const FileRecord& record);
  bool DeleteRemote(const std::set<std::string>& mail_ids);
  // Deletes the messages once the delete back-off allows; gone receives the
  // mail ids the server no longer has (deleted now or before). True when
  // every one is gone.
  bool DeleteRemote(const std::set<std::string>& mail_ids, std::set<std::string>& gone);
  bool UploadFolderIndex();
  // Asks the quota when due; room found again after a full mailbox lets the
  // uploads go at once.
  void WatchQuota();
  // Whether the last Run left parts waiting (a copy still settling, or a
  // failed upload).
  bool LeftWaiting() const { return left_waiting_; }

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
  enum class Turn { kNext, kDone, kFailed };
  // How one append ended for the loop: sent, failed (the back-off grows),
  // or the file is one the server refuses (skipped; the loop goes on).
  enum class Sent { kDone, kFailed, kSkipped };
  // How long the uploads wait after a failure: seconds, or minutes for a
  // full mailbox and a server that limits traffic.
  enum class Pace { kShort, kLong };
  enum class Source { kReadable, kGone, kChanged };

  // One part through the loop.
  Turn UploadNext(MetaStore& store);
  // The first waiting part with its cached copy's path; false when none
  // waits or the cache directory is unknown.
  bool NextPart(MetaStore& store, FileRecord& part);
  // The part's message file, taken from ahead_ when it was written there.
  Built TakeBuilt(const FileRecord& part, std::string& path);
  void BuildAhead(const FileRecord& part);
  void DropAhead();
  // DataDir + "\temp\" + md5 + "-" + part + ".eml": two parts of one file
  // may be on disk at once.
  static std::string MessagePath(const FileRecord& record);
  // Writes the part's message file; removes it again when that fails.
  static Built BuildMessage(FileRecord record, std::string path);
  // Appends the message file through the task session, then removes it.
  // mail_id receives the new message's UID when the server named it
  // (APPENDUID under the selected folder's UIDVALIDITY).
  Sent AppendMessage(const FileRecord& record, const std::string& path, int length,
                     std::string& mail_id);
  // The append itself, its answer judged (status, log, back-off).
  Sent Send(const FileRecord& record, const std::string& path, std::string& mail_id);
  Sent Judge(const FileRecord& record, ImapClient::AppendResult result,
             const ImapClient::AppendOutcome& outcome, std::string& mail_id);
  void NoteThrottled(const std::string& server_text);
  static bool NamesLimit(const std::string& server_text);
  // The part's stat and mail id after its append; a message whose file was
  // deleted meanwhile is deleted again. False when the store failed.
  bool FinishPart(const FileRecord& part, const std::string& mail_id);
  // Opens the task session when needed; a session just opened is asked its
  // quota.
  bool Open(ImapClient& session);
  void NoteUploadFailure(Pace pace = Pace::kShort);
  void NoteDeleteFailure();
  // The wait ends now (space came back).
  void ResumeUploads();
  // Whether a part's cached copy could still be read as recorded.
  static Source CheckSource(const FileRecord& part);
  // A gone copy drops the file (its uploaded parts are deleted remotely); a
  // changed one is recorded again from what the cache holds, or dropped when
  // that fails. False when the store could not record it.
  bool SettleSource(MetaStore& store, const FileRecord& part, const std::string& drive_path,
                    Source source);
  // True while the cached copy changed (content, time or name) less than
  // the engine's settle time ago.
  bool Settling(const std::string& cache_path) const;

  SyncEngine& engine_;
  std::string cache_;
  Ahead ahead_;
  std::set<int> settled_;  // files settled in this run: once each
  bool left_waiting_ = false;
};
