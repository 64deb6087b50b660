#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "store/AccountRecord.h"
#include "sync/Backoff.h"
#include "sync/SyncResult.h"

class AccessTokens;
class ImapClient;
class SyncStatus;

// Opens the engine's IMAP sessions (task, refresh, download) on the account's
// mailbox folder: connect, login, capabilities (with ID where the server
// advertises it: some refuse SELECT without), then the folder recorded for
// the account, or the one NAMESPACE and LIST point to, recorded for every
// later start. A failed opening backs off (1 s doubling to 5 minutes) for all
// sessions at once: during it an opening fails without network traffic.
// Thread contract: Open from any of the engine's threads; the back-off and
// the folder name are guarded by mutex_ (a leaf lock, never held during
// network traffic). OpenOnce is free of shared state but for the tokens,
// which guard themselves. The status sink and
// the data directory are the engine's, set at construction.
class MailboxSession {
 public:
  static constexpr int kFirstBackoffMs = 1000;
  static constexpr int kMaxBackoffMs = 5 * 60 * 1000;

  struct Attempt {
    // Done when open; to be tried later when there was no connection or it
    // broke (and, from Open, during the back-off or under a changed
    // UIDVALIDITY that the refresh must learn first); failed when the
    // server said no (login, capabilities or folder), with its words.
    SyncResult result = SyncResult::RetryLater("no connection");
    const char* step = "connect";  // where it stopped
    std::string server_text;       // the server's own words, when it gave any
    std::string folder;            // the folder selected
    bool gone = false;             // the known folder is no longer there
    bool sign_in_again = false;    // the OAuth grant was refused: the user must sign in
  };
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  MailboxSession(SyncStatus& status, std::string data_dir);

  // One opening without back-off, record or status. known_folder is selected
  // as it is; empty, the folder is resolved. A known folder that is missing
  // is made again only where it was never opened, the account's drive in
  // data_dir holds no file, or the user answered the hold (MayMake);
  // otherwise the attempt fails with gone set and nothing is made in its
  // place.
  // With tokens the session signs in by OAuth (AUTHENTICATE with the
  // access token, once more with a refreshed one when the server refuses
  // it), else by LOGIN with the account's password.
  static Attempt OpenOnce(ImapClient& session, const AccountRecord& account,
                          const std::string& known_folder, const std::string& data_dir,
                          AccessTokens* tokens = nullptr);
  static bool MayMake(const std::string& data_dir, const std::string& user);

  // OpenOnce with the back-off, the folder record, the log and the status.
  // Only a session that learns the mail ids again (relearn) opens a folder
  // whose UIDVALIDITY differs from the recorded one: the others would name
  // other messages by their stored mail ids.
  SyncResult Open(ImapClient& session, const AccountRecord& account, bool relearn);

  // The folder the last opening selected; empty before the first.
  std::string Folder() const;
  int BackoffMs() const;
  void ResetBackoff();
  void SetClock(Clock clock);
  // An OAuth account's tokens for every opening; null: the password.
  void SetTokens(std::shared_ptr<AccessTokens> tokens);
  std::shared_ptr<AccessTokens> Tokens() const;
  // A new OAuth grant (a sign-in here, or one another process kept) ends
  // the back-off at once. The count of grants so far (0 without tokens).
  uint64_t CheckGrant();

 private:
  void NoteFailure(const AccountRecord& account, const Attempt& attempt);
  // The known folder is gone: every file of the drive is held for the user.
  void HoldDrive(const AccountRecord& account, const std::string& reason);

  SyncStatus& status_;
  const std::string data_dir_;
  mutable std::mutex mutex_;
  Backoff backoff_{kFirstBackoffMs, kMaxBackoffMs};
  std::string folder_;
  // The recorded UIDVALIDITY an opening found changed; 0: none.
  uint32_t stale_record_ = 0;
  Clock clock_;
  std::shared_ptr<AccessTokens> tokens_;
  uint64_t grants_seen_ = 0;  // AccessTokens::Grants at the last CheckGrant
};
