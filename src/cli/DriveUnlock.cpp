#include "cli/DriveUnlock.h"

#include "cli/AccountSecrets.h"
#include "log/CLog.h"
#include "mail/ImapClient.h"
#include "platform/Locations.h"
#include "store/MailboxQueries.h"
#include "sync/DriveKeyMailbox.h"
#include "sync/MailboxSession.h"

namespace {

// The passphrase stays where the password is: in the keyring when it is
// remembered, nowhere otherwise.
void KeepPassphrase(const AccountRecord& account, const DriveUnlock::Request& request,
                    const std::string& passphrase) {
  if (request.remember)
    AccountSecrets::KeepPassphrase(account, passphrase);
  else
    AccountSecrets::ForgetPassphrase(account);
}

}  // namespace

DriveUnlock::Outcome DriveUnlock::SignIn(const AccountRecord& account, const Request& request,
                                         std::optional<DriveKey>& key, std::string& error) {
  MailboxRecord record;
  MailboxQueries(account.user).Read(record);
  ImapClient session;
  bool open = MailboxSession::OpenOnce(session, account, record.folder, DataDir(), request.tokens)
                  .result.done();
  Outcome outcome = Open(account, open ? &session : nullptr, request, key, error);
  session.Logout();
  return outcome;
}

DriveUnlock::Outcome DriveUnlock::Open(const AccountRecord& account, ImapClient* session,
                                       const Request& request, std::optional<DriveKey>& key,
                                       std::string& error) {
  std::string sealed;
  DriveKeyMailbox::Look look = DriveKeyMailbox::Look::kNoDrive;
  if (session != nullptr) look = DriveKeyMailbox::Inspect(*session, sealed);
  if (look == DriveKeyMailbox::Look::kFailed) {
    error = "the server did not say whether the drive is encrypted";
    return Outcome::kFailed;
  }
  // A key message gone from the server (deleted by hand) leaves the drive
  // encrypted all the same: the copy here keeps it so, and is put back.
  bool local = look != DriveKeyMailbox::Look::kEncrypted &&
               DriveKeyMailbox::ReadLocal(DataDir(), account.user, sealed);
  if (look != DriveKeyMailbox::Look::kEncrypted && !local) {
    if (request.new_drive == NewDrive::kPlain) return Outcome::kPlain;
    bool can_make = look == DriveKeyMailbox::Look::kNoDrive && session != nullptr;
    if (can_make) return Make(account, *session, request, key, error);
    if (request.new_drive == NewDrive::kAsk) return Outcome::kPlain;
    error = session == nullptr
                ? "an encrypted drive is made only while the server answers"
                : "this mailbox holds a drive that is not encrypted, and it stays so";
    return Outcome::kFailed;
  }
  Outcome outcome = Unseal(account, sealed, request, key, error);
  if (outcome != Outcome::kOpened) return outcome;
  if (local && session != nullptr &&
      DriveKeyMailbox::Store(*session, session->SelectedFolder(), account.user, sealed,
                             DataDir() + "\\temp"))
    CLog::Instance()->Write(LOG_WARNING, "key message of %s put back", account.user.c_str());
  if (!local) DriveKeyMailbox::WriteLocal(DataDir(), account.user, sealed);
  return outcome;
}

DriveUnlock::Outcome DriveUnlock::Unseal(const AccountRecord& account, const std::string& sealed,
                                         const Request& request, std::optional<DriveKey>& key,
                                         std::string& error) {
  std::string kept = request.try_keyring ? AccountSecrets::RecallPassphrase(account) : "";
  if (!kept.empty() && DriveKey::Unseal(sealed, kept, key) == DriveKey::Unsealed::kOpened) {
    KeepPassphrase(account, request, kept);
    return Outcome::kOpened;
  }
  std::optional<std::string> passphrase = request.ask(Ask::kExisting, error);
  if (!passphrase || passphrase->empty()) {
    if (error.empty()) error = "no passphrase was given";
    return Outcome::kCancelled;
  }
  switch (DriveKey::Unseal(sealed, *passphrase, key)) {
    case DriveKey::Unsealed::kOpened:
      KeepPassphrase(account, request, *passphrase);
      return Outcome::kOpened;
    case DriveKey::Unsealed::kWrongPassphrase:
      error = "wrong passphrase for the encrypted drive of " + account.user;
      return Outcome::kWrongPassphrase;
    default:
      error = "the key of the encrypted drive is damaged";
      return Outcome::kFailed;
  }
}

DriveUnlock::Outcome DriveUnlock::Make(const AccountRecord& account, ImapClient& session,
                                       const Request& request, std::optional<DriveKey>& key,
                                       std::string& error) {
  std::optional<std::string> passphrase = request.ask(Ask::kNew, error);
  if (!passphrase) return Outcome::kCancelled;
  if (passphrase->empty()) {
    if (request.new_drive == NewDrive::kAsk) return Outcome::kPlain;
    error = "no passphrase was given";
    return Outcome::kCancelled;
  }
  std::optional<DriveKey> made = DriveKey::Generate();
  std::optional<std::string> sealed = made ? made->Seal(*passphrase) : std::nullopt;
  if (!sealed) error = "the drive's key could not be made";
  if (sealed && !(DriveKeyMailbox::Store(session, session.SelectedFolder(), account.user, *sealed,
                                         DataDir() + "\\temp") &&
                  DriveKeyMailbox::WriteLocal(DataDir(), account.user, *sealed)))
    error = "the drive's key could not be stored";
  // Two machines making it at once: the first key message is the drive's.
  std::string first;
  if (error.empty() &&
      DriveKeyMailbox::Inspect(session, first) == DriveKeyMailbox::Look::kEncrypted &&
      first != *sealed) {
    if (DriveKey::Unseal(first, *passphrase, made) != DriveKey::Unsealed::kOpened)
      error = "another machine made this drive encrypted meanwhile: sign in with its passphrase";
    else
      DriveKeyMailbox::WriteLocal(DataDir(), account.user, first);
  }
  if (!error.empty()) return Outcome::kFailed;
  KeepPassphrase(account, request, *passphrase);
  key = std::move(made);
  return Outcome::kMade;
}
