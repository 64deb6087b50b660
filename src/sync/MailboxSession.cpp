#include "sync/MailboxSession.h"

#include <algorithm>
#include <map>
#include <vector>

#include "log/CLog.h"
#include "mail/AccessTokens.h"
#include "mail/ImapClient.h"
#include "store/HeldDeletions.h"
#include "store/MailboxQueries.h"
#include "store/MetaStore.h"
#include "sync/SyncNames.h"
#include "sync/SyncStatus.h"

namespace {

CLog* Log() { return CLog::Instance(); }

// The capabilities whose presence changes what the program does.
std::vector<std::string> CapabilitiesInUse(const ImapClient& session) {
  static const char* const kUsed[] = {"IDLE",        "UIDPLUS",    "ID",   "NAMESPACE",
                                      "QUOTA",       "SPECIAL-USE", "MOVE", "X-GM-EXT-1",
                                      "LITERAL+",    "APPENDLIMIT"};
  std::vector<std::string> in_use;
  for (const std::string& name : session.Capabilities())
    for (const char* used : kUsed)
      if (name == used || name.rfind(std::string(used) + "=", 0) == 0) in_use.push_back(name);
  return in_use;
}

MailboxSession::Attempt Stopped(ImapClient& session, const char* step) {
  MailboxSession::Attempt attempt;
  attempt.step = step;
  // A server still talking has said no; a broken line says nothing.
  attempt.server_text = session.LastServerText();
  std::string reason = attempt.server_text.empty()
                           ? std::string("the server refused the ") + step
                           : attempt.server_text;
  attempt.result = session.IsConnected() ? SyncResult::Failed(reason)
                                         : SyncResult::RetryLater("no connection at " +
                                                                  std::string(step));
  session.Close();
  return attempt;
}

// AUTHENTICATE with the access token; a refused one is refreshed and tried
// once more on the same connection. Done, or the attempt that stopped.
MailboxSession::Attempt SignInWithToken(ImapClient& session, const AccountRecord& account,
                                        AccessTokens& tokens) {
  for (int round = 0; round < 2; ++round) {
    std::string token, error;
    AccessTokens::Grant grant = tokens.Current(token, error);
    if (grant != AccessTokens::Grant::kToken) {
      MailboxSession::Attempt attempt;
      attempt.step = "sign-in";
      attempt.server_text = error;
      attempt.sign_in_again = grant == AccessTokens::Grant::kSignInAgain;
      attempt.result =
          attempt.sign_in_again ? SyncResult::Failed(error) : SyncResult::RetryLater(error);
      session.Close();
      return attempt;
    }
    if (session.AuthenticateBearer(account.user, token).ok()) {
      MailboxSession::Attempt done;
      done.result = SyncResult::Done();
      return done;
    }
    if (!session.IsConnected()) break;
    tokens.Refused(token);
  }
  return Stopped(session, "login");
}

}  // namespace

MailboxSession::MailboxSession(SyncStatus& status, std::string data_dir)
    : status_(status),
      data_dir_(std::move(data_dir)),
      clock_([] { return std::chrono::steady_clock::now(); }) {}

bool MailboxSession::MayMake(const std::string& data_dir, const std::string& user) {
  // A folder never opened (no UIDVALIDITY recorded) held nothing of ours.
  MailboxRecord record;
  if (MailboxQueries(data_dir, user).Read(record) && record.uidvalidity == 0) return true;
  HeldDeletions::State held;
  if (HeldDeletions(data_dir, user).Read(held) &&
      held.decision != HeldDeletions::Decision::kNone) {
    return true;
  }
  std::map<int, FileRecord> files;
  return MetaStore(data_dir).GetAllFiles(files) && files.empty();
}

MailboxSession::Attempt MailboxSession::OpenOnce(ImapClient& session, const AccountRecord& account,
                                                 const std::string& known_folder,
                                                 const std::string& data_dir,
                                                 AccessTokens* tokens) {
  if (!session.Connect(account.down_server, account.port, account.ssl_flag != 0))
    return Stopped(session, "connect");
  if (tokens != nullptr) {
    Attempt signed_in = SignInWithToken(session, account, *tokens);
    if (!signed_in.result.done()) return signed_in;
  } else if (!session.Login(account.user, account.pwd)) {
    return Stopped(session, "login");
  }
  if (!session.EnsureCapabilities()) return Stopped(session, "capability");
  Attempt attempt;
  attempt.folder = known_folder;
  if (known_folder.empty()) {
    if (!session.OpenFolder(attempt.folder)) return Stopped(session, "folder");
  } else if (!session.Select(known_folder)) {
    // A folder removed on the server is made again under the same name.
    // The refusal of the select is what the user needs to read (a server
    // may refuse SELECT for its own reasons), not that of the create.
    std::string refused = session.LastServerText();
    std::vector<ImapParser::ListEntry> found;
    if (session.IsConnected() && !MayMake(data_dir, account.user) &&
        session.List("", known_folder, found) && found.empty()) {
      // Renamed or deleted elsewhere (webmail, a Gmail label removed): an
      // empty folder in its place would empty every machine's drive.
      Attempt gone = Stopped(session, "folder");
      gone.gone = true;
      gone.server_text = "the folder " + known_folder + " is gone from the mailbox";
      gone.result = SyncResult::Failed(gone.server_text);
      return gone;
    }
    if (!session.IsConnected() || !session.Create(known_folder) || !session.Select(known_folder)) {
      Log()->Write(LOG_WARNING, "folder %s: %s / %s", known_folder.c_str(), refused.c_str(),
                   session.LastServerText().c_str());
      Attempt failed = Stopped(session, "folder");
      if (!refused.empty()) failed.server_text = refused;
      return failed;
    }
  }
  attempt.result = SyncResult::Done();
  attempt.step = "open";
  return attempt;
}

SyncResult MailboxSession::Open(ImapClient& session, const AccountRecord& account, bool relearn) {
  CheckGrant();
  std::shared_ptr<AccessTokens> tokens = Tokens();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!backoff_.Ready(clock_())) return SyncResult::RetryLater("backing off");
  }
  MailboxQueries queries(data_dir_, account.user);
  MailboxRecord record;
  if (!queries.Read(record)) record = MailboxRecord{};
  {
    // Until the refresh has recorded the new value, asking again would only
    // find the same.
    std::lock_guard<std::mutex> lock(mutex_);
    if (!relearn && stale_record_ != 0 && stale_record_ == record.uidvalidity)
      return SyncResult::RetryLater("uidvalidity changed");
  }
  Attempt attempt = OpenOnce(session, account, record.folder, data_dir_, tokens.get());
  if (attempt.gone) HoldDrive(account, attempt.server_text);
  if (!attempt.result.done()) {
    NoteFailure(account, attempt);
    return attempt.result;
  }
  if (record.folder.empty()) {
    Log()->Write(LOG_INFO, "mailbox folder of %s: %s", account.user.c_str(),
                 attempt.folder.c_str());
    queries.SetFolder(attempt.folder);
  }
  uint32_t now = session.UidValidity();
  if (!relearn && record.uidvalidity != 0 && now != 0 && now != record.uidvalidity) {
    Log()->Write(LOG_INFO, "uidvalidity of %s is %u, was %u: waiting for the refresh",
                 attempt.folder.c_str(), now, record.uidvalidity);
    session.Close();
    std::lock_guard<std::mutex> lock(mutex_);
    stale_record_ = record.uidvalidity;
    return SyncResult::RetryLater("uidvalidity changed");
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stale_record_ = 0;
    backoff_.Reset();
    folder_ = attempt.folder;
  }
  status_.SetCapabilities(CapabilitiesInUse(session));
  status_.NoteOnline();
  return SyncResult::Done();
}

void MailboxSession::HoldDrive(const AccountRecord& account, const std::string& reason) {
  MetaStore store(data_dir_);
  std::map<std::string, FolderRecord> folders;
  std::map<int, FileRecord> files;
  std::vector<HeldDeletions::File> listed;
  if (store.GetAllFolders(folders) && store.GetAllFiles(files)) {
    for (const auto& [id, path] : SyncNames::FilePaths(folders, files)) listed.push_back({path, 0});
  }
  HeldDeletions held(data_dir_, account.user);
  HeldDeletions::State state;
  if (held.Read(state) && state.reason != reason) {
    Log()->Write(LOG_WARNING, "deletions held: %s", reason.c_str());
    held.Hold(reason, listed);
  }
  status_.NoteHeld(reason);
}

void MailboxSession::NoteFailure(const AccountRecord& account, const Attempt& attempt) {
  int wait = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    backoff_.Fail(clock_());
    wait = backoff_.Ms();
  }
  Log()->Write(LOG_WARNING, "open mailbox of %s failed at %s: %s; next try in %d ms",
               account.user.c_str(), attempt.step,
               attempt.server_text.empty() ? "no answer" : attempt.server_text.c_str(), wait);
  if (attempt.sign_in_again) {
    status_.NoteError(SyncStatus::kSignInAgain);
  } else if (attempt.result.retry_later()) {
    status_.NoteOffline("the server " + account.down_server + " cannot be reached");
  } else {
    std::string text = attempt.server_text.empty()
                           ? std::string("the server refused the ") + attempt.step
                           : attempt.server_text;
    status_.NoteError(text);
  }
}

std::string MailboxSession::Folder() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return folder_;
}

int MailboxSession::BackoffMs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return backoff_.Ms();
}

void MailboxSession::ResetBackoff() {
  std::lock_guard<std::mutex> lock(mutex_);
  backoff_.Reset();
}

void MailboxSession::SetClock(Clock clock) {
  std::lock_guard<std::mutex> lock(mutex_);
  clock_ = std::move(clock);
}

void MailboxSession::SetTokens(std::shared_ptr<AccessTokens> tokens) {
  std::lock_guard<std::mutex> lock(mutex_);
  tokens_ = std::move(tokens);
}

uint64_t MailboxSession::CheckGrant() {
  std::shared_ptr<AccessTokens> tokens = Tokens();
  if (!tokens) return 0;
  tokens->Recovered();
  uint64_t grants = tokens->Grants();
  std::lock_guard<std::mutex> lock(mutex_);
  if (grants != grants_seen_) {
    grants_seen_ = grants;
    backoff_.Reset();
  }
  return grants;
}

std::shared_ptr<AccessTokens> MailboxSession::Tokens() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tokens_;
}
