#include "cli/AccountSecrets.h"

#include <vector>

#include "log/CLog.h"
#include "platform/Keyring.h"
#include "platform/Locations.h"
#include "store/MetaStore.h"

AccountRecord AccountSecrets::RowFor(const AccountRecord& record, bool remember, Kept& kept) {
  AccountRecord row = record;
  row.save_pwd = remember ? 1 : 0;
  row.pwd.clear();
  kept = Kept::kNowhere;
  if (!remember) {
    Keyring::Clear(record.user, record.down_server);
    return row;
  }
  std::string reason;
  if (Keyring::Store(record.user, record.down_server, record.pwd, reason)) {
    kept = Kept::kKeyring;
    CLog::Instance()->Write(LOG_INFO, "password of %s kept in the keyring", record.user.c_str());
    return row;
  }
  row.pwd = record.pwd;
  kept = Kept::kDatabase;
  CLog::Instance()->Write(LOG_WARNING,
                          "no keyring (%s): password of %s kept in %s/tandrel.db (mode 0600)",
                          reason.c_str(), record.user.c_str(), DataDir().c_str());
  return row;
}

std::string AccountSecrets::Recall(const AccountRecord& row) {
  if (!row.pwd.empty()) return row.pwd;
  std::string password;
  if (row.save_pwd == 1 && Keyring::Lookup(row.user, row.down_server, password)) return password;
  return "";
}

int AccountSecrets::MoveToKeyring() {
  if (!Keyring::HasBus()) return 0;
  MetaStore store;
  std::vector<AccountRecord> accounts;
  if (!store.GetAccounts(accounts)) return 0;
  int moved = 0;
  for (AccountRecord account : accounts) {
    if (account.pwd.empty()) continue;
    std::string reason;
    if (!Keyring::Store(account.user, account.down_server, account.pwd, reason)) {
      CLog::Instance()->Write(LOG_INFO, "password of %s stays in the database: %s",
                              account.user.c_str(), reason.c_str());
      return moved;
    }
    account.pwd.clear();
    account.save_pwd = 1;
    if (!store.UpdateAccount(account)) continue;
    CLog::Instance()->Write(LOG_INFO, "password of %s moved into the keyring",
                            account.user.c_str());
    ++moved;
  }
  return moved;
}

namespace {

// The keyring entry of a passphrase: the account's, under a server name no
// mail server has.
std::string PassphraseEntry(const AccountRecord& account) {
  return "encrypted drive on " + account.down_server;
}

std::string RefreshTokenEntry(const AccountRecord& account) {
  return "oauth on " + account.down_server;
}

}  // namespace

void AccountSecrets::KeepPassphrase(const AccountRecord& account, const std::string& passphrase) {
  std::string reason;
  if (Keyring::Store(account.user, PassphraseEntry(account), passphrase, reason)) {
    CLog::Instance()->Write(LOG_INFO, "passphrase of %s kept in the keyring", account.user.c_str());
  } else if (Keyring::HasBus()) {
    CLog::Instance()->Write(LOG_WARNING, "passphrase of %s not kept: %s", account.user.c_str(),
                            reason.c_str());
  }
}

std::string AccountSecrets::RecallPassphrase(const AccountRecord& account) {
  std::string passphrase;
  return Keyring::Lookup(account.user, PassphraseEntry(account), passphrase) ? passphrase : "";
}

void AccountSecrets::ForgetPassphrase(const AccountRecord& account) {
  Keyring::Clear(account.user, PassphraseEntry(account));
}

bool AccountSecrets::KeepRefreshToken(const AccountRecord& account, const std::string& token,
                                      std::string& reason) {
  if (!Keyring::HasBus()) {
    reason = "no session bus";
    return false;
  }
  if (!Keyring::Store(account.user, RefreshTokenEntry(account), token, reason)) {
    CLog::Instance()->Write(LOG_WARNING, "refresh token of %s not kept: %s", account.user.c_str(),
                            reason.c_str());
    return false;
  }
  CLog::Instance()->Write(LOG_INFO, "refresh token of %s kept in the keyring",
                          account.user.c_str());
  return true;
}

std::string AccountSecrets::RecallRefreshToken(const AccountRecord& account) {
  std::string token;
  return Keyring::Lookup(account.user, RefreshTokenEntry(account), token) ? token : "";
}

void AccountSecrets::ForgetRefreshToken(const AccountRecord& account) {
  Keyring::Clear(account.user, RefreshTokenEntry(account));
}

const char* AccountSecrets::KeptText(Kept kept) {
  switch (kept) {
    case Kept::kKeyring:
      return "in the keyring";
    case Kept::kDatabase:
      return "in the database (no keyring answers)";
    case Kept::kNowhere:
      return "nowhere";
  }
  return "nowhere";
}
