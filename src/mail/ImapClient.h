#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "mail/ImapParser.h"
#include "mail/MailConnection.h"
#include "mail/MailResult.h"
#include "platform/UniqueFd.h"

// The IMAP4 subset that keeps one mailbox folder as a file store: log in,
// find, create and select the folder, list UIDs, fetch headers or a whole
// message, append an .eml file, delete by UID, quota, IDLE. One command at a
// time, all with the tag "tag1".
// Thread contract: one thread at a time per object; no lock of its own (Abort
// of MailConnection excepted). Transfer counts go to the sinks its owner hands
// in (called on this thread).
//
// Arguments that are not plain atoms go out as quoted strings, or as literals
// when they hold CR, LF or 8-bit bytes; fetched bodies are read by the size of
// the literal the server announces. Every untagged line read on the way is
// noted: capabilities, the selected folder's EXISTS, UIDVALIDITY and UIDNEXT,
// expunges and flag changes, a BYE. Reading never sets \Seen (BODY.PEEK).
class ImapClient : public MailConnection {
 public:
  static constexpr const char* kTag = "tag1";
  static constexpr const char* kFolder = "tandrel";
  // Its server ends a header fetch only through a whole-message fetch.
  static constexpr const char* kProviderDomain = "sohu.com";
  static constexpr size_t kFileBlock = 4096;
  // UIDs per UID FETCH of headers: one command line stays short.
  static constexpr size_t kHeaderBatch = 500;
  // A server may end an IDLE silent for 30 minutes (RFC 2177): renew before.
  static constexpr int kIdleRenewMs = 25 * 60 * 1000;
  static constexpr const char* kProgramName = "tandrel";

  // What a successful APPEND learnt; how it ended is its MailResult.
  struct AppendOutcome {
    uint32_t uid = 0;          // from APPENDUID; 0 without UIDPLUS
    uint32_t uidvalidity = 0;  // from APPENDUID
  };

  // One message of AppendMessages: how its APPEND ended, what it learnt.
  struct Appended {
    MailResult result = MailResult::ConnectionLost("not sent");
    AppendOutcome outcome;
  };
  // Messages per AppendMessages call that the caller should not exceed: their
  // answers must fit the socket's buffers, as they are read only once the
  // last message is sent.
  static constexpr size_t kAppendsInFlight = 100;

  enum class DeleteMethod { kNone, kExpunge, kUidExpunge, kTrashMove, kTrashCopy };
  // What a delete did. Done: an ok result with nothing remaining; an ok
  // result with UIDs remaining is not confirmed (answered OK, yet there).
  struct DeleteOutcome {
    DeleteMethod method = DeleteMethod::kNone;
    bool trash_expunged = false;      // the copies in the trash folder are gone too
    std::vector<uint32_t> remaining;  // UIDs the server still has
  };

  // A folder's UIDs; complete when their count agrees with its EXISTS.
  struct UidListing {
    std::vector<uint32_t> uids;
    bool complete = false;
  };

  enum class FolderChoice { kExisting, kToCreate };

  // What the server said without being asked since the last TakeChanges.
  struct Changes {
    bool exists = false;  // an EXISTS arrived
    uint32_t expunged = 0;
    std::vector<uint32_t> vanished;
    bool flags = false;  // an unsolicited FETCH (during NOOP or IDLE)
    bool Any() const { return exists || expunged > 0 || !vanished.empty() || flags; }
  };

  enum class IdleEvent { kChanged, kWoken, kTimeout, kConnectionLost };

  ImapClient() = default;
  ~ImapClient() override = default;

  // Receives the bytes of a transfer as they go; an empty sink counts none.
  using ProgressSink = std::function<void(uint32_t bytes)>;
  void SetProgress(ProgressSink uploaded, ProgressSink downloaded) {
    uploaded_ = std::move(uploaded);
    downloaded_ = std::move(downloaded);
  }

  bool Connect(const std::string& server, int port, bool use_ssl);
  bool Login(const std::string& user, const std::string& password);
  // Which SASL mechanism signs in with a bearer token here: OAUTHBEARER
  // (RFC 7628) before XOAUTH2, as the capabilities offer them.
  enum class BearerMechanism { kNone, kOauthBearer, kXoauth2 };
  BearerMechanism BearerOffered() const;
  // AUTHENTICATE with an OAuth 2.0 access token, the initial response in
  // the command where SASL-IR (RFC 4959) is offered. A refusal carries the
  // server's words: its tagged text and the error payload it sent (the
  // JSON status, "invalid_token" and the like).
  // Right after Connect: it reads the greeting itself.
  MailResult AuthenticateBearer(const std::string& user, const std::string& token);
  // The mechanism the last AuthenticateBearer chose.
  BearerMechanism BearerUsed() const { return bearer_used_; }
  bool Create(const std::string& folder);
  bool Select(const std::string& folder);
  // Inserts the UIDs found into uids.
  bool FetchUidList(std::set<std::string>& uids);
  // The UIDs of the selected folder's messages that have a header field
  // named field (UID SEARCH HEADER field ""), ascending.
  bool SearchHeader(const std::string& field, std::vector<uint32_t>& uids);
  // Appends the header, blank line included, to header.
  bool GetHeader(const std::string& uid, std::string& header);
  // Appends the whole message of the first (smallest) UID to message.
  bool FetchMessage(const std::set<std::string>& uids, std::string& message);
  // Appends length bytes from offset of the body of the message's section
  // (BODY.PEEK[section]<offset.length>): fewer at the section's end.
  bool FetchSectionRange(const std::string& uid, const std::string& section, size_t offset,
                         size_t length, std::string& out);
  bool Append(const std::string& folder, const std::string& path);
  // True when every UID was flagged and expunged, and for an empty set.
  bool Delete(const std::set<std::string>& uids);
  // A round trip that changes nothing: a server tells of messages that
  // arrived since the last command only between commands.
  bool Noop();
  // Says goodbye (reading at most a few lines of the answer, so a stop never
  // waits on a chatty server) and closes the connection in every case.
  void Logout();

  // ---- capabilities and identity
  // Known from the greeting, the login answer or CAPABILITY; names are
  // compared without regard to case ("IDLE", "APPENDLIMIT=...").
  bool HasCapability(const std::string& name) const;
  const std::set<std::string>& Capabilities() const { return capabilities_; }
  bool CapabilitiesAfterLogin() const { return capabilities_after_login_; }
  bool Capability();
  // CAPABILITY when the login answer did not carry them, then ID when the
  // server advertises it and it was not sent yet.
  bool EnsureCapabilities();
  // RFC 2971 ID with the program's name and version; some servers refuse
  // SELECT until they have it. Login sends it when ID is already advertised.
  bool Identify();
  // The text of the last NO, BAD or BYE ("NO [OVERQUOTA] Quota exceeded"),
  // for the status the user sees.
  const std::string& LastServerText() const { return refusal_.text(); }

  // ---- folders
  bool GetNamespace(ImapParser::Namespace& personal);
  // LIST reference pattern; special_use asks RFC 6154 attributes of every
  // folder (RETURN (SPECIAL-USE)) where the server offers them.
  bool List(const std::string& reference, const std::string& pattern,
            std::vector<ImapParser::ListEntry>& entries, bool special_use = false);
  // Where the program's folder lives, from what LIST found and the personal
  // namespace: an existing "tandrel" (top level or under the prefix) as it
  // is; else "tandrel" when the personal namespace has no prefix, else
  // prefix + "tandrel".
  static FolderChoice ChooseFolder(const std::vector<ImapParser::ListEntry>& found,
                                   const ImapParser::Namespace& personal, std::string& folder);
  // Asks NAMESPACE and LIST and chooses; false when the server refused.
  bool ResolveFolder(std::string& folder, FolderChoice& choice);
  // Resolves, creates when needed and selects the program's folder.
  bool OpenFolder(std::string& folder);
  // The \Trash special-use folder, found by LIST (its name is localised).
  bool FindTrash(std::string& trash);

  // ---- the selected folder
  const std::string& SelectedFolder() const { return selected_; }
  bool ExistsKnown() const { return exists_known_; }
  uint32_t Exists() const { return exists_; }
  uint32_t UidValidity() const { return uidvalidity_; }
  uint32_t UidNext() const { return uidnext_; }
  Changes TakeChanges();

  // STATUS of the selected folder (MESSAGES UIDNEXT): what a new session
  // would see, for a server that may not tell an open one of changes.
  bool SelectedCounts(uint32_t& messages, uint32_t& uidnext);
  // Every UID of the selected folder. An empty folder (EXISTS 0) is asked
  // nothing; a NO to the fetch of an empty folder is an empty listing.
  bool ListUids(UidListing& listing);
  // The UIDs from first on (never complete unless first is 1).
  bool ListUidsFrom(uint32_t first, UidListing& listing);
  // Headers (blank line included) of many messages, kHeaderBatch UIDs per
  // UID FETCH; UIDs the server no longer has are simply absent. fields
  // (names separated by blanks, e.g. "X-tdr-info") limits each header to
  // those fields, which a server can answer from its cache.
  bool FetchHeaders(const std::vector<uint32_t>& uids, std::map<uint32_t, std::string>& headers,
                    size_t batch = kHeaderBatch, const std::string& fields = "");
  // A message larger than the APPENDLIMIT is not sent: a local result with
  // the code "TOOBIG". A file that cannot be read is a local error.
  MailResult AppendMessage(const std::string& folder, const std::string& path,
                           AppendOutcome& outcome);
  // The messages in order, each its own APPEND: all sent before the first
  // answer is read where the server takes non-synchronizing literals
  // (RFC 7888 LITERAL+, or LITERAL- for messages of 4096 bytes at most),
  // else one after the other. Each message gets its own result; the call's
  // own is not ok when the connection ended, and then every message not
  // answered has that result.
  MailResult AppendMessages(const std::string& folder, const std::vector<std::string>& paths,
                            std::vector<Appended>& appended);
  // Refreshes the view (NOOP), flags, expunges and checks that the messages
  // are gone; with X-GM-EXT-1 they go through the \Trash folder instead.
  MailResult DeleteMessages(const std::vector<uint32_t>& uids, DeleteOutcome& outcome);

  // ---- limits
  // GETQUOTAROOT folder: the STORAGE resource in bytes, if the server has one.
  bool GetQuota(const std::string& folder, ImapParser::Quota& quota);
  // The largest message the server takes (RFC 7889), 0 when not known.
  uint64_t AppendLimit() const { return append_limit_; }
  // STATUS folder (APPENDLIMIT), for servers with a per-folder limit.
  bool QueryAppendLimit(const std::string& folder);

  // ---- IDLE (RFC 2177)
  // Enters IDLE; false when the server does not advertise it or refuses.
  bool IdleStart();
  // Waits up to timeout_ms for a change in the folder, wake_fd readable
  // (e.g. an eventfd of the caller; < 0 for none) or Abort. Stays in IDLE;
  // the change itself is in TakeChanges.
  IdleEvent IdleWait(int timeout_ms, int wake_fd);
  // Ends IDLE (DONE); every other command does so first by itself.
  bool IdleDone();
  bool Idling() const { return idling_; }
  // Since IdleStart, for the caller's renewal within kIdleRenewMs.
  std::chrono::steady_clock::duration IdleAge() const;

  // A command split where the server must answer a literal with "+": every
  // piece but the last ends with a literal's size announcement.
  using Pieces = std::vector<std::string>;
  // Appends arg to the command as an atom, a quoted string or a literal;
  // always_quote turns an atom into a quoted string too.
  static void AddArgument(Pieces& pieces, const std::string& arg, bool always_quote = false);

 protected:
  // Reads up to n bytes of the message file: the count, 0 at its end, or -1
  // on a read error. A seam for tests.
  virtual ssize_t ReadFileBlock(int fd, char* buffer, size_t n);

 private:
  enum class Verdict { kOk, kFailed, kMore };
  Verdict Judge(const std::string& line) const;
  // Reads lines until the tagged completion; on_line sees each line first.
  // tagged receives the completing line.
  bool AwaitCompletion(std::string* tagged = nullptr,
                       const std::function<void(const std::string&)>& on_line = nullptr);
  bool SendPieces(const Pieces& pieces);
  std::string BearerResponse(BearerMechanism mechanism, const std::string& user,
                             const std::string& token) const;
  MailResult FinishBearer(const std::string& user, const std::string& token, const char* mechanism,
                          const std::string& tagged, const std::string& payload);
  bool SimpleCommand(const char* verb, const std::string& folder);
  bool FetchLiteral(const std::string& uid, const char* item, std::string& out,
                    const std::function<void(size_t)>& on_chunk);
  bool GetHeaderFromMessage(const std::string& uid, std::string& header);
  bool SendFile(int fd, size_t length, const std::string& path);
  // The largest literal the server takes without a continuation; 0: none.
  size_t NonSyncLiteralLimit() const;
  // What becomes of one message of AppendMessages.
  enum class Plan { kUnsent, kInFlight, kInTurn, kSettled };
  // Sends the APPEND of every message that can go without a continuation;
  // false when the connection failed on the way.
  bool SendAppends(const std::string& folder, const std::vector<std::string>& paths,
                   std::vector<Appended>& appended, std::vector<Plan>& plan);
  // Reads the tagged answers ("upN ...") of the messages in flight; false
  // when the connection ended first.
  bool ReadAppendAnswers(std::vector<Plan>& plan, std::vector<Appended>& appended);
  // AppendMessage of each message planned in turn, until the connection ends.
  MailResult AppendInTurn(const std::string& folder, const std::vector<std::string>& paths,
                          const std::vector<Plan>& plan, std::vector<Appended>& appended);
  // The message file open, and its length; a local result when it cannot be
  // read or is over the APPENDLIMIT ("TOOBIG").
  MailResult OpenMessage(const std::string& path, UniqueFd& file, size_t& length) const;
  // APPENDUID's UID and UIDVALIDITY from a response code, when it names one.
  static void ReadAppendUid(const std::string& code, AppendOutcome& outcome);
  bool StartsWithTag(const std::string& line, const char* status) const;

  // ReadLine that notes untagged data and the tagged status of each line.
  int ReadResponseLine(std::string& line);
  // One response line with its literals spliced in ("{n}" CR LF bytes ...).
  bool ReadFullResponse(std::string& response);
  void Observe(const std::string& line);
  void ObserveCode(const std::string& code);
  void NoteTagged(const std::string& line);
  // Sends a command, ending IDLE first.
  bool SendCommand(const std::string& command);
  // A command whose untagged answers on_line sees; tagged gets the last line.
  bool Command(const std::string& command,
               const std::function<void(const std::string&)>& on_line = nullptr,
               std::string* tagged = nullptr);
  std::string Quoted(const std::string& arg) const;
  void ResetFolderState();
  bool Flag(const std::string& set);
  bool Expunge(const std::string& set, DeleteOutcome& outcome);
  // The UIDs of uids that the selected folder still has; false when unsure.
  bool StillThere(const std::vector<uint32_t>& uids, std::vector<uint32_t>& there);
  // How the delete ended, by what is still there; refused when one of its
  // commands failed.
  MailResult Confirm(const std::vector<uint32_t>& uids, DeleteOutcome& outcome, bool refused);
  bool MoveToTrash(const std::string& set, const std::string& trash, DeleteOutcome& outcome);
  bool ExpungeInTrash(const std::string& trash, const std::vector<uint32_t>& copies);
  // The connection's end: the goodbye when there was one, else the error.
  MailResult Lost() const;
  bool FetchHeaderBatch(const std::string& command, std::map<uint32_t, std::string>& headers);

  std::set<std::string> capabilities_;
  bool capabilities_after_login_ = false;
  bool logged_in_ = false;
  BearerMechanism bearer_used_ = BearerMechanism::kNone;
  bool id_sent_ = false;
  MailResult refusal_;                       // the last NO, BAD or BYE
  std::string last_code_;                    // response code of the last tagged line
  std::vector<std::string> untagged_codes_;  // codes of untagged OK lines
  std::string selected_;
  bool exists_known_ = false;
  uint32_t exists_ = 0;
  uint32_t uidvalidity_ = 0;
  uint32_t uidnext_ = 0;
  Changes changes_;
  uint64_t change_events_ = 0;  // every change noted, for IdleWait
  bool note_flags_ = false;     // an untagged FETCH counts as a change now
  uint64_t append_limit_ = 0;
  bool idling_ = false;
  bool trash_looked_up_ = false;
  std::string trash_;  // the \\Trash folder; empty when the server has none
  std::chrono::steady_clock::time_point idle_since_{};

  std::string server_;
  int port_ = 0;
  bool use_ssl_ = false;
  std::string user_;
  std::string password_;
  std::string bearer_token_;  // the token that signed in, when one did
  ProgressSink uploaded_;
  ProgressSink downloaded_;
};
