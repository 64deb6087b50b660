// TaskWorker: large parts over several connections at once, the upload
// session and up to kUploadLanes - 1 lanes opened beside it.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <future>
#include <optional>
#include <system_error>

#include "log/CLog.h"
#include "platform/FileHelpers.h"
#include "store/MetaStore.h"
#include "sync/MailboxSession.h"
#include "sync/SyncContext.h"
#include "sync/SyncNames.h"
#include "sync/TaskWorker.h"
#include "sync/TransferProgress.h"

namespace {

CLog* Log() { return CLog::Instance(); }

void RemoveFile(const std::string& path) { ::unlink(NativePath(path).c_str()); }

}  // namespace

void TaskWorker::ResetSession() {
  session_.Reset();
  for (ImapClient& lane : lanes_) lane.Reset();
  lanes_refused_ = false;
  cache_.clear();
}

void TaskWorker::AbortSession() {
  session_.Abort();
  for (ImapClient& lane : lanes_) lane.Abort();
}

void TaskWorker::Logout() {
  session_.Logout();
  CloseLanes();
}

void TaskWorker::CloseLanes() {
  for (ImapClient& lane : lanes_)
    if (lane.IsConnected()) lane.Logout();
}

std::vector<FileRecord> TaskWorker::ReadyLanes(MetaStore& store, const FileRecord& first) {
  std::vector<FileRecord> parts{first};
  if (lanes_refused_ || quota_.Full()) return parts;
  constexpr size_t kMost = kUploadLanes * kLaneDepth;
  std::vector<FileRecord> list;
  // Small files among them go in batches of their own later.
  store.GetPendingUpload(list, refused_files_, kMost + kBatchParts);
  for (FileRecord& r : list) {
    if (parts.size() >= kMost) break;
    if ((r.file_id == first.file_id && r.part == first.part) || Batchable(r)) continue;
    r.from = r.to = context_.account.user;
    r.kind = RecordKind::kFilePart;
    r.cache_path = cache_ + r.drive_path;
    if (CheckSource(r) != Source::kReadable || Settling(r.cache_path)) break;
    parts.push_back(std::move(r));
  }
  return parts;
}

void TaskWorker::FitRoom(std::vector<FileRecord>& parts) {
  // Appends in flight together are each checked against the usage before
  // any of them: a server lets them past its quota. Asked afresh, since the
  // last answer predates this drive's latest appends and other machines'.
  if (!quota_.Room().has_value()) return;
  quota_.Check(session_, context_.Folder(), context_.clock(), true);
  std::optional<uint64_t> room = quota_.Room();
  if (!room.has_value()) return;
  uint64_t planned = 0;
  size_t fit = 0;
  while (fit < parts.size()) {
    planned += MessageBytes(parts[fit].size);
    if (planned > *room) break;
    ++fit;
  }
  parts.resize(std::max<size_t>(fit, 1));
}

bool TaskWorker::OpenLane(ImapClient& lane) {
  // Without the shared back-off or the status: a server that limits
  // connections per account refuses a lane, not the drive.
  MailboxSession::Attempt attempt =
      MailboxSession::OpenOnce(lane, context_.account, context_.Folder(), context_.data_dir,
                               context_.mailbox.Tokens().get());
  if (!attempt.result.done()) {
    Log()->Write(LOG_INFO, "upload lane not opened (%s): %s", attempt.step,
                 attempt.server_text.c_str());
    lane.Close();
    return false;
  }
  context_.CountTransfers(lane);
  return true;
}

namespace {

// Written on a thread of its own, or at get() when none can be had.
template <typename Build, typename... Args>
auto Later(Build build, Args... args) {
  try {
    return std::async(std::launch::async, build, args...);
  } catch (const std::system_error&) {
    return std::async(std::launch::deferred, build, args...);
  }
}

}  // namespace

void TaskWorker::RunLane(ImapClient& lane, const std::vector<FileRecord>& parts, size_t first,
                         LaneRun& run) {
  if (&lane != &session_ && !lane.IsConnected() && !OpenLane(lane)) {
    for (size_t i = first; i < parts.size(); i += kUploadLanes) run.steps[i] = LaneStep::kNotOpened;
    return;
  }
  const std::string temp = context_.TempDir();
  size_t at = first;
  const DriveKey* key = context_.Key();
  std::future<Built> ahead = Later(BuildMessage, parts[at], temp, MessagePath(parts[at]), key);
  for (; at < parts.size(); at += kUploadLanes) {
    Built built = ahead.get();
    std::string path = MessagePath(parts[at]);
    if (!built.ok || context_.Stopping()) {
      if (built.ok) RemoveFile(path);
      if (!built.ok) run.steps[at] = LaneStep::kNotBuilt;
      return;
    }
    size_t next = at + kUploadLanes;
    if (next < parts.size())
      ahead = Later(BuildMessage, parts[next], temp, MessagePath(parts[next]), key);
    ImapClient::Appended& appended = run.appended[at];
    appended.result = lane.AppendMessage(context_.Folder(), path, appended.outcome);
    RemoveFile(path);
    run.steps[at] = LaneStep::kSent;
    const MailResult& result = appended.result;
    if (!result.ok()) {
      if (!result.Refused() && !result.TooBig()) lane.Close();
      break;
    }
  }
  if (ahead.valid() && ahead.get().ok) RemoveFile(MessagePath(parts[at + kUploadLanes]));
}

TaskWorker::Turn TaskWorker::SendLanes(std::vector<FileRecord>& parts) {
  DropAhead();
  if (!Open()) {  // the status tells offline or the login's failure
    NoteUploadFailure();
    left_waiting_ = true;
    return Turn::kStop;
  }
  FitRoom(parts);
  context_.appending = true;
  int64_t bytes = 0;
  for (const FileRecord& part : parts) bytes += part.size;
  context_.progress.BeginUpload(SyncNames::ProgressName(parts.front(), parts.back()),
                                static_cast<uint32_t>(std::min<int64_t>(bytes, UINT32_MAX)));
  LaneRun run{std::vector<ImapClient::Appended>(parts.size()),
              std::vector<LaneStep>(parts.size(), LaneStep::kNotTried)};
  std::vector<std::future<void>> running;
  for (size_t lane = 1; lane < kUploadLanes && lane < parts.size(); ++lane) {
    running.push_back(Later([this, &parts, &run, lane] {
      RunLane(lanes_[lane - 1], parts, lane, run);
    }));
  }
  RunLane(session_, parts, 0, run);
  for (auto& done : running) done.get();
  context_.progress.ClearUpload();
  // Only what was sent is judged; a part whose lane did not open waits for
  // the next turn, without a back-off.
  std::vector<FileRecord> sent;
  std::vector<ImapClient::Appended> answers;
  bool unbuilt = false;
  for (size_t i = 0; i < parts.size(); ++i) {
    lanes_refused_ = lanes_refused_ || run.steps[i] == LaneStep::kNotOpened;
    unbuilt = unbuilt || run.steps[i] == LaneStep::kNotBuilt;
    if (run.steps[i] != LaneStep::kSent) continue;
    sent.push_back(parts[i]);
    answers.push_back(run.appended[i]);
  }
  bool ended = false;
  Turn turn = JudgeBatch(sent, answers, ended);
  context_.appending = false;
  if (turn == Turn::kNext && unbuilt) {
    Log()->Write(LOG_DEBUG, "SaveToEml %s error", parts.front().name.c_str());
    NoteUploadFailure();
    left_waiting_ = true;
    turn = Turn::kStop;
  }
  return turn;
}
