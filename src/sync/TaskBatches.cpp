// TaskWorker: small files whose messages travel together, several APPENDs
// in flight on the task session (ImapClient::AppendMessages).
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>

#include "log/CLog.h"
#include "message/EmlWriter.h"
#include "platform/UniqueFd.h"
#include "store/MetaStore.h"
#include "store/SyncQueries.h"
#include "sync/PartHeaders.h"
#include "sync/SyncContext.h"
#include "sync/SyncNames.h"
#include "sync/TaskWorker.h"
#include "sync/TransferProgress.h"

namespace {

CLog* Log() { return CLog::Instance(); }

}  // namespace

std::vector<FileRecord> TaskWorker::ReadyBatch(MetaStore& store, const FileRecord& first) {
  std::vector<FileRecord> batch{first};
  std::vector<FileRecord> list;
  store.GetPendingUpload(list, refused_files_, kBatchParts);
  int64_t bytes = first.size;
  for (FileRecord& r : list) {
    if (r.file_id == first.file_id && r.part == first.part) continue;
    if (batch.size() >= kBatchParts || !Batchable(r) || bytes + r.size > kBatchBytes) break;
    r.from = r.to = context_.account.user;
    r.kind = RecordKind::kFilePart;
    r.cache_path = cache_ + r.drive_path;
    // A copy still being written, or not as recorded, has its own turn.
    if (CheckSource(r) != Source::kReadable || Settling(r.cache_path)) break;
    bytes += r.size;
    batch.push_back(std::move(r));
  }
  return batch;
}

// A batched message is written to memory (a memfd, which the client opens
// by its /proc path): for a small file, creating and removing a file in the
// temp folder costs more than the append.
TaskWorker::Built TaskWorker::BuildInMemory(const FileRecord& part, UniqueFd& held,
                                            std::string& path) {
  Built built;
  held = UniqueFd(::memfd_create("tandrel-message", MFD_CLOEXEC));
  if (!held.ok()) return built;
  path = "/proc/self/fd/" + std::to_string(held.get());
  EmlWriter writer(PartHeaders::ToMessage(part, part.cache_path));
  writer.SetKey(context_.Key());
  built.ok = writer.WriteTo(held.get(), built.length);
  return built;
}

TaskWorker::Turn TaskWorker::SendBatch(std::vector<FileRecord>& batch) {
  DropAhead();
  std::vector<std::string> paths;
  std::vector<UniqueFd> held(batch.size());
  int64_t bytes = 0;
  for (size_t i = 0; i < batch.size(); ++i) {
    std::string path;
    Built built = BuildInMemory(batch[i], held[i], path);
    if (!built.ok) break;  // that one goes in a turn of its own
    paths.push_back(path);
    bytes += built.length;
  }
  if (paths.size() < 2) return SendPart(batch.front());
  batch.resize(paths.size());
  std::vector<ImapClient::Appended> appended;
  bool opened = Open();
  if (opened) {
    context_.appending = true;
    context_.progress.BeginUpload(SyncNames::ProgressName(batch.front()),
                                  static_cast<uint32_t>(std::min<int64_t>(bytes, UINT32_MAX)));
    Log()->Write(LOG_DEBUG, "begin upload of %zu files from %s", batch.size(),
                 batch.front().name.c_str());
    session_.AppendMessages(context_.Folder(), paths, appended);
    context_.progress.ClearUpload();
  }
  if (!opened) {  // the status tells offline or the login's failure
    NoteUploadFailure();
    left_waiting_ = true;
    return Turn::kStop;
  }
  bool ended = false;
  Turn turn = JudgeBatch(batch, appended, ended);
  if (ended) session_.Close();
  context_.appending = false;
  return turn;
}

bool TaskWorker::FinishBatch(const std::vector<FileRecord>& batch,
                             const std::vector<ImapClient::Appended>& appended,
                             SyncQueries& queries) {
  std::vector<SyncQueries::Uploaded> named;
  std::vector<size_t> at;  // batch index of each named one
  for (size_t i = 0; i < batch.size(); ++i) {
    if (!appended[i].result.ok()) continue;
    std::string mail_id;
    Judge(batch[i], appended[i].result, appended[i].outcome, mail_id);
    Log()->Write(LOG_DEBUG, "upload file:%s ok", batch[i].name.c_str());
    if (mail_id.empty()) {
      if (!FinishPart(batch[i], mail_id, &queries)) return false;
      continue;
    }
    named.push_back({batch[i].file_id, batch[i].part, mail_id, false});
    at.push_back(i);
  }
  if (!named.empty()) {
    std::lock_guard<std::mutex> lock(context_.namespace_mutex);
    if (!queries.FinishUploadsAt(named)) return false;
  }
  for (size_t k = 0; k < named.size(); ++k) {
    if (!named[k].claimed) DropUnclaimed(batch[at[k]], named[k].mail_id);
  }
  return true;
}

TaskWorker::Turn TaskWorker::JudgeBatch(const std::vector<FileRecord>& batch,
                                        const std::vector<ImapClient::Appended>& appended,
                                        bool& ended) {
  // The answers that went through first, so that a refusal's back-off is not
  // undone by a later success.
  SyncQueries queries(context_.data_dir, context_.account.user);
  if (!FinishBatch(batch, appended, queries)) return Turn::kStoreFailed;
  Turn turn = context_.Stopping() ? Turn::kStop : Turn::kNext;
  bool judged = false;
  for (size_t i = 0; i < batch.size(); ++i) {
    const MailResult& result = appended[i].result;
    if (result.ok()) continue;
    Log()->Write(LOG_DEBUG, "upload file:%s error", batch[i].name.c_str());
    ended = ended || (!result.Refused() && !result.TooBig());
    // One wait for the batch: the first refusal paces the uploads, and the
    // others stay waiting; a file too big is skipped for good, each.
    if (judged && !result.TooBig()) continue;
    judged = judged || !result.TooBig();
    std::string mail_id;
    if (Judge(batch[i], result, appended[i].outcome, mail_id).retry_later()) {
      left_waiting_ = true;
      turn = Turn::kStop;
    }
  }
  return turn;
}
