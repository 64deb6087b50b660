#include "cli/MountCommand.h"

#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <thread>

#include "cli/AccountLogin.h"
#include "cli/AccountSecrets.h"
#include "cli/DriveUnlock.h"
#include "drive/DriveSession.h"
#include "log/CLog.h"
#include "mail/ImapClient.h"
#include "message/DriveKeyMessage.h"
#include "platform/FileHelpers.h"
#include "platform/Locations.h"
#include "store/CachePolicy.h"
#include "store/MailboxQueries.h"
#include "store/MetaStore.h"
#include "store/PrepareDataDir.h"
#include "sync/DriveKeyMailbox.h"
#include "sync/MailboxSession.h"
#include "sync/StatusPublisher.h"
#include "sync/SyncEngine.h"
#include "sync/TransferProgress.h"

namespace {

// Reads a line from the terminal without echo; empty when there is none.
std::string PromptSecret(const char* prompt) {
  FILE* tty = fopen("/dev/tty", "r+");
  if (tty == nullptr) return "";
  fputs(prompt, tty);
  fflush(tty);
  struct termios old {};
  bool restore = tcgetattr(fileno(tty), &old) == 0;
  if (restore) {
    struct termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(fileno(tty), TCSANOW, &quiet);
  }
  char line[1024] = {};
  std::string password;
  if (fgets(line, sizeof line, tty) != nullptr) password = line;
  if (restore) tcsetattr(fileno(tty), TCSANOW, &old);
  fputs("\n", tty);
  fclose(tty);
  while (!password.empty() && (password.back() == '\n' || password.back() == '\r')) {
    password.pop_back();
  }
  return password;
}

std::string PromptPassword() { return PromptSecret("Password: "); }

}  // namespace

std::string MountCommand::Passphrase(const char* variable, const char* prompt, bool twice,
                                     std::string& error) {
  if (const char* env = std::getenv(variable); env != nullptr && *env != '\0') return env;
  std::string passphrase = PromptSecret(prompt);
  if (passphrase.empty()) {
    error = std::string("an encrypted drive needs its passphrase (") + variable +
            ", or the terminal)";
    return {};
  }
  if (twice && PromptSecret("The same passphrase again: ") != passphrase) {
    error = "the two passphrases differ";
    return {};
  }
  return passphrase;
}

namespace {

// One updating line of the transfers while stdout is a terminal.
class ProgressLine {
 public:
  ProgressLine() {
    if (::isatty(STDOUT_FILENO)) thread_ = std::thread(&ProgressLine::Loop, this);
  }
  ~ProgressLine() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
      thread_.join();
      std::printf("\r\033[K");
      std::fflush(stdout);
    }
  }

 private:
  void Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    std::string last;
    while (!wake_.wait_for(lock, std::chrono::milliseconds(500), [this] { return done_; })) {
      std::string text = TransferProgress::Instance()->StatusText();
      for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
      }
      if (text == last) continue;
      last = text;
      std::printf("\r\033[K%s", text.c_str());
      std::fflush(stdout);
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;  // guarded by mutex_
  std::thread thread_;
};

// Turns SIGINT and SIGTERM into the session's clean stop. The signals are
// blocked in every thread and taken here by sigwait.
class SignalStopper {
 public:
  SignalStopper(DriveSession& session, const std::string& user) : session_(session), user_(user) {
    thread_ = std::thread(&SignalStopper::Loop, this);
  }
  ~SignalStopper() {
    done_ = true;
    ::pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
  }

  static void BlockSignals() {
    sigset_t set = Signals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  }

 private:
  static sigset_t Signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);  // the wake-up at the end
    return set;
  }

  void Loop() {
    sigset_t set = Signals();
    while (!done_) {
      int sig = 0;
      if (sigwait(&set, &sig) != 0) continue;
      if (done_) break;
      if (sig != SIGINT && sig != SIGTERM) continue;
      // The part in flight may finish within the engine's stop grace.
      int pending = StatusPublisher::PendingUploads(user_);
      CLog::Instance()->Write(LOG_WARNING, "signal %d: stopping, %d files not yet uploaded", sig,
                              pending);
      std::cout << "Stopping: " << pending << (pending == 1 ? " file" : " files")
                << " not yet uploaded" << std::endl;
      session_.RequestStop();
    }
  }

  DriveSession& session_;
  std::string user_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// What a stop left for the next start.
void ReportLeftOver(const std::string& user) {
  int pending = StatusPublisher::PendingUploads(user);
  if (pending == 0) return;
  CLog::Instance()->Write(LOG_WARNING, "stopped with %d files not yet uploaded", pending);
  std::cout << pending << (pending == 1 ? " file" : " files")
            << " not yet uploaded: the upload goes on at the next start" << std::endl;
}

bool ParsePort(const std::string& text, int& port) {
  char* end = nullptr;
  long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < 1 || value > 65535) return false;
  port = static_cast<int>(value);
  return true;
}

}  // namespace

const char* MountCommand::HelpText() {
  return "Usage: tandrel-cli mount [--user ADDRESS --server HOST] [--port N] [--ssl]\n"
         "                         [--remember] [--mountpoint DIR] [--cache-limit SIZE]\n"
         "                         [--encrypt] [--oauth google|microsoft]\n"
         "                         [--oauth-config FILE] [--oauth-client-id ID]\n"
         "                         [--oauth-device]\n"
         "\n"
         "Signs in to the IMAP mailbox ADDRESS on HOST (without --user: the current\n"
         "account, as last signed in), stores the account, mounts the mailbox as a\n"
         "folder and serves it in the foreground until it is unmounted (tandrel-cli\n"
         "unmount, or fusermount3 -u DIR) or the program gets SIGINT or SIGTERM; either\n"
         "way the folder is unmounted cleanly and the program ends with exit code 0.\n"
         "When the server cannot be reached, an account signed in here before is\n"
         "mounted from its cache (offline) and synchronised once the server answers.\n"
         "\n"
         "Options:\n"
         "  --user ADDRESS    the mail address, also the IMAP login name\n"
         "  --server HOST     the IMAP server\n"
         "  --port N          the IMAP port (default 143, or 993 with SSL)\n"
         "  --ssl             use SSL/TLS; Gmail addresses always do\n"
         "  --remember        keep the password: in the desktop keyring (Secret Service)\n"
         "                    when one answers, else in the database (mode 0600);\n"
         "                    without it the password is used for this session only\n"
         "  --mountpoint DIR  the folder to mount on, created when missing (default\n"
         "                    $TANDREL_MOUNTPOINT, else ~/Tandrel)\n"
         "  --cache-limit SIZE  list every file at once and fetch content when it is\n"
         "                    read, keeping at most SIZE (with K, M, G or T) here;\n"
         "                    kept for the account until 'off' (every file downloaded)\n"
         "  --encrypt         make the drive encrypted: names and content are sealed\n"
         "                    with a key kept in the mailbox under a passphrase; only\n"
         "                    on a mailbox that holds no drive yet (a plain one stays\n"
         "                    plain). Signing in to an encrypted drive asks for it\n"
         "  --oauth PROVIDER  sign in with OAuth 2.0 instead of a password (google or\n"
         "                    microsoft: their endpoints and scopes are built in); the\n"
         "                    browser opens (the address is printed too) and comes back\n"
         "                    to 127.0.0.1. The refresh token is kept in the keyring;\n"
         "                    later mounts need no option\n"
         "  --oauth-config FILE  any provider: a JSON file with authorization_endpoint,\n"
         "                    token_endpoint, client_id, scope and optionally\n"
         "                    device_authorization_endpoint and client_secret\n"
         "  --oauth-client-id ID  the client id registered with the provider\n"
         "  --oauth-device    sign in on another device: prints an address and a code\n"
         "                    to enter there, and waits (Microsoft; not Gmail)\n"
         "  --help            this text\n"
         "\n"
         "Environment:\n"
         "  TANDREL_PASSWORD  the password; without it the remembered one, else the\n"
         "                    program asks on the terminal\n"
         "  TANDREL_PASSPHRASE  the encrypted drive's passphrase; without it the program\n"
         "                    asks on the terminal\n"
         "  TANDREL_LOG       0 to 3: log up to that level into\n"
         "                    $XDG_DATA_HOME/tandrel/log/tandrel.log\n"
         "  XDG_DATA_HOME     where the databases live (default ~/.local/share); the\n"
         "                    file cache is Tandrel/ADDRESS in the documents folder\n"
         "\n"
         "A refused sign-in, a wrong passphrase or a failed mount ends the program with\n"
         "exit code 1.\n";
}

bool MountCommand::Parse(const std::vector<std::string>& args, Options& options,
                         std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        error = arg + " needs a value";
        return false;
      }
      out = args[++i];
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--user") {
      if (!value(options.user)) return false;
    } else if (arg == "--server") {
      if (!value(options.server)) return false;
    } else if (arg == "--mountpoint") {
      if (!value(options.mount_point)) return false;
    } else if (arg == "--port") {
      std::string text;
      if (!value(text)) return false;
      if (!ParsePort(text, options.port)) {
        error = "--port needs a number from 1 to 65535";
        return false;
      }
    } else if (arg == "--ssl") {
      options.ssl = true;
    } else if (arg == "--remember") {
      options.remember = true;
    } else if (arg == "--encrypt") {
      options.encrypt = true;
    } else if (arg.rfind("--oauth", 0) == 0) {
      if (!ParseOAuth(args, i, options, error)) return false;
    } else if (arg == "--cache-limit") {
      std::string text;
      if (!value(text)) return false;
      if (!CachePolicy::ParseSize(text, options.cache_limit)) {
        error = "--cache-limit needs a size such as 500M or 20G, or off";
        return false;
      }
    } else {
      error = "unknown option " + arg;
      return false;
    }
  }
  if (options.help) return true;
  if (options.user.empty() != options.server.empty()) {
    error = "--user and --server go together (neither: the current account)";
    return false;
  }
  if (!options.user.empty() && !AccountLogin::IsUsableAddress(options.user)) {
    error = "--user must be a mail address without \"/\" or \"\\\"";
    return false;
  }
  return true;
}

std::string MountCommand::MountPointFor(const Options& options) {
  if (!options.mount_point.empty()) return options.mount_point;
  const char* env = std::getenv("TANDREL_MOUNTPOINT");
  if (env != nullptr && *env != '\0') return env;
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/Tandrel";
}

bool MountCommand::TestPeriods(int& task_ms, int& refresh_ms) {
  const char* env = std::getenv("TANDREL_SYNC_PERIODS");
  return env != nullptr && std::sscanf(env, "%d,%d", &task_ms, &refresh_ms) == 2 && task_ms > 0 &&
         refresh_ms > 0;
}

bool MountCommand::TestSettleMs(int& settle_ms) {
  const char* env = std::getenv("TANDREL_UPLOAD_SETTLE_MS");
  return env != nullptr && std::sscanf(env, "%d", &settle_ms) == 1 && settle_ms >= 0;
}

bool MountCommand::Resolve(const Options& options, AccountRecord& account, bool& remember,
                           std::string& error) {
  std::string user = options.user;
  AccountRecord row;
  MetaStore store;
  if (user.empty() && !store.GetCurAccount(user)) user.clear();
  if (user.empty()) {
    error = "no account has been signed in yet: give --user and --server";
    return false;
  }
  bool known = store.GetAccount(user, row);
  if (options.server.empty() && !known) {
    error = "the account " + user + " is not known here: give --user and --server";
    return false;
  }
  bool stored_server = options.server.empty();
  account = AccountLogin::Build(user, "", stored_server ? row.down_server : options.server,
                                stored_server ? row.port : options.port,
                                options.ssl || (stored_server && row.ssl_flag != 0));
  remember = options.remember;
  if (UsesOAuth(options, user)) return true;  // no password
  const char* env = std::getenv("TANDREL_PASSWORD");
  std::string recalled = known ? AccountSecrets::Recall(row) : "";
  if (env != nullptr) {
    account.pwd = env;
  } else if (!recalled.empty()) {
    account.pwd = recalled;
    remember = true;  // it stays where it is kept
  } else {
    account.pwd = PromptPassword();
  }
  if (account.pwd.empty()) {
    error = "no password for " + user + ": none is remembered and none was given";
    return false;
  }
  return true;
}

bool MountCommand::SignIn(const AccountRecord& account, bool encrypt, bool remember,
                          std::optional<DriveKey>& key, AccessTokens* tokens) {
  // The folder is opened as the engine will open it, so that a folder the
  // server will not create or select stops the mount here, in its words.
  MailboxRecord record;
  if (AccountLogin::IsKnown(account.user)) MailboxQueries(account.user).Read(record);
  ImapClient session;
  MailboxSession::Attempt attempt =
      MailboxSession::OpenOnce(session, account, record.folder, DataDir(), tokens);
  if (attempt.result.done()) {
    bool unlocked = Unlock(account, &session, encrypt, remember, key);
    session.Logout();
    return unlocked;
  }
  session.Logout();
  if (attempt.gone) {
    // The drive is served from the cache; the user decides what goes.
    std::cout << "tandrel-cli: " << attempt.server_text
              << ": nothing is removed here until you choose (tandrel-cli deletions)\n";
    return Unlock(account, nullptr, encrypt, remember, key);
  }
  if (attempt.result.failed()) {
    if (std::string(attempt.step) == "login") std::cerr << AccountLogin::kFailedText << "\n";
    std::cerr << "tandrel-cli: the server refused the " << attempt.step << ": "
              << (attempt.server_text.empty() ? "no reason given" : attempt.server_text) << "\n";
    CLog::Instance()->Write(LOG_ERROR, "mount of %s refused at %s: %s", account.user.c_str(),
                            attempt.step, attempt.server_text.c_str());
    return false;
  }
  if (!AccountLogin::IsKnown(account.user)) {
    std::cerr << AccountLogin::kFailedText << "\n"
              << "tandrel-cli: " << account.down_server << " cannot be reached\n";
    return false;
  }
  std::cout << "The server " << account.down_server
            << " cannot be reached: mounting from the cache (offline); changes go up when "
               "it answers"
            << std::endl;
  CLog::Instance()->Write(LOG_WARNING, "%s unreachable: offline start of %s",
                          account.down_server.c_str(), account.user.c_str());
  return Unlock(account, nullptr, encrypt, remember, key);
}

bool MountCommand::Unlock(const AccountRecord& account, ImapClient* session, bool encrypt,
                          bool remember, std::optional<DriveKey>& key) {
  DriveUnlock::Request request;
  request.new_drive = encrypt ? DriveUnlock::NewDrive::kEncrypted : DriveUnlock::NewDrive::kPlain;
  request.remember = remember;
  // A passphrase given in the environment is the one meant.
  request.try_keyring = remember && std::getenv("TANDREL_PASSPHRASE") == nullptr;
  request.ask = [](DriveUnlock::Ask ask, std::string& error) -> std::optional<std::string> {
    std::string passphrase = Passphrase(ask == DriveUnlock::Ask::kNew, error);
    if (passphrase.empty()) return std::nullopt;
    return passphrase;
  };
  std::string error;
  DriveUnlock::Outcome outcome = DriveUnlock::Open(account, session, request, key, error);
  if (!DriveUnlock::Usable(outcome)) {
    std::cerr << "tandrel-cli: " << error << "\n";
    return false;
  }
  if (outcome == DriveUnlock::Outcome::kMade)
    std::cout << "Encrypted drive made: without its passphrase its files cannot be read"
              << std::endl;
  return true;
}

int MountCommand::Run(const Options& options) {
  SignalStopper::BlockSignals();
  if (!PrepareDataDir()) {
    std::cerr << "tandrel-cli: no data directory (is HOME set?)\n";
    return 1;
  }
  AccountSecrets::MoveToKeyring();
  AccountRecord account;
  bool remember = false;
  std::string error;
  if (!Resolve(options, account, remember, error)) {
    std::cerr << "tandrel-cli: " << error << "\n";
    return 1;
  }
  std::shared_ptr<AccessTokens> tokens;
  if (UsesOAuth(options, account.user) && !(tokens = TokensFor(options, account, true))) return 1;
  std::optional<DriveKey> key;
  if (!SignIn(account, options.encrypt, remember, key, tokens.get())) return 1;
  if (key) SyncEngine::Instance().SetKey(*key);
  AccountSecrets::Kept kept = AccountSecrets::Kept::kNowhere;
  if (!AccountLogin::Store(AccountSecrets::RowFor(account, remember && !tokens, kept)) ||
      (tokens && !OAuthSignIn::Record(account.user, tokens->Provider()))) {
    std::cerr << "tandrel-cli: the account could not be stored\n";
    return 1;
  }
  SyncEngine::Instance().SetTokens(tokens);
  if (options.cache_limit >= 0 &&
      !CachePolicy(DataDir(), account.user).SetLimit(options.cache_limit)) {
    std::cerr << "tandrel-cli: the cache limit could not be stored\n";
    return 1;
  }
  if (options.remember && !tokens)
    std::cout << "Password kept " << AccountSecrets::KeptText(kept) << std::endl;

  std::string mount_point = MountPointFor(options);
  DriveSession session(SyncEngine::Instance());
  session.SetPassword(account.pwd);
  int task_ms = 0, refresh_ms = 0;
  if (TestPeriods(task_ms, refresh_ms)) session.SetPeriods(task_ms, refresh_ms);
  int settle_ms = 0;
  if (TestSettleMs(settle_ms)) session.SetUploadSettleMs(settle_ms);
  SignalStopper stopper(session, account.user);
  if (!session.Start(mount_point)) {
    std::cerr << DriveSession::kMountFailedText << "\n";
    return 1;
  }
  std::cout << "Mounted " << account.user << " at " << mount_point << std::endl;
  {
    ProgressLine progress;
    session.Wait();
  }
  ReportLeftOver(account.user);
  std::cout << "Unmounted " << mount_point << std::endl;
  return 0;
}

bool MountCommand::ReplaceKeyMessage(const AccountRecord& account, ImapClient& session,
                                     const std::string& sealed) {
  if (!DriveKeyMailbox::Store(session, session.SelectedFolder(), account.user, sealed,
                              DataDir() + "\\temp"))
    return false;
  std::vector<uint32_t> uids, old;
  if (!session.SearchHeader(DriveKeyMessage::kField, uids)) return false;
  bool found = false;
  for (uint32_t uid : uids) {
    std::string message, text;
    bool ours = session.FetchMessage({std::to_string(uid)}, message) &&
                DriveKeyMessage::Sealed(message, text) && text == sealed;
    found = found || ours;
    if (!ours) old.push_back(uid);
  }
  // The old message goes only once the new one is known to be there.
  ImapClient::DeleteOutcome outcome;
  return found && (old.empty() || session.DeleteMessages(old, outcome).ok());
}

int MountCommand::ChangePassphrase() {
  if (!PrepareDataDir()) {
    std::cerr << "tandrel-cli: no data directory (is HOME set?)\n";
    return 1;
  }
  AccountRecord account;
  bool remember = false;
  std::string error, sealed;
  if (!Resolve(Options{}, account, remember, error)) {
    std::cerr << "tandrel-cli: " << error << "\n";
    return 1;
  }
  std::shared_ptr<AccessTokens> tokens;
  if (UsesOAuth(Options{}, account.user) && !(tokens = TokensFor(Options{}, account, false)))
    return 1;
  MailboxRecord record;
  MailboxQueries(account.user).Read(record);
  ImapClient session;
  bool open = MailboxSession::OpenOnce(session, account, record.folder, DataDir(), tokens.get())
                  .result.done();
  if (!open || DriveKeyMailbox::Inspect(session, sealed) != DriveKeyMailbox::Look::kEncrypted) {
    std::cerr << "tandrel-cli: "
              << (open ? "the drive is not encrypted" : "the server cannot be reached") << "\n";
    return 1;
  }
  std::optional<DriveKey> key;
  std::string old = Passphrase(false, error);
  if (old.empty() || DriveKey::Unseal(sealed, old, key) != DriveKey::Unsealed::kOpened) {
    std::cerr << "tandrel-cli: " << (old.empty() ? error : "wrong passphrase") << "\n";
    return 1;
  }
  std::string fresh = Passphrase("TANDREL_NEW_PASSPHRASE", "New passphrase: ", true, error);
  std::optional<std::string> resealed = fresh.empty() ? std::nullopt : key->Seal(fresh);
  if (!resealed || !ReplaceKeyMessage(account, session, *resealed) ||
      !DriveKeyMailbox::WriteLocal(DataDir(), account.user, *resealed)) {
    std::cerr << "tandrel-cli: the passphrase was not changed"
              << (fresh.empty() ? ": " + error : std::string()) << "\n";
    return 1;
  }
  session.Logout();
  if (!AccountSecrets::RecallPassphrase(account).empty())
    AccountSecrets::KeepPassphrase(account, fresh);
  std::cout << "Passphrase changed: machines signing in from now on ask for the new one\n";
  return 0;
}
