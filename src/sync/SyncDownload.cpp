// The download side of the refresh pass: the fetch pipeline and the writes
// into the cache.
#include "sync/SyncDownload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "log/CLog.h"
#include "message/Base64.h"
#include "message/MailParser.h"
#include "platform/FileHelpers.h"
#include "platform/RunningMd5.h"
#include "platform/UniqueFd.h"
#include "store/MetaStore.h"
#include "store/SyncQueries.h"
#include "sync/ContentCache.h"
#include "sync/FolderCache.h"
#include "sync/FolderIndex.h"
#include "sync/PartFetcher.h"
#include "sync/PartWriter.h"
#include "sync/SyncContext.h"
#include "sync/SyncNames.h"
#include "sync/SyncStatus.h"
#include "sync/TransferProgress.h"

namespace {

CLog* Log() { return CLog::Instance(); }

// Beyond its base64 text, a part message carries its header and the MIME
// frame: a few hundred bytes, more with a long name.
constexpr size_t kHeaderRoom = 16 * 1024;

DriveEntry FileEntry(const std::string& name, const FileRecord& record) {
  DriveEntry entry;
  entry.name = name;
  entry.kind = DriveEntry::kFile;
  entry.SetSize(static_cast<uint64_t>(static_cast<int64_t>(record.total_size)));
  entry.SetTime(static_cast<uint32_t>(record.time));
  return entry;
}

}  // namespace

SyncDownload::SyncDownload(SyncContext& context, ImapClient& listing, Announce announce,
                           DigestFailures& failures)
    : context_(context),
      announce_(std::move(announce)),
      failures_(failures),
      store_(context.data_dir),
      listing_(listing) {}

SyncDownload::~SyncDownload() { announce_(nullptr); }

void SyncDownload::Run() {
  if (!store_.GetPendingDownloads(list_)) return;
  // On demand, only pinned files come before they are read.
  std::map<int, std::string> paths;
  if (context_.content->OnDemand()) {
    std::map<int, FileRecord> files;
    std::map<std::string, FolderRecord> folders;
    if (!store_.GetAllFiles(files) || !store_.GetAllFolders(folders)) return;
    paths = SyncNames::FilePaths(folders, files);
  }
  list_.erase(std::remove_if(list_.begin(), list_.end(),
                             [&](const FileRecord& part) {
                               auto it = failures_.find(part.file_id);
                               if (it != failures_.end() && it->second >= kMaxDigestFailures) {
                                 return true;
                               }
                               if (!context_.content->OnDemand()) return false;
                               auto path = paths.find(part.file_id);
                               return path == paths.end() ||
                                      !context_.content->Pinned(path->second);
                             }),
              list_.end());
  if (list_.empty()) return;
  // Each file's parts in order: its digest is then taken as they are
  // written, and each file is recorded once.
  std::stable_sort(list_.begin(), list_.end(), [](const FileRecord& a, const FileRecord& b) {
    return a.file_id != b.file_id ? a.file_id < b.file_id : a.part < b.part;
  });
  cache_root_ = context_.CacheRoot(store_);
  // One session serves the whole loop, on the fetcher's thread: the next
  // parts' messages arrive while this one is decoded and written. The
  // listing's own session, still open, spares a login; it is not opened
  // again here, since only the refresh may learn a new UIDVALIDITY.
  if (listing_.IsConnected()) {
    session_ = &listing_;
  } else {
    session_ = &own_;
    context_.CountTransfers(own_);
    announce_(&own_);  // a stop may cut the session while it is in use
  }
  {
    PartFetcher<Fetched> fetcher(
        list_, [this](const FileRecord& part) { return Fetch(part); },
        [](const Fetched& got) { return got.result.retry_later(); });
    Fetched got;
    for (size_t i = 0; i < list_.size() && fetcher.Next(got); ++i) {
      if (!Settle(i, got)) break;
    }
  }  // the fetcher's thread has ended: the session is free again
  context_.progress.ClearDownload();
  RecordWritten();
  if (session_ == &own_) own_.Logout();
}

SyncDownload::Fetched SyncDownload::Fetch(const FileRecord& part) {
  Fetched got;
  {
    std::lock_guard<std::mutex> lock(spare_mutex_);
    if (!spare_messages_.empty()) {
      got.message = std::move(spare_messages_.back());
      spare_messages_.pop_back();
      got.message.clear();
    }
  }
  // Room for the whole message at once: a buffer grown step by step while
  // the literal arrives copies what it holds at each step. The size comes
  // from the mailbox, so no more than a part's worth is taken on its word.
  int size = std::clamp(part.size, 0, static_cast<int>(MetaStore::kPartSize));
  got.message.reserve(Base64FoldedSize(static_cast<size_t>(size)) + kHeaderRoom);
  context_.progress.BeginDownload(SyncNames::ProgressName(part), static_cast<uint32_t>(part.size));
  if (session_ == &own_ ? !context_.EnsureOpen(own_) : !session_->IsConnected()) {
    got.result = SyncResult::RetryLater("the mailbox cannot be opened");
    return got;
  }
  if (!session_->FetchMessage({part.mail_id}, got.message)) {
    Log()->Write(LOG_ERROR, "读取邮件失败,mail_id:%s", part.mail_id.c_str());
    got.result = SyncResult::RetryLater("fetch failed: " + session_->LastServerText());
    session_->Close();
    return got;
  }
  if (got.message.empty()) {
    Log()->Write(LOG_ERROR, "读取邮件失败,mail_id:%s", part.mail_id.c_str());
    got.result = SyncResult::Failed("the message is gone");
    return got;
  }
  got.result = SyncResult::Done();
  return got;
}

bool SyncDownload::Settle(size_t i, Fetched& got) {
  FileRecord& part = list_[i];
  bool stopping = context_.Stopping();
  SyncResult result = got.result;
  if (result.done() && !context_.content->MakeRoom(part.size)) {
    context_.status.NoteError(
        "the cache is full: pinned files and files waiting for upload "
        "fill its limit");
    result = SyncResult::RetryLater("the cache is full");
  }
  if (result.done()) result = WritePart(part, got.message);
  {
    std::lock_guard<std::mutex> lock(spare_mutex_);
    spare_messages_.push_back(std::move(got.message));
  }
  if (!result.done()) {
    Log()->Write(LOG_DEBUG, "downloadfile err,fn:%s,mail_id:%s", part.name.c_str(),
                 part.mail_id.c_str());
    Log()->Write(LOG_DEBUG, "download of %s: %s", part.name.c_str(), result.reason().c_str());
  }
  // The server or the disk is in trouble: the part stays at stat 2 and the
  // next pass tries again.
  if (result.retry_later()) return false;
  if (result.failed()) {
    // Failed for good: dropped, and the loop goes on.
    std::lock_guard<std::mutex> lock(context_.namespace_mutex);
    store_.DelFile(part.mail_id);
  } else {
    Log()->Write(LOG_DEBUG, "downloadfile ok,fn:%s,mail_id:%s", part.name.c_str(),
                 part.mail_id.c_str());
    part.stat = PartState::kCached;
    written_.push_back(part);
  }
  bool file_ends = i + 1 == list_.size() || list_[i + 1].file_id != part.file_id;
  if ((file_ends || stopping) && !RecordWritten()) return false;
  return !stopping;
}

bool SyncDownload::RecordWritten() {
  if (written_.empty()) return true;
  std::lock_guard<std::mutex> lock(context_.namespace_mutex);
  SyncQueries queries(context_.data_dir, context_.account.user);
  bool ok = queries.MarkDownloaded(written_);
  std::map<int, const FileRecord*> files;
  for (const FileRecord& part : written_) files[part.file_id] = &part;
  for (const auto& [file_id, part] : files) {
    if (!ok || !store_.IsFileComplete(*part)) continue;
    FolderRecord folder;
    if (!store_.GetFolder(part->folder_id, folder)) {
      Log()->Write(LOG_DEBUG, "GetFolderInfo error,fn:%s", part->name.c_str());
      ok = false;
      break;
    }
    // The tree may have been replaced since the listing: show the file
    // only where it still is, and only with the bytes it was sent with.
    FileRecord now;
    if (store_.GetFileInfo(folder.full_name + part->name, now) && now.file_id == file_id &&
        DigestMatches(*part, cache_root_ + folder.full_name + part->name)) {
      context_.cache->PutEntry(folder.full_name, FileEntry(part->name, *part));
    }
  }
  written_.clear();
  return ok;
}

bool SyncDownload::DigestMatches(const FileRecord& part, const std::string& path) {
  int64_t size = 0;
  int time = 0;
  std::string md5;
  // The digest taken while the parts went in serves when it saw the whole
  // file; otherwise (parts from an earlier pass, or out of order) the copy
  // is read.
  std::unique_ptr<RunningMd5> running = digest_file_ == part.file_id ? std::move(digest_) : nullptr;
  bool seen_whole = running && running->Finish(static_cast<uint64_t>(part.total_size), md5);
  if (part.md5.empty() || ((seen_whole || GetFileMd5(path, size, time, md5)) && md5 == part.md5)) {
    failures_.erase(part.file_id);
    return true;
  }
  int failures = ++failures_[part.file_id];
  Log()->Write(LOG_WARNING, "content of %s does not match its digest (%d of %d): fetched again",
               part.name.c_str(), failures, kMaxDigestFailures);
  SyncQueries(context_.data_dir, context_.account.user).MarkForDownload(part.file_id);
  return false;
}

SyncResult SyncDownload::WritePart(const FileRecord& record, const std::string& message) {
  FolderRecord folder;
  {
    if (!store_.GetFolder(record.folder_id, folder)) return SyncResult::Failed("no folder row");
  }
  if (!FolderIndex::IsSafeName(record.name) || folder.full_name.empty() ||
      folder.full_name.front() != '\\' || folder.full_name.back() != '\\' ||
      !SyncNames::PlausiblePart(record)) {
    return SyncResult::Failed("unsafe name or implausible part");
  }
  if (cache_root_.empty()) return SyncResult::RetryLater("no cache directory");
  std::string path = cache_root_ + folder.full_name + record.name;
  std::string content;
  {
    MailParser parser;
    parser.ReuseBuffer(std::move(content_buffer_));
    parser.SetKey(context_.Key());
    parser.Parse(message);
    // Altered, cut, or another part's whole message under this UID: never
    // written, fetched again at the next pass, and said.
    if (context_.Key() != nullptr &&
        (parser.sealing != MailParser::Sealing::kOpened || parser.info.file_id != record.file_id ||
         parser.info.part != record.part)) {
      context_.status.NoteError("part " + std::to_string(record.part) + " of " + record.name +
                                " failed its authentication: fetched again");
      return SyncResult::RetryLater("the sealed part does not authenticate");
    }
    if (parser.attachments.empty()) return SyncResult::Failed("no attachment");
    content.swap(parser.attachments.begin()->second);
  }
  struct GiveBack {  // the content's memory serves the next part too
    std::string& from;
    std::string& to;
    ~GiveBack() { to = std::move(from); }
  } give_back{content, content_buffer_};
  if (content.size() != static_cast<size_t>(record.size)) {
    Log()->Write(LOG_ERROR, "part of %s holds %zu bytes instead of %d, mail_id:%s",
                 record.name.c_str(), content.size(), record.size, record.mail_id.c_str());
    return SyncResult::Failed("the part's size does not add up");
  }
  int64_t offset = SyncNames::PartOffset(record);
  if (offset == 0) {
    digest_ = std::make_unique<RunningMd5>();
    digest_file_ = record.file_id;
  }
  RunningMd5* digest = digest_ && digest_file_ == record.file_id ? digest_.get() : nullptr;
  SyncResult written =
      PartWriter::Write(path, record.total_size, offset, content.data(), content.size(), digest);
  if (!written.done()) digest_.reset();
  return written;
}
