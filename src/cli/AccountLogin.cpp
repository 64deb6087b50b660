#include "cli/AccountLogin.h"

#include "mail/ImapClient.h"
#include "platform/FileHelpers.h"
#include "platform/Locations.h"
#include "store/MailboxQueries.h"
#include "store/MetaStore.h"
#include "sync/MailboxSession.h"

bool AccountLogin::UsesSsl(const std::string& address) {
  std::string needle = std::string("@") + kGoogleMailDomain;
  size_t pos = address.find(needle, 1);
  return pos != std::string::npos && pos >= 1;
}

bool AccountLogin::IsUsableAddress(const std::string& address) {
  size_t at = address.find('@');
  return at != std::string::npos && at + 1 < address.size() && IsSingleName(address);
}

AccountRecord AccountLogin::Build(const std::string& user, const std::string& password,
                                  const std::string& server, int port, bool force_ssl) {
  AccountRecord record;
  bool ssl = force_ssl || UsesSsl(user);
  record.user = user;
  record.pwd = password;
  record.type = 1;
  record.down_server = server;
  record.port = port > 0 ? port : (ssl ? 993 : 143);
  record.ssl_flag = ssl ? 1 : 0;
  record.is_default = 1;
  record.save_pwd = 1;
  return record;
}

AccountLogin::Verdict AccountLogin::Check(const AccountRecord& account, AccessTokens* tokens) {
  ImapClient session;
  if (tokens != nullptr) {
    MailboxRecord record;
    if (IsKnown(account.user)) MailboxQueries(account.user).Read(record);
    MailboxSession::Attempt attempt =
        MailboxSession::OpenOnce(session, account, record.folder, DataDir(), tokens);
    session.Logout();
    if (attempt.result.done() || attempt.gone) return Verdict::kAccepted;
    return attempt.result.failed() ? Verdict::kRefused : Verdict::kUnreachable;
  }
  if (!session.Connect(account.down_server, account.port, account.ssl_flag != 0))
    return Verdict::kUnreachable;
  bool ok = session.Login(account.user, account.pwd);
  bool answered = session.IsConnected();
  session.Close();
  if (ok) return Verdict::kAccepted;
  return answered ? Verdict::kRefused : Verdict::kUnreachable;
}

bool AccountLogin::TestCredentials(const AccountRecord& account) {
  return Check(account) == Verdict::kAccepted;
}

bool AccountLogin::IsKnown(const std::string& user) {
  MetaStore store;
  AccountRecord existing;
  return store.GetAccount(user, existing);
}

bool AccountLogin::Store(const AccountRecord& account) {
  MetaStore store;
  AccountRecord existing;
  bool stored = store.GetAccount(account.user, existing) ? store.UpdateAccount(account)
                                                         : store.AddAccount(account);
  return stored && store.SetCurAccount(account.user);
}
