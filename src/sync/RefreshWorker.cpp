// The refresh thread's pass: the mailbox listing, learning parts and
// indexes, and the adoption of an index; SyncDownload fetches the content.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <set>
#include <thread>

#include "log/CLog.h"
#include "mail/ImapClient.h"
#include "message/MailParser.h"
#include "platform/FileHelpers.h"
#include "platform/UniqueFd.h"
#include "platform/WireCodePage.h"
#include "store/HeldDeletions.h"
#include "store/KeptFiles.h"
#include "store/MetaStore.h"
#include "sync/ContentCache.h"
#include "sync/FolderCache.h"
#include "sync/FolderIndex.h"
#include "sync/PartHeaders.h"
#include "sync/RefreshWorker.h"
#include "sync/SyncContext.h"
#include "sync/SyncDownload.h"
#include "sync/SyncNames.h"
#include "sync/SyncNamespace.h"
#include "sync/SyncStatus.h"
#include "sync/TransferProgress.h"
#include "sync/TreeMerge.h"

namespace {

CLog* Log() { return CLog::Instance(); }

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
  context_.content->Reload();  // a pin or a limit set from tandrel-cli
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
  // This machine's own appends wake the session: the pass waits (a little)
  // for their UIDs to be recorded rather than fetch the headers of what it
  // just sent.
  for (int i = 0; i < kOwnAppendsWaits && context_.appending && context_.running; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(kOwnAppendsWaitMs));
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
  int64_t version = 0;
  bool versioned = ReadVersion(version);
  bool maybe_quiet = quiet_ && versioned && version == quiet_version_;
  quiet_ = false;
  // The records are read before the listing: a part recorded after it was
  // taken (the task's own append) is not one the listing can lack.
  MetaStore store(context_.data_dir);
  std::map<std::string, PartState> local;
  if (!maybe_quiet && !store.GetAllMailId(local)) return false;
  std::vector<uint32_t> uids;
  bool complete = false, relearnt = false;
  if (!ListMailbox(uids, complete, relearnt)) return false;
  if (hook_) hook_(Point::kListed);
  if (maybe_quiet) {
    if (view_unchanged_ && !relearnt) {
      quiet_ = true;  // the last pass's judgement stands
      Log()->Write(LOG_DEBUG, "end refresh: nothing changed");
      return true;
    }
    // Read after the listing, the records are those before it only when
    // nothing was recorded in between; otherwise the pass starts again.
    int64_t now = 0;
    if (!store.GetAllMailId(local)) return false;
    if (!ReadVersion(now) || now != version) return Refresh();
  }
  return Judge(store, local, uids, complete, relearnt, versioned ? version : -1);
}

bool RefreshWorker::Judge(MetaStore& store, std::map<std::string, PartState>& local,
                          const std::vector<uint32_t>& uids, bool complete, bool relearnt,
                          int64_t version) {
  ListedUids remote;
  for (uint32_t uid : uids) remote.listed.insert(std::to_string(uid));
  if (relearnt) {
    // New mail ids replaced those read; the next pass judges what is gone.
    local.clear();
    if (!store.GetAllMailId(local)) return false;
  } else {
    for (const auto& known : local) remote.known_before.insert(known.first);
  }

  std::vector<std::string> vanished = Vanished(local, remote, uids.size(), complete);
  SyncQueries queries(context_.data_dir, context_.account.user);
  Listing listing(store, queries, remote);
  if (relearnt) indexes_.clear();  // their UIDs belong to the old folder
  std::vector<uint32_t> unknown;
  for (uint32_t uid : uids) {
    std::string id = std::to_string(uid);
    if (local.count(id) == 0 && indexes_.count(id) == 0 && ignored_uids_.count(id) == 0)
      unknown.push_back(uid);
  }
  if (hook_) hook_(Point::kLearning);
  bool ok = LearnNewMessages(listing, unknown);
  if (!RecordLearned(listing)) ok = false;
  if (ok && !MergeIndexes(listing)) ok = false;
  // After the merge, which tells a part replaced by an edit elsewhere from
  // one that another client removed.
  if (ok) ApplyVanished(store, vanished, relearnt, listing.changed);
  if (listing.changed) names_.Rebuild();
  int64_t after = 0;
  quiet_ = ok && complete && !relearnt && unknown.empty() && vanished.empty() &&
           !listing.changed && version >= 0 && ReadVersion(after) && after == version;
  quiet_version_ = version;
  Log()->Write(LOG_DEBUG, "end refresh");
  return ok;
}

bool RefreshWorker::ReadVersion(int64_t& version) {
  if (!watch_) watch_ = std::make_unique<MetaStore>(context_.data_dir);
  if (watch_->AccountVersion(version)) return true;
  watch_.reset();
  return false;
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

bool RefreshWorker::LearnHeader(Listing& listing, const std::string& uid,
                                const std::string& header) {
  MailParser parser;
  parser.SetKey(context_.Key());
  if (header.find(context_.InfoField() + ":") != std::string::npos) parser.Parse(header);
  if (parser.info.kind == MessageKind::kUnknown) {
    // Not one of ours (a stray mail, another program's, one not sealed with
    // this drive's key): never again.
    Log()->Write(LOG_WARNING, "pass over message without part header, mail_id:%s", uid.c_str());
    ignored_uids_.insert(uid);
    return true;
  }
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
  // Read once every part of the listing is recorded: a merge looks at them.
  listing.new_indexes.push_back(record.mail_id);
  return true;
}

std::vector<RefreshWorker::Vanish> RefreshWorker::ReadVanished(
    MetaStore& store, const std::vector<std::string>& vanished) {
  std::map<std::string, FolderRecord> folders;
  std::map<int, FileRecord> files;
  std::vector<Vanish> read;
  if (!store.GetAllFolders(folders) || !store.GetAllFiles(files)) return read;
  std::map<int, std::string> paths = SyncNames::FilePaths(folders, files);
  drive_files_ = files.size();
  for (const std::string& mail_id : vanished) {
    Vanish v;
    // Outside the tree (kept content: the trash, a version): only its row
    // goes with its message.
    if (!store.GetFileByMailId(mail_id, v.part)) v.part = FileRecord{};
    v.part.mail_id = mail_id;
    // The cached copy is found by the file's place in the tree now; the
    // row's cache_path may name a path that another file holds since a move.
    auto path = paths.find(v.part.file_id);
    if (path != paths.end()) v.path = path->second;
    v.whole = v.part.file_id != 0 && store.IsFileComplete(v.part);
    read.push_back(v);
  }
  return read;
}

void RefreshWorker::ApplyVanished(MetaStore& store, const std::vector<std::string>& vanished,
                                  bool relearnt, bool& changed) {
  HeldDeletions held(context_.data_dir, context_.account.user);
  HeldDeletions::State state;
  if (!held.Read(state)) return;
  bool decided = state.decision != HeldDeletions::Decision::kNone;
  if (vanished.empty()) {
    // Nothing is missing (any more): a hold goes, except an answer that
    // waits for the pass after mail ids were learnt again (a folder made
    // anew), which judges what is missing.
    if (!state.reason.empty() && !(decided && relearnt)) {
      held.Clear();
      context_.status.NoteHeld("");
    }
    return;
  }
  std::lock_guard<std::mutex> lock(context_.namespace_mutex);
  std::vector<Vanish> parts = ReadVanished(store, vanished);
  std::map<std::string, int64_t> files;  // drive path -> size
  for (const auto& v : parts) {
    if (!v.path.empty()) files[v.path] = v.part.total_size;
  }
  if (!decided && (files.size() > kMassDeletionFiles || files.size() * 4 > drive_files_)) {
    // Nothing goes until the user says: a cleanup rule or a mistaken
    // filter elsewhere must not empty every machine's drive.
    std::string reason = std::to_string(files.size()) +
                         (files.size() == 1 ? " file vanished" : " files vanished") +
                         " from the mailbox";
    std::vector<HeldDeletions::File> listed;
    for (const auto& [path, size] : files) listed.push_back({path, size});
    if (state.reason != reason) Log()->Write(LOG_WARNING, "deletions held: %s", reason.c_str());
    held.Hold(reason, listed);
    context_.status.NoteHeld(reason);
    return;
  }
  if (!state.reason.empty() || decided) {
    held.Clear();
    context_.status.NoteHeld("");
  }
  bool heal = state.decision != HeldDeletions::Decision::kApply;
  DropVanished(store, parts, heal, changed);
  // Kept content that lost a message can no longer come back whole.
  int broken = 0;
  if (SyncQueries(context_.data_dir, context_.account.user).DropBrokenKept(broken) && broken > 0) {
    Log()->Write(LOG_WARNING, "%d kept files lost messages in the mailbox: let go", broken);
    changed = true;
  }
}

void RefreshWorker::DropVanished(MetaStore& store, const std::vector<Vanish>& parts, bool heal,
                                 bool& changed) {
  std::string cache = context_.CacheRoot();
  SyncQueries queries(context_.data_dir, context_.account.user);
  KeptFiles kept(context_.data_dir, context_.account.user);
  std::set<std::string> to_trash;
  for (const Vanish& v : parts) {
    if (!v.path.empty() && context_.open_writes.Contains(v.path)) continue;  // after its close
    if (v.whole && !v.path.empty()) {
      // Still in the tree and whole here: the part goes up again, and a
      // deletion the user applied then goes to the trash like any other.
      Log()->Write(LOG_WARNING, "part %d of %s gone from the mailbox: uploaded again%s",
                   v.part.part, v.path.c_str(), heal ? "" : ", then to the trash");
      if (!queries.RequeuePart(v.part.file_id, v.part.part, v.part.mail_id)) return;
      if (!heal && to_trash.insert(v.path).second) kept.Ask({KeptFiles::Action::kTrash, v.path, 0});
      continue;
    }
    Log()->Write(LOG_DEBUG, "remote doesn't exist,delete it, mid:%s,fn:%s", v.part.mail_id.c_str(),
                 v.path.c_str());
    // The row goes first: a copy removed for a row that stays would be lost.
    // The file's entry stays for the merges to judge.
    if (!store.DelFile(v.part.mail_id, true)) return;
    if (!v.path.empty()) {
      std::string folder, name;
      SplitPath(v.path, folder, name);
      if (!cache.empty()) ::unlink(NativePath(cache + v.path).c_str());
      context_.cache->RemoveEntry(folder, name);
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
  if (!CopiesOnFreshSession(uid, row.mail_id)) {
    ignored_uids_.insert(uid);
    return true;
  }
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

void RefreshWorker::DownloadPending() {
  SyncDownload(
      context_, session_, [this](ImapClient* session) { RegisterDownload(session); },
      digest_failures_)
      .Run();
}
