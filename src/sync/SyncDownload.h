#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mail/ImapClient.h"
#include "store/FileRecord.h"
#include "store/MetaStore.h"
#include "sync/SyncResult.h"

class RunningMd5;
class SyncContext;

// One download pass of the refresh thread (RefreshWorker::DownloadPending):
// the parts waiting for their content are fetched on a PartFetcher thread
// through the listing's session (or, when that one is closed, a session of
// the pass's own), written into the cached files, and recorded one file at
// a time.
// Thread contract: made, run and destroyed on the refresh thread, which
// leaves the listing's session to the fetcher meanwhile; Fetch alone runs on
// the fetcher's thread and touches only the session and the spare buffers
// (spare_mutex_, a leaf lock). Store writes and the folder cache are
// changed under the context's namespace_mutex; an own session is announced
// (and withdrawn, as nullptr) so that a stop may cut it.
class SyncDownload {
 public:
  using Announce = std::function<void(ImapClient* session)>;
  // How often each file's whole content failed its digest; kept by the
  // caller from pass to pass. A file that failed kMaxDigestFailures times
  // is fetched no more until the program starts again.
  using DigestFailures = std::map<int, int>;
  static constexpr int kMaxDigestFailures = 3;
  SyncDownload(SyncContext& context, ImapClient& listing, Announce announce,
               DigestFailures& failures);
  ~SyncDownload();
  SyncDownload(const SyncDownload&) = delete;
  SyncDownload& operator=(const SyncDownload&) = delete;

  void Run();

 private:
  struct Fetched {
    SyncResult result = SyncResult::RetryLater("not fetched");
    std::string message;
  };

  // Fetcher thread: the part's whole message.
  Fetched Fetch(const FileRecord& part);
  // Writes or drops part i as its fetch went; false ends the pass.
  bool Settle(size_t i, Fetched& got);
  // Writes one fetched part message into the cached file.
  // Done (written), try again in the next pass, or failed for good (the
  // part is dropped).
  SyncResult WritePart(const FileRecord& record, const std::string& message);
  // Parts written but not yet at stat 0: recorded together, one commit per
  // file. A pass cut short downloads them again.
  bool RecordWritten();
  // Whether the whole cached copy at path has the file's digest; a copy
  // that has not goes back to waiting for its download.
  bool DigestMatches(const FileRecord& part, const std::string& path);

  SyncContext& context_;
  Announce announce_;
  DigestFailures& failures_;
  MetaStore store_;
  std::vector<FileRecord> list_;
  std::string cache_root_;
  ImapClient& listing_;
  ImapClient own_;
  ImapClient* session_ = nullptr;  // one of the two
  std::vector<FileRecord> written_;
  // The digest of the file being written, taken as its parts go in order
  // from the first: a file downloaded whole in this pass is not read back.
  std::unique_ptr<RunningMd5> digest_;
  int digest_file_ = 0;
  // Buffers go back to be filled again once their part is written: each
  // part lands in memory already in use, not in fresh pages.
  std::mutex spare_mutex_;
  std::vector<std::string> spare_messages_;  // guarded by spare_mutex_
  std::string content_buffer_;               // the writer's own
};
