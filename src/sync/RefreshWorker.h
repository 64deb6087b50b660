#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "mail/ImapClient.h"
#include "store/FileRecord.h"
#include "store/FolderRecord.h"
#include "store/MetaStore.h"
#include "store/SyncQueries.h"
#include "sync/FolderIndex.h"
#include "sync/RefreshWaiter.h"
#include "sync/SyncResult.h"
#include "sync/TreeMerge.h"

class DriveKey;
class SyncContext;
class SyncNamespace;

// The refresh thread's work: the mailbox listing (what it may be trusted
// with), vanished parts, new parts and indexes learnt, the merge of every
// folder index that no other one has merged (a head), the downloads (SyncDownload) and the wait
// between two passes (in IDLE where the server offers it). Thread contract: everything but Wake and
// AbortSessions runs on the refresh thread (or on the caller's while the engine is not started),
// which alone touches the refresh session, its view of the mailbox, the
// ignored UIDs and the indexes read. Wake and
// AbortSessions come from the stopping thread; the download session's
// pointer is guarded by download_mutex_ (a leaf lock). Store writes that
// change the tree, and the folder cache, are changed under the context's
// namespace_mutex.
class RefreshWorker {
 public:
  // A listing that loses more parts than this, or more than a tenth of the
  // known ones, is checked again on a fresh session before files go.
  static constexpr size_t kMassLossParts = 3;
  // How long a pass woken by this machine's own appends waits for them to
  // be recorded: kOwnAppendsWaits times kOwnAppendsWaitMs at most.
  static constexpr int kOwnAppendsWaits = 200;
  static constexpr int kOwnAppendsWaitMs = 5;
  // More files than this vanishing in one pass wait for the user.
  static constexpr size_t kMassDeletionFiles = 50;

  // Test-only: called once the folder is listed, and again just before the
  // new messages are learnt: the task thread's moments.
  enum class Point { kListed, kLearning };
  using Hook = std::function<void(Point)>;

  RefreshWorker(SyncContext& context, SyncNamespace& names);
  RefreshWorker(const RefreshWorker&) = delete;
  RefreshWorker& operator=(const RefreshWorker&) = delete;

  // A rebuild when the folder cache is empty, Refresh, then the downloads.
  void Pass();
  // The listing and what it teaches; false when it failed.
  bool Refresh();
  void DownloadPending();
  // The wait after a pass: up to pause_ms, ended early by a change the
  // server tells of or by Wake.
  void Await(int pause_ms);
  void Wake() { waiter_.Wake(); }

  void ResetSession() {
    session_.Reset();
    view_ = MailboxView{};
  }
  // Cuts the refresh and download sessions (a stop past its grace).
  void AbortSessions();
  void Logout() { session_.Logout(); }
  void SetHookForTest(Hook hook) { hook_ = std::move(hook); }

  // The folder rows, the ftable rows and the part header of an index
  // message; false without an attachment or without the "[folder]" line.
  static bool ParseFolderIndex(const std::string& message, const DriveKey* key,
                               std::vector<FolderRecord>& folders, std::vector<FileRecord>& files,
                               FileRecord& info, FolderIndex::History* history = nullptr,
                               std::vector<KeptRecord>* kept = nullptr);

 private:
  // What one listing says of the parts: only one recorded before it was
  // taken can be missing from it. A part recorded since (the task's own
  // append, done at its APPENDUID) is newer than the listing.
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
    std::vector<std::string> new_indexes;  // UIDs of index messages not read yet
    bool changed = false;
  };
  // An index message read: what it says of its history, its validated tree
  // and that tree's text.
  struct IndexInfo {
    FolderIndex::History history;
    int version = 0;
    TreeMerge::Tree tree;
    std::string text;
  };

  bool EnsureOpen() { return EnsureOpen(session_); }
  bool EnsureOpen(ImapClient& session);
  // Parts whose messages the listing no longer shows, newest first, after
  // the checks a short or lossy listing needs.
  std::vector<std::string> Vanished(const std::map<std::string, PartState>& local,
                                    const ListedUids& remote, size_t listed, bool complete);
  // The pass after the listing: what went, what is new, the merge. Sets
  // quiet_ when it found nothing to do and nothing was recorded meanwhile.
  bool Judge(MetaStore& store, std::map<std::string, PartState>& local,
             const std::vector<uint32_t>& uids, bool complete, bool relearnt, int64_t version);
  // The account database's data_version through the refresh's own handle.
  bool ReadVersion(int64_t& version);
  bool LearnMessage(Listing& listing, const std::string& uid);
  bool LearnHeader(Listing& listing, const std::string& uid, const std::string& header);
  bool LearnIndex(Listing& listing, const FileRecord& record);
  bool RecordLearned(Listing& listing);
  // A part the listing lacks, with its file's drive path ("" when the tree
  // no longer holds it) and whether every part of the file is here.
  struct Vanish {
    FileRecord part;
    std::string path;
    bool whole = false;
  };
  std::vector<Vanish> ReadVanished(MetaStore& store, const std::vector<std::string>& vanished);
  // The guard: more than kMassDeletionFiles files, or more than a quarter
  // of the drive, vanishing at once are held for the user (HeldDeletions);
  // fewer, or once the user answered, go to DropVanished. Also clears a
  // hold that nothing vanishing any more needs.
  void ApplyVanished(MetaStore& store, const std::vector<std::string>& vanished, bool relearnt,
                     bool& changed);
  // A part of a whole file still in the tree goes up again (heal); any
  // other is forgotten with its cached copy. The caller holds
  // namespace_mutex.
  void DropVanished(MetaStore& store, const std::vector<Vanish>& parts, bool heal, bool& changed);
  bool LearnPart(Listing& listing, FileRecord& record);
  // Two copies of one part: every machine keeps the smaller UID.
  bool KeepSmallerCopy(Listing& listing, FileRecord& record, SyncQueries::PartRow& row);
  // Our own append seen in the listing: the part takes its message, or the
  // message is marked for deletion when its file was deleted meanwhile.
  bool ClaimOwnAppend(MetaStore& store, SyncQueries& queries, FileRecord& record,
                      SyncQueries::PartRow& row);
  // Reads the new indexes, deletes those another listed one has merged,
  // merges the heads not merged here yet, and settles two or more heads:
  // the same tree everywhere leaves one, else a merged index goes up.
  bool MergeIndexes(Listing& listing);
  // Done once read into indexes_; failed for a message that is no usable
  // index.
  SyncResult ReadIndex(const std::string& uid);
  std::vector<std::string> Heads();
  // merged_here: the tokens this machine merged, newest first.
  SyncResult MergeIndex(const std::string& uid, const IndexInfo& info,
                        const std::vector<std::string>& merged_here);
  // The tree of the index in the head's history that this machine merged
  // last: what both sides last shared. Empty when none is known.
  TreeMerge::Tree BaseOf(SyncQueries& queries, const IndexInfo& info,
                         const std::vector<std::string>& ours);
  void SettleHeads(const std::vector<std::string>& heads);
  void DeleteIndex(const std::string& uid);
  bool DeleteMessage(const std::string& uid);

  // The session's complete or partial listing, after its NOOP; the mail
  // ids learnt again first when the folder's UIDVALIDITY changed
  // (relearnt).
  bool ListMailbox(std::vector<uint32_t>& uids, bool& complete, bool& relearnt);
  // The last complete listing, so that an idle pass costs the same over
  // any mailbox: while nothing went, only UIDs above it are asked for.
  struct MailboxView {
    bool valid = false;
    uint32_t uidvalidity = 0;
    std::vector<uint32_t> uids;  // ascending
    uint32_t Next() const { return uids.empty() ? 1 : uids.back() + 1; }
  };
  // The view with the messages added since, when the counts (EXISTS, and
  // UIDNEXT on a fresh session) and what an open session was told show
  // that nothing went; false when only a full listing can tell, and with
  // failed when the server did not answer.
  bool ExtendView(bool fresh, const ImapClient::Changes& told, std::vector<uint32_t>& uids,
                  bool& failed);
  // Whether the server tells an open session of changes (RFC 3501 7.3.1):
  // not known until it has told of one; silent once a STATUS showed the
  // session's view behind (GNU imap4d), and then each pass opens a new one.
  enum class ServerNotice { kUnknown, kTells, kSilent, kUncheckable };
  // After the noop of an open session that counted seen messages before it:
  // false when the folder's counts show that its view is wrong.
  bool OpenViewCurrent(ImapClient& session, uint32_t seen, const ImapClient::Changes& told);
  bool CheckUidValidity(const std::vector<uint32_t>& uids, bool complete, bool& relearnt);
  bool RelearnMailIds(const std::vector<uint32_t>& uids, uint32_t uidvalidity);
  // Keeps in vanished only the mail ids that a fresh session's complete
  // listing lacks too.
  void ConfirmVanished(std::vector<std::string>& vanished);
  // Whether a fresh session shows both messages as copies of one part: an
  // open session's view can be wrong (imap4d lists a message twice).
  bool CopiesOnFreshSession(const std::string& one, const std::string& other);
  // Header fetches in batches (one command per UID where the server needs
  // a whole-message fetch), each header learnt as LearnMessage does.
  bool LearnNewMessages(Listing& listing, const std::vector<uint32_t>& uids);
  // The download pass's session, for AbortSessions to cut.
  void RegisterDownload(ImapClient* session);

  SyncContext& context_;
  SyncNamespace& names_;
  ImapClient session_;
  MailboxView view_;
  bool view_unchanged_ = false;  // the last listing found the view as it was
  // A pass that found nothing to do leaves quiet_ with the records' version:
  // while neither they nor the view change, a pass reads no records.
  std::unique_ptr<MetaStore> watch_;
  bool quiet_ = false;
  int64_t quiet_version_ = 0;
  ServerNotice notice_ = ServerNotice::kUnknown;
  int view_mismatches_ = 0;      // open sessions found behind by OpenViewCurrent
  bool uids_moved_ = false;      // a UID named another message than recorded: learn again
  int uidvalidity_changes_ = 0;  // since the start
  RefreshWaiter waiter_;
  std::set<std::string> ignored_uids_;
  std::map<std::string, IndexInfo> indexes_;  // by UID
  std::map<int, int> digest_failures_;        // SyncDownload::DigestFailures
  size_t drive_files_ = 0;                    // as ReadVanished found them
  Hook hook_;
  std::mutex download_mutex_;
  ImapClient* download_session_ = nullptr;  // guarded by download_mutex_
};
