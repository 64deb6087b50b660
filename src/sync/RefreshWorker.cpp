// The refresh thread's pass: the mailbox listing, learning parts and
// indexes, and the adoption of an index; SyncDownload fetches the content.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "log/CLog.h"
#include "mail/ImapClient.h"
#include "message/MailParser.h"
#include "platform/FileHelpers.h"
#include "platform/UniqueFd.h"
#include "platform/WireCodePage.h"
#include "store/MetaStore.h"
#include "sync/FolderCache.h"
#include "sync/FolderIndex.h"
#include "sync/PartHeaders.h"
#include "sync/SyncDownload.h"
#include "sync/RefreshWorker.h"
#include "sync/SyncContext.h"
#include "sync/SyncNamespace.h"
#include "sync/SyncNames.h"
#include "sync/SyncStatus.h"
#include "sync/TransferProgress.h"
#include "sync/TreeMerge.h"

namespace {

CLog* Log() { return CLog::Instance(); }

std::string ParentDir(const std::string& path) {
  std::string folder, name;
  return SplitPath(path, folder, name) ? folder : std::string();
}

// A local file survives an index that does not list it while every part
// of it is still on its way up or still in the mailbox: it was added here
// (or elsewhere) after that index was written. A file deleted elsewhere
// has lost its messages by now.
template <typename GoneFn>
std::set<int> AliveFiles(const SyncQueries::Parts& parts, GoneFn gone) {
  std::map<int, bool> alive;
  for (const auto& [key, row] : parts) {
    bool part_alive = row.stat == PartState::kAwaitingUpload || row.stat == PartState::kAppended ||
                      ((row.stat == PartState::kCached || row.stat == PartState::kAwaitingDownload) &&
                       !gone(row.mail_id));
    auto found = alive.find(key.first);
    alive[key.first] = (found == alive.end() ? true : found->second) && part_alive;
  }
  std::set<int> keep;
  for (const auto& [id, is_alive] : alive) {
    if (is_alive) keep.insert(id);
  }
  return keep;
}

// Moves the cached copies of moved files (back, when !forward) through a
// staging folder, so that swapped names cannot collide.
void MoveCached(const std::string& cache, const std::vector<TreeMerge::Move>& moves,
                bool forward) {
  if (cache.empty() || moves.empty()) return;
  std::string staging = cache + "\\.tandrel-staging\\";
  MakeDir(staging);
  for (const auto& m : moves) {
    std::string from = cache + (forward ? m.from : m.to);
    std::string stage = staging + std::to_string(m.file_id);
    if (FileExists(from)) ::rename(NativePath(from).c_str(), NativePath(stage).c_str());
  }
  for (const auto& m : moves) {
    std::string to = cache + (forward ? m.to : m.from);
    std::string stage = staging + std::to_string(m.file_id);
    if (!FileExists(stage)) continue;
    MakeDir(cache + ParentDir(forward ? m.to : m.from));
    ::rename(NativePath(stage).c_str(), NativePath(to).c_str());
  }
  ::rmdir(NativePath(staging).c_str());
}

// Makes the directories of the adopted tree; those of folders gone from it
// go when empty, deepest first.
void TidyCacheFolders(const std::string& cache, const std::vector<FolderRecord>& folders,
                      const std::map<std::string, FolderRecord>& local_folders) {
  std::set<std::string> now;
  for (const auto& f : folders) {
    now.insert(f.full_name);
    MakeDir(cache + f.full_name);
  }
  for (auto it = local_folders.rbegin(); it != local_folders.rend(); ++it) {
    if (now.count(it->first) == 0) ::rmdir(NativePath(cache + it->first).c_str());
  }
}

// The row of a part just learnt, waiting for its download.
SyncQueries::PartRow NewPartRow(const FileRecord& record) {
  SyncQueries::PartRow row;
  row.file_id = record.file_id;
  row.part = record.part;
  row.stat = PartState::kAwaitingDownload;
  row.size = record.size;
  row.total_size = record.total_size;
  row.total_part = record.total_part;
  row.mail_id = record.mail_id;
  row.md5 = record.md5;
  return row;
}

}  // namespace

RefreshWorker::RefreshWorker(SyncContext& context, SyncNamespace& names)
    : context_(context), names_(names) {
  context_.CountTransfers(session_);
}

void RefreshWorker::Pass() {
  if (!context_.cache->HasFolders()) names_.Rebuild();
  Refresh();
  DownloadPending();
}

void RefreshWorker::Await(int pause_ms) {
  // In IDLE a change the server tells of starts the next pass at once; the
  // period still bounds the wait, since a server may be late with its word
  // or never send it (a notification backend it lacks). A dropped
  // connection is opened again by the pass (EnsureOpen, with its back-off).
  RefreshWaiter::Reason reason =
      waiter_.Wait(session_, std::min<int>(ImapClient::kIdleRenewMs, pause_ms), pause_ms);
  if (reason == RefreshWaiter::Reason::kDropped) {
    Log()->Write(LOG_INFO, "refresh: connection dropped while idling");
    session_.Close();
  }
}

bool RefreshWorker::EnsureOpen(ImapClient& session) {
  // Only the refresh learns mail ids again under a new UIDVALIDITY.
  return context_.EnsureOpen(session, &session == &session_);
}

void RefreshWorker::RegisterDownload(ImapClient* session) {
  std::lock_guard<std::mutex> lock(download_mutex_);
  download_session_ = session;
  if (session != nullptr && context_.Stopping()) session->Abort();
}

void RefreshWorker::AbortSessions() {
  session_.Abort();
  std::lock_guard<std::mutex> lock(download_mutex_);
  if (download_session_ != nullptr) download_session_->Abort();
}

bool RefreshWorker::Refresh() {
  Log()->Write(LOG_DEBUG, "begin refresh");
  // The records are read before the listing: a part recorded after it was
  // taken (the task's own append) is not one the listing can lack.
  MetaStore store(context_.data_dir);
  std::map<std::string, PartState> local;
  if (!store.GetAllMailId(local)) return false;
  std::vector<uint32_t> uids;
  bool complete = false, relearnt = false;
  if (!ListMailbox(uids, complete, relearnt)) return false;
  if (hook_) hook_(Point::kListed);
  ListedUids remote;
  for (uint32_t uid : uids) remote.listed.insert(std::to_string(uid));
  if (relearnt) {
    // New mail ids replaced those read; the next pass judges what is gone.
    local.clear();
    if (!store.GetAllMailId(local)) return false;
  } else {
    for (const auto& known : local) remote.known_before.insert(known.first);
  }

  bool changed = false;
  std::vector<std::string> vanished = Vanished(local, remote, uids.size(), complete);
  if (!vanished.empty()) DropVanished(store, vanished, changed);

  SyncQueries queries(context_.data_dir, context_.account.user);
  Listing listing(store, queries, remote);
  listing.changed = changed;
  store.GetFolderMailId(listing.index_mail_id);
  std::vector<uint32_t> unknown;
  for (uint32_t uid : uids) {
    std::string id = std::to_string(uid);
    if (local.count(id) == 0 && id != listing.index_mail_id && ignored_uids_.count(id) == 0)
      unknown.push_back(uid);
  }
  if (hook_) hook_(Point::kLearning);
  bool ok = LearnNewMessages(listing, unknown);
  if (!RecordLearned(listing)) ok = false;
  if (listing.changed) names_.Rebuild();
  Log()->Write(LOG_DEBUG, "end refresh");
  return ok;
}

std::vector<std::string> RefreshWorker::Vanished(const std::map<std::string, PartState>& local,
                                                const ListedUids& remote, size_t listed,
                                                bool complete) {
  std::vector<std::string> vanished;
  size_t known = 0;
  for (auto it = local.rbegin(); it != local.rend(); ++it) {
    PartState state = it->second;
    if (it->first.empty() || (state != PartState::kCached && state != PartState::kAwaitingDownload))
      continue;
    ++known;
    if (remote.Gone(it->first)) vanished.push_back(it->first);
  }
  if (!vanished.empty() && !complete) {
    // A server in trouble or a folder being rewritten lists less than it
    // holds: nothing is judged gone from such a listing.
    Log()->Write(LOG_WARNING, "listing of %zu messages is not complete: %zu parts not seen kept",
                 listed, vanished.size());
    vanished.clear();
  }
  if (vanished.size() > kMassLossParts || vanished.size() * 10 > known) ConfirmVanished(vanished);
  return vanished;
}

bool RefreshWorker::RecordLearned(Listing& listing) {
  bool done = listing.queries.AddLearnedParts(listing.learned);
  listing.learned.clear();
  return done;
}

bool RefreshWorker::LearnMessage(Listing& listing, const std::string& uid) {
  std::string header;
  if (!EnsureOpen() || !session_.GetHeader(uid, header)) {
    session_.Close();
    return false;
  }
  return LearnHeader(listing, uid, header);
}

bool RefreshWorker::LearnHeader(Listing& listing, const std::string& uid, const std::string& header) {
  if (header.find("X-tdr-info:") == std::string::npos) {
    // Not one of ours (a stray mail, another program's): never again.
    Log()->Write(LOG_WARNING, "pass over message without part header, mail_id:%s", uid.c_str());
    ignored_uids_.insert(uid);
    return true;
  }
  MailParser parser;
  parser.Parse(header);
  FileRecord record = PartHeaders::FromMessage(parser.info);
  record.mail_id = uid;
  if (record.kind != RecordKind::kFilePart) return LearnIndex(listing, record);
  if (!SyncNames::PlausiblePart(record)) {
    Log()->Write(LOG_WARNING, "pass over part header that does not add up, mail_id:%s",
                 uid.c_str());
    ignored_uids_.insert(uid);
    return true;
  }
  if (!listing.parts_read) {
    if (!listing.queries.GetAllParts(listing.parts)) return false;
    listing.parts_read = true;
  }
  return LearnPart(listing, record);
}

bool RefreshWorker::LearnIndex(Listing& listing, const FileRecord& record) {
  const std::string& uid = record.mail_id;
  TaskFolderRecord task;
  if (!listing.store.GetFolderTask(task)) return false;
  FolderIndex::Verdict verdict = FolderIndex::Judge(record.file_id, uid, task);
  if (verdict == FolderIndex::Verdict::kAdopt) {
    // The adoption looks at the parts learnt so far.
    if (!RecordLearned(listing)) return false;
    Log()->Write(LOG_DEBUG, "download folderinfo, mail_id:%s,file_id:%d,local file_id:%d",
                 uid.c_str(), record.file_id, task.file_id);
    SyncResult adopted = DownloadFolderIndex(uid, listing.remote);
    if (adopted.done()) {
      listing.changed = true;
      listing.parts_read = false;  // adoption may have touched the rows
      listing.parts.clear();
      listing.store.GetFolderMailId(listing.index_mail_id);
    } else if (adopted.failed()) {
      Log()->Write(LOG_WARNING, "folder index %s passed over: %s", uid.c_str(),
                   adopted.reason().c_str());
      ignored_uids_.insert(uid);
    }
  } else if (verdict == FolderIndex::Verdict::kDelete) {
    Log()->Write(LOG_DEBUG, "delete old folderinfo,mail_id:%s,file_id:%d", uid.c_str(),
                 record.file_id);
    DeleteMessage(uid);
  }
  return true;
}

void RefreshWorker::DropVanished(MetaStore& store, const std::vector<std::string>& vanished,
                              bool& changed) {
  std::string cache = context_.CacheRoot();
  std::lock_guard<std::mutex> lock(context_.namespace_mutex);
  std::map<std::string, FolderRecord> folders;
  std::map<int, FileRecord> files;
  if (!store.GetAllFolders(folders) || !store.GetAllFiles(files)) return;
  std::map<int, std::string> full_of;
  for (const auto& [full, folder] : folders) full_of[folder.id] = full;
  for (const std::string& mail_id : vanished) {
    FileRecord part;
    if (!store.GetFileByMailId(mail_id, part)) return;
    // The cached copy is found by the file's place in the tree now; the
    // row's cache_path may name a path that another file holds since a move.
    auto file = files.find(part.file_id);
    std::string full, name;
    if (file != files.end() && full_of.count(file->second.folder_id) != 0) {
      full = full_of[file->second.folder_id];
      name = file->second.name;
    }
    Log()->Write(LOG_DEBUG, "remote doesn't exist,delete it, mid:%s,fn:%s", mail_id.c_str(),
                 (full + name).c_str());
    // The row goes first: a copy removed for a row that stays would be lost.
    if (!store.DelFile(mail_id)) return;
    if (!name.empty()) {
      if (!cache.empty()) ::unlink(NativePath(cache + full + name).c_str());
      context_.cache->RemoveEntry(full, name);
      files.erase(file);
    }
    changed = true;
  }
}

bool RefreshWorker::ClaimOwnAppend(MetaStore& store, SyncQueries& queries, FileRecord& record,
                                SyncQueries::PartRow& row) {
  // Its file may have been deleted here since: then the message must go
  // too. Decided under the lock that delete takes.
  std::lock_guard<std::mutex> lock(context_.namespace_mutex);
  bool exists = false;
  if (!queries.HasFile(record.file_id, exists)) return false;
  if (row.stat == PartState::kDeleted || !exists) {
    if (!queries.SetDeletedPartMailId(record.file_id, record.part, record.mail_id)) return false;
    row.stat = PartState::kDeleted;
  } else {
    record.stat = PartState::kCached;
    if (!store.AddFile(record, false)) return false;
    row.stat = PartState::kCached;
  }
  row.mail_id = record.mail_id;
  return true;
}

bool RefreshWorker::LearnPart(Listing& listing, FileRecord& record) {
  const std::string& uid = record.mail_id;
  auto key = std::make_pair(record.file_id, record.part);
  auto it = listing.parts.find(key);
  if (it == listing.parts.end()) {
    record.stat = PartState::kAwaitingDownload;
    listing.learned.push_back(record);
    listing.parts[key] = NewPartRow(record);
    return true;
  }
  SyncQueries::PartRow& row = it->second;
  if (row.md5 != record.md5 || row.total_size != record.total_size) {
    // Another file's message under this file's id and part: never let it
    // take the row over, never delete it.
    Log()->Write(LOG_WARNING,
                 "pass over message %s: part %d of file %d differs from the known one (%s)",
                 uid.c_str(), record.part, record.file_id, row.mail_id.c_str());
    ignored_uids_.insert(uid);
    return true;
  }
  // Recorded by the task since the listing was read: the same message.
  if (row.mail_id == uid) return true;
  if (row.mail_id.empty()) return ClaimOwnAppend(listing.store, listing.queries, record, row);
  if (listing.remote.Gone(row.mail_id)) {
    // The row's own message is gone; this copy takes its place.
    if (!listing.queries.SetPartMailId(record.file_id, record.part, uid)) return false;
    row.mail_id = uid;
    return true;
  }
  return KeepSmallerCopy(listing, record, row);
}

bool RefreshWorker::KeepSmallerCopy(Listing& listing, FileRecord& record,
                                    SyncQueries::PartRow& row) {
  // Two copies of one part (an append repeated after a crash). Every machine
  // keeps the smaller UID, so no two machines delete both.
  const std::string& uid = record.mail_id;
  if (!FolderIndex::UidLess(uid, row.mail_id)) {
    Log()->Write(LOG_INFO, "delete second copy of part, mail_id:%s", uid.c_str());
    DeleteMessage(uid);
    return true;
  }
  std::string extra = row.mail_id;
  if (!listing.queries.SetPartMailId(record.file_id, record.part, uid)) return false;
  for (FileRecord& waiting : listing.learned) {  // the row may not be written yet
    if (waiting.file_id == record.file_id && waiting.part == record.part) waiting.mail_id = uid;
  }
  row.mail_id = uid;
  Log()->Write(LOG_INFO, "delete second copy of part, mail_id:%s", extra.c_str());
  DeleteMessage(extra);
  return true;
}

bool RefreshWorker::DeleteMessage(const std::string& uid) {
  char* end = nullptr;
  unsigned long number = std::strtoul(uid.c_str(), &end, 10);
  if (uid.empty() || *end != '\0' || number == 0 || number > UINT32_MAX) return false;
  // As the task thread deletes: only this message is expunged, and on Gmail
  // it goes through the trash so its space is freed.
  ImapClient::DeleteOutcome outcome;
  MailResult result = MailResult::ConnectionLost("");
  if (EnsureOpen()) {
    result = session_.DeleteMessages({static_cast<uint32_t>(number)}, outcome);
  }
  if (result.ConnectionEnded()) session_.Close();
  bool done = result.ok() && outcome.remaining.empty();
  if (!done) {
    Log()->Write(LOG_WARNING, "delete message %s not confirmed: %s", uid.c_str(),
                 result.text().c_str());
  }
  return done;
}

bool RefreshWorker::ParseFolderIndex(const std::string& message, std::vector<FolderRecord>& folders,
                                  std::vector<FileRecord>& files, FileRecord& info) {
  MailParser parser;
  parser.Parse(message);
  info = PartHeaders::FromMessage(parser.info);
  if (parser.attachments.empty()) return false;
  std::string text = WireCodePage::ToUtf8(parser.attachments.begin()->second);
  Log()->Write(LOG_INFO, "Download Folder:%s", text.c_str());
  return FolderIndex::ParseText(text, folders, files);
}

SyncResult RefreshWorker::DownloadFolderIndex(const std::string& uid,
                                                    const ListedUids& remote) {
  std::string message;
  if (!EnsureOpen() || !session_.FetchMessage({uid}, message)) {
    session_.Close();
    return SyncResult::RetryLater("fetch of the index failed");
  }
  std::vector<FolderRecord> folders;
  std::vector<FileRecord> files;
  FileRecord info;
  if (message.empty() || !ParseFolderIndex(message, folders, files, info))
    return SyncResult::Failed("not a folder index");
  std::vector<std::string> rejected;
  bool usable = FolderIndex::Validate(folders, files, rejected);
  for (const auto& line : rejected) {
    Log()->Write(LOG_WARNING, "folder index %s: skip unsafe line %s", uid.c_str(), line.c_str());
  }
  if (!usable) return SyncResult::Failed("no usable tree");
  return AdoptIndex(uid, info, folders, files, remote);
}

SyncResult RefreshWorker::AdoptIndex(const std::string& uid, const FileRecord& info,
                                           std::vector<FolderRecord>& folders,
                                           std::vector<FileRecord>& files,
                                           const ListedUids& remote) {
  std::string cache = context_.CacheRoot();
  std::lock_guard<std::mutex> lock(context_.namespace_mutex);
  MetaStore store(context_.data_dir);
  TaskFolderRecord task;
  if (!store.GetFolderTask(task)) return SyncResult::RetryLater("store");
  for (const auto& f : folders) {
    if (!cache.empty()) MakeDir(cache + f.full_name);
  }
  if (FolderIndex::Judge(info.file_id, uid, task) != FolderIndex::Verdict::kAdopt) {
    return SyncResult::RetryLater("no longer the newest index");
  }
  std::map<std::string, FolderRecord> local_folders;
  std::map<int, FileRecord> local_files;
  SyncQueries queries(context_.data_dir, context_.account.user);
  SyncQueries::Parts parts;
  if (!store.GetAllFolders(local_folders) || !store.GetAllFiles(local_files) ||
      !queries.GetAllParts(parts)) {
    return SyncResult::RetryLater("store");
  }
  TreeMerge::Result merged = TreeMerge::Merge(folders, files, local_folders, local_files,
                                              AliveFiles(parts, [&](const std::string& id) { return remote.Gone(id); }),
                                              time(nullptr));

  // Cached files move to their new places before the tree changes, so no
  // download of the new tree can land on a file that still lives there.
  MoveCached(cache, merged.moves, true);

  SyncQueries::Adopt adopted =
      queries.AdoptTree(task, merged.folders, merged.files, uid, info.file_id, merged.kept > 0);
  if (adopted != SyncQueries::Adopt::kDone) {
    MoveCached(cache, merged.moves, false);
    return SyncResult::RetryLater(adopted == SyncQueries::Adopt::kStale ? "no longer the newest index"
                                                                        : "store");
  }
  if (merged.kept > 0) {
    Log()->Write(LOG_INFO, "folder index %s: kept %d local files it does not list", uid.c_str(),
                 merged.kept);
  }
  if (merged.conflicts > 0) context_.status.NoteConflictCopies(merged.conflicts);
  if (!cache.empty()) TidyCacheFolders(cache, merged.folders, local_folders);
  return SyncResult::Done();
}

void RefreshWorker::DownloadPending() {
  SyncDownload(context_, [this](ImapClient* session) { RegisterDownload(session); }).Run();
}

