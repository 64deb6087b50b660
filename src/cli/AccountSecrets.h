#pragma once

#include <string>

#include "store/AccountRecord.h"

// Where an account's password is kept: in the Secret Service whenever one
// answers (the database row then holds none); without one, in the 0600
// database only when the user asked to remember it; otherwise nowhere. An
// encrypted drive's passphrase and an OAuth refresh token go to the keyring
// or nowhere.
// Thread contract: free of shared state; the thread that signs in (the store
// handles it opens are its own).
class AccountSecrets {
 public:
  enum class Kept { kKeyring, kDatabase, kNowhere };

  // The row to store for record (whose pwd is the password typed): pwd
  // cleared unless the database must keep it, save_pwd from remember. The
  // keyring entry is written, or removed when not remembered.
  static AccountRecord RowFor(const AccountRecord& record, bool remember, Kept& kept);
  // The remembered password of a stored row: the row's own, else the
  // keyring's; empty when none is kept.
  static std::string Recall(const AccountRecord& row);
  // Every plaintext password of the database moved into the keyring (when
  // one answers) and removed from its row. The number moved.
  static int MoveToKeyring();
  static const char* KeptText(Kept kept);

  // The passphrase of the account's encrypted drive, in the keyring only
  // (never the database); Keep is a no-op without one.
  static void KeepPassphrase(const AccountRecord& account, const std::string& passphrase);
  static std::string RecallPassphrase(const AccountRecord& account);
  static void ForgetPassphrase(const AccountRecord& account);

  // An OAuth account's refresh token, in the keyring only; false (reason
  // set) when none answers: the token then lives for the session only.
  static bool KeepRefreshToken(const AccountRecord& account, const std::string& token,
                               std::string& reason);
  static std::string RecallRefreshToken(const AccountRecord& account);
  static void ForgetRefreshToken(const AccountRecord& account);
};
