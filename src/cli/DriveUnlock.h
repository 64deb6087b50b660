#pragma once

#include <functional>
#include <optional>
#include <string>

#include "message/DriveKey.h"
#include "store/AccountRecord.h"

class AccessTokens;
class ImapClient;

// Whether an account's drive is encrypted, and its key: from the key
// message in the folder (on a session), else from the copy here (offline);
// a new encrypted drive's key is made and kept in both places. The
// passphrase comes from the caller's asker, so that the terminal and the
// desktop each ask in their own way; with the password remembered it is
// kept in the keyring too, and tried there before anyone is asked.
// Thread contract: the signing-in thread; no shared state.
class DriveUnlock {
 public:
  // What a folder that holds no drive yet becomes: kAsk leaves it to the
  // asker's answer to Ask::kNew (empty: plain).
  enum class NewDrive { kPlain, kEncrypted, kAsk };
  // kExisting: the drive's passphrase; kNew: one for a new drive, which
  // the asker has confirmed.
  enum class Ask { kExisting, kNew };
  // nullopt, with error set, when none was given (cancelled, or two that
  // differ).
  using Asker = std::function<std::optional<std::string>(Ask ask, std::string& error)>;
  enum class Outcome { kPlain, kOpened, kMade, kWrongPassphrase, kCancelled, kFailed };

  struct Request {
    NewDrive new_drive = NewDrive::kPlain;
    bool remember = false;     // the passphrase goes to the keyring, or leaves it
    bool try_keyring = false;  // a kept passphrase is tried before asking
    Asker ask;
    AccessTokens* tokens = nullptr;  // an OAuth account's, for SignIn's session
  };

  // session: selected on the drive's folder; null when offline. error
  // tells why, for every outcome but kPlain, kOpened and kMade.
  static Outcome Open(const AccountRecord& account, ImapClient* session, const Request& request,
                      std::optional<DriveKey>& key, std::string& error);
  // Opens its own session on the drive's folder (offline when the server
  // does not answer), then as Open.
  static Outcome SignIn(const AccountRecord& account, const Request& request,
                        std::optional<DriveKey>& key, std::string& error);
  static bool Usable(Outcome outcome) {
    return outcome == Outcome::kPlain || outcome == Outcome::kOpened || outcome == Outcome::kMade;
  }

 private:
  static Outcome Make(const AccountRecord& account, ImapClient& session, const Request& request,
                      std::optional<DriveKey>& key, std::string& error);
  static Outcome Unseal(const AccountRecord& account, const std::string& sealed,
                        const Request& request, std::optional<DriveKey>& key, std::string& error);
};
