#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/OAuthSignIn.h"
#include "message/DriveKey.h"
#include "store/AccountRecord.h"

class AccessTokens;
class ImapClient;

// `tandrel-cli mount`: signs in, mounts the drive and serves it in the
// foreground until it is unmounted or the process is signalled.
// Thread contract: Run on the main thread, before any other thread exists
// (it blocks SIGINT and SIGTERM for every thread it starts).
class MountCommand {
 public:
  struct Options {
    std::string user;
    std::string server;
    int port = 0;
    bool ssl = false;
    std::string mount_point;
    bool remember = false;
    bool encrypt = false;  // make the drive encrypted (a folder without one yet)
    bool help = false;
    int64_t cache_limit = -1;  // bytes; 0 turns content on demand off; -1 keeps the stored one
    OAuthSignIn::Choice oauth;  // --oauth, --oauth-config, --oauth-client-id, --oauth-device
    bool oauth_device = false;
  };

  static const char* HelpText();
  // False with error set on a bad command line.
  static bool Parse(const std::vector<std::string>& args, Options& options, std::string& error);
  // ~/Tandrel unless --mountpoint or TANDREL_MOUNTPOINT says otherwise.
  static std::string MountPointFor(const Options& options);
  // "TASK_MS,REFRESH_MS" of TANDREL_SYNC_PERIODS (tests); false when unset.
  static bool TestPeriods(int& task_ms, int& refresh_ms);
  // TANDREL_UPLOAD_SETTLE_MS (tests); false when unset.
  static bool TestSettleMs(int& settle_ms);

  // The process exit code.
  static int Run(const Options& options);
  // A passphrase of the encrypted drive: the environment's variable, else
  // the terminal with prompt (twice for a new one). Empty, with error set,
  // when there is none or the two differ.
  static std::string Passphrase(const char* variable, const char* prompt, bool twice,
                                std::string& error);
  static std::string Passphrase(bool twice, std::string& error) {
    return Passphrase("TANDREL_PASSPHRASE", "Passphrase of the encrypted drive: ", twice, error);
  }
  // `tandrel-cli passphrase`: the current account's encrypted drive gets a
  // new passphrase (TANDREL_NEW_PASSPHRASE, else asked twice); only its key
  // message is rewritten. The exit code.
  static int ChangePassphrase();
  // `tandrel-cli signin`: a new OAuth sign-in of the current account, its
  // refresh token kept in the keyring, where a running mount that waits
  // for one finds it. The exit code.
  static int SignInAgain(const Options& options);

 private:
  // The account to sign in with: the one named, else the current one, its
  // stored server unless another is given; the password from
  // TANDREL_PASSWORD, the keyring or the database, else the terminal.
  // remember tells whether the password is to be kept.
  static bool Resolve(const Options& options, AccountRecord& account, bool& remember,
                      std::string& error);
  // Checks the credentials and the mailbox folder; an account known here
  // whose server cannot be reached starts offline. False (with the server's
  // own text shown) to give up.
  static bool SignIn(const AccountRecord& account, bool encrypt, bool remember,
                     std::optional<DriveKey>& key, AccessTokens* tokens);
  // The --oauth option at args[i] (i moves past its value); false with
  // error when it is unknown or wrong.
  static bool ParseOAuth(const std::vector<std::string>& args, size_t& i, Options& options,
                         std::string& error);
  // Whether the account signs in by OAuth: the options ask it or it did.
  static bool UsesOAuth(const Options& options, const std::string& user);
  // The OAuth tokens to sign in with: the kept sign-in when it still holds
  // (and the options name the same provider), else a new one (interactive
  // only). Null, with the reason shown, to give up. provider is recorded.
  static std::shared_ptr<AccessTokens> TokensFor(const Options& options,
                                                 const AccountRecord& account, bool interactive);
  // The drive's key when it is encrypted (or is to be made so), from the
  // folder on session, else from the copy here (session null: offline);
  // false, with the reason shown, to give up.
  static bool Unlock(const AccountRecord& account, ImapClient* session, bool encrypt, bool remember,
                     std::optional<DriveKey>& key);
  // The new key message appended, then every other one deleted.
  static bool ReplaceKeyMessage(const AccountRecord& account, ImapClient& session,
                                const std::string& sealed);
};
