// The refresh worker's listing: what one listing of the mailbox may be
// trusted with (complete or not, the UIDVALIDITY its mail ids belong to, a
// loss confirmed on a fresh session), and the batched header fetch of the
// messages it shows for the first time.
#include <algorithm>

#include "log/CLog.h"
#include "mail/ImapClient.h"
#include "message/MailParser.h"
#include "store/MailboxQueries.h"
#include "store/MetaStore.h"
#include "sync/PartHeaders.h"
#include "sync/RefreshWorker.h"
#include "sync/SyncContext.h"
#include "sync/SyncStatus.h"

namespace {

CLog* Log() { return CLog::Instance(); }

// The part header of a message, or false for a message that has none (on
// an encrypted drive: none sealed with its key).
bool PartOf(const std::string& header, FileRecord& record, const SyncContext& context) {
  if (header.find(context.InfoField() + ":") == std::string::npos) return false;
  MailParser parser;
  parser.SetKey(context.Key());
  parser.Parse(header);
  if (parser.sealing == MailParser::Sealing::kRefused) return false;
  record = PartHeaders::FromMessage(parser.info);
  return true;
}

// Its server answers a header fetch only through a whole-message fetch,
// one UID at a time (see ImapClient::GetHeader).
bool NeedsWholeMessage(const std::string& user) {
  size_t at = user.find('@');
  return (at == std::string::npos ? user : user.substr(at + 1)) == ImapClient::kProviderDomain;
}

}  // namespace

bool RefreshWorker::ListMailbox(std::vector<uint32_t>& uids, bool& complete, bool& relearnt) {
  ImapClient& session = session_;
  if (notice_ == ServerNotice::kSilent) session.Close();
  bool fresh = !session.IsConnected();
  ImapClient::UidListing listing;
  // An open session learns of messages that arrived since its last command
  // only through a command: without the noop the listing misses them once.
  const uint32_t seen = session.Exists();
  bool open = EnsureOpen(session) && (fresh || session.Noop());
  ImapClient::Changes told = session.TakeChanges();
  if (open && !fresh && !OpenViewCurrent(session, seen, told)) {
    session.Close();
    fresh = true;
    open = EnsureOpen(session);
    told = session.TakeChanges();
  }
  bool failed = false;
  const size_t viewed = view_.valid ? view_.uids.size() : 0;
  view_unchanged_ = false;
  if (open && ExtendView(fresh, told, listing.uids, failed)) {
    view_unchanged_ = listing.uids.size() == viewed;
    listing.complete = true;
  } else if (!open || failed || !session.ListUids(listing)) {
    Log()->Write(LOG_WARNING, "listing of %s failed: %s", context_.Folder().c_str(),
                 session.LastServerText().c_str());
    session.Close();  // the view stays: the counts of a fresh session tell
    return false;
  }
  uids = std::move(listing.uids);
  complete = listing.complete;
  bool ok = CheckUidValidity(uids, complete, relearnt);
  view_.valid = ok && complete && !relearnt;
  view_.uidvalidity = session.UidValidity();
  view_.uids = view_.valid ? uids : std::vector<uint32_t>();
  return ok;
}

bool RefreshWorker::OpenViewCurrent(ImapClient& session, uint32_t seen,
                                    const ImapClient::Changes& told) {
  if (notice_ == ServerNotice::kTells || notice_ == ServerNotice::kUncheckable) return true;
  uint32_t messages = 0, uidnext = 0;
  if (!session.SelectedCounts(messages, uidnext)) {
    if (session.IsConnected()) notice_ = ServerNotice::kUncheckable;
    return session.IsConnected();
  }
  bool quiet = session.Exists() == seen && told.expunged == 0 && told.vanished.empty();
  if (messages == session.Exists() &&
      (!quiet || session.UidNext() == 0 || uidnext <= session.UidNext())) {
    // This session never appends: a count that grew, and agrees, was told.
    if (session.Exists() != seen) notice_ = ServerNotice::kTells;
    return true;
  }
  // Once may be a message that arrived between the two commands.
  if (++view_mismatches_ < 2) return false;
  Log()->Write(LOG_WARNING,
               "the server does not keep an open session of %s current (%u messages, UIDNEXT "
               "%u; the session sees %u, %u): each pass opens a new one",
               context_.Folder().c_str(), messages, uidnext, session.Exists(), session.UidNext());
  notice_ = ServerNotice::kSilent;
  context_.stale_sessions = true;
  return false;
}

bool RefreshWorker::ExtendView(bool fresh, const ImapClient::Changes& told,
                               std::vector<uint32_t>& uids, bool& failed) {
  failed = false;
  ImapClient& s = session_;
  if (!view_.valid || s.UidValidity() == 0 || s.UidValidity() != view_.uidvalidity ||
      !s.ExistsKnown()) {
    return false;
  }
  // An open session is told of every expunge; a fresh one has the counts.
  if (!fresh && (told.expunged > 0 || !told.vanished.empty())) return false;
  // A fresh session without UIDNEXT cannot tell an addition from none.
  const size_t known = view_.uids.size();
  if (s.Exists() < known || (fresh && (s.UidNext() == 0 || s.UidNext() < view_.Next())))
    return false;
  bool added = s.Exists() > known || (fresh && s.UidNext() > view_.Next());
  if (added && view_.Next() == 1) return false;  // the full listing asks the same
  ImapClient::UidListing above;
  if (added && !s.ListUidsFrom(view_.Next(), above)) {
    failed = true;
    return false;
  }
  // A message added and another gone leave EXISTS as it was: the count of
  // those above tells.
  if (known + above.uids.size() != s.Exists()) return false;
  uids = view_.uids;
  uids.insert(uids.end(), above.uids.begin(), above.uids.end());
  return true;
}

bool RefreshWorker::CheckUidValidity(const std::vector<uint32_t>& uids, bool complete,
                                     bool& relearnt) {
  relearnt = false;
  uint32_t now = session_.UidValidity();
  MailboxQueries queries(context_.data_dir, context_.account.user);
  MailboxRecord record;
  if (now == 0 || !queries.Read(record)) return now == 0;
  if (record.uidvalidity == now && (!uids_moved_ || !complete)) return true;
  if (record.uidvalidity == now) {
    uids_moved_ = false;
    Log()->Write(LOG_WARNING,
                 "the server moved messages of %s to other UIDs under UIDVALIDITY "
                 "%u: learning %zu messages again",
                 context_.Folder().c_str(), now, uids.size());
    context_.status.NoteError("the server " + context_.account.down_server +
                              " moved messages to other UIDs without a new UIDVALIDITY: "
                              "every file is kept here, but other machines may miss changes");
    relearnt = RelearnMailIds(uids, now);
    return relearnt;
  }
  // Mail ids learnt before the value was recorded belong to it.
  if (record.uidvalidity == 0) return queries.SetUidValidity(now);
  // A part missing from a short listing would be taken for lost.
  if (!complete) {
    Log()->Write(LOG_WARNING, "uidvalidity of %s changed, listing not complete: learnt later",
                 context_.Folder().c_str());
    return false;
  }
  Log()->Write(LOG_WARNING, "uidvalidity of %s changed from %u to %u: learning %zu messages again",
               context_.Folder().c_str(), record.uidvalidity, now, uids.size());
  // Once is a folder restored or rebuilt; again is a server losing track of it.
  if (++uidvalidity_changes_ >= 2)
    context_.status.NoteError("the server " + context_.account.down_server +
                              " changed the "
                              "folder's UIDVALIDITY " +
                              std::to_string(uidvalidity_changes_) +
                              " times: every file is kept here, but other machines may miss "
                              "changes");
  relearnt = RelearnMailIds(uids, now);
  return relearnt;
}

bool RefreshWorker::RelearnMailIds(const std::vector<uint32_t>& uids, uint32_t uidvalidity) {
  std::map<uint32_t, std::string> headers;
  if (!session_.FetchHeaders(uids, headers, ImapClient::kHeaderBatch, context_.InfoField())) {
    session_.Close();
    return false;
  }
  SyncQueries queries(context_.data_dir, context_.account.user);
  SyncQueries::Parts parts;
  MetaStore store(context_.data_dir);
  TaskFolderRecord task;
  if (!queries.GetAllParts(parts) || !store.GetFolderTask(task)) return false;
  MailboxQueries::Found found;
  std::string index_mail_id;
  for (const auto& [uid, header] : headers) {  // ascending: the smaller UID of two copies wins
    FileRecord record;
    if (!PartOf(header, record, context_)) continue;
    if (record.kind != RecordKind::kFilePart) {
      if (record.file_id == task.file_id && !task.mail_id.empty() && index_mail_id.empty())
        index_mail_id = std::to_string(uid);
      continue;
    }
    auto row = parts.find({record.file_id, record.part});
    if (row != parts.end() && row->second.md5 == record.md5 &&
        row->second.total_size == record.total_size)
      found.emplace(row->first, std::to_string(uid));
  }
  bool ok = false;
  {
    std::lock_guard<std::mutex> lock(context_.namespace_mutex);
    ok = MailboxQueries(context_.data_dir, context_.account.user)
             .Relearn(found, index_mail_id, uidvalidity);
  }
  ignored_uids_.clear();
  Log()->Write(ok ? LOG_INFO : LOG_ERROR,
               "mail ids learnt again: %zu of %zu part rows found, folder index %s%s", found.size(),
               parts.size(), index_mail_id.empty() ? "not found" : index_mail_id.c_str(),
               ok ? "" : " (not recorded)");
  return ok;
}

void RefreshWorker::ConfirmVanished(std::vector<std::string>& vanished) {
  size_t missing = vanished.size();
  ImapClient fresh;
  ImapClient::UidListing listing;
  if (!context_.OpenMailbox(fresh, false) || !fresh.ListUids(listing) || !listing.complete) {
    Log()->Write(LOG_WARNING,
                 "%zu parts missing from the listing: kept, the check on a fresh "
                 "session failed",
                 missing);
    fresh.Logout();
    vanished.clear();
    return;
  }
  fresh.Logout();
  std::set<std::string> there;
  for (uint32_t uid : listing.uids) there.insert(std::to_string(uid));
  vanished.erase(std::remove_if(vanished.begin(), vanished.end(),
                                [&there](const std::string& id) { return there.count(id) != 0; }),
                 vanished.end());
  Log()->Write(LOG_INFO,
               "%zu parts missing from the listing, %zu confirmed gone on a fresh session", missing,
               vanished.size());
}

bool RefreshWorker::CopiesOnFreshSession(const std::string& one, const std::string& other) {
  char* end = nullptr;
  uint32_t a = static_cast<uint32_t>(std::strtoul(one.c_str(), &end, 10));
  uint32_t b = static_cast<uint32_t>(std::strtoul(other.c_str(), &end, 10));
  ImapClient fresh;
  std::map<uint32_t, std::string> headers;
  bool fetched = a != 0 && b != 0 && a != b && context_.OpenMailbox(fresh, false) &&
                 fresh.FetchHeaders({std::min(a, b), std::max(a, b)}, headers,
                                    ImapClient::kHeaderBatch, context_.InfoField());
  fresh.Logout();
  FileRecord first, second;
  bool copies = fetched && headers.count(a) != 0 && headers.count(b) != 0 &&
                PartOf(headers[a], first, context_) &&
                PartOf(headers[b], second, context_) && first.file_id == second.file_id &&
                first.part == second.part && first.md5 == second.md5 &&
                first.total_size == second.total_size;
  if (!copies && fetched) {
    // One of them is not the message its UID named before.
    Log()->Write(LOG_WARNING,
                 "messages %s and %s look like copies of one part, but a fresh "
                 "session does not show them so: both kept",
                 one.c_str(), other.c_str());
    uids_moved_ = true;
  }
  return copies;
}

bool RefreshWorker::LearnNewMessages(Listing& listing, const std::vector<uint32_t>& uids) {
  bool whole = NeedsWholeMessage(context_.account.user);
  for (size_t from = 0; from < uids.size(); from += ImapClient::kHeaderBatch) {
    if (context_.Stopping()) return true;
    std::vector<uint32_t> batch(uids.begin() + static_cast<ptrdiff_t>(from),
                                uids.begin() + static_cast<ptrdiff_t>(std::min(
                                                   uids.size(), from + ImapClient::kHeaderBatch)));
    std::map<uint32_t, std::string> headers;
    if (!whole && (!EnsureOpen() || !session_.FetchHeaders(batch, headers, ImapClient::kHeaderBatch,
                                                           context_.InfoField()))) {
      session_.Close();
      return false;
    }
    for (uint32_t uid : batch) {
      std::string id = std::to_string(uid);
      if (whole) {
        if (!LearnMessage(listing, id)) return false;
        continue;
      }
      // A message expunged since the listing is simply absent.
      auto header = headers.find(uid);
      if (header != headers.end() && !LearnHeader(listing, id, header->second)) return false;
    }
  }
  return true;
}
