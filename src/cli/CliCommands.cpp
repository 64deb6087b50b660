#include "cli/CliCommands.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <iostream>
#include <optional>
#include <thread>

#include "cli/MountCommand.h"
#include "cli/UndoCommands.h"
#include "log/CLog.h"
#include "message/DriveKey.h"
#include "platform/FileHelpers.h"
#include "platform/Locations.h"
#include "platform/MountPoint.h"
#include "store/CachePolicy.h"
#include "store/HeldDeletions.h"
#include "store/MetaStore.h"
#include "store/PrepareDataDir.h"
#include "sync/DriveKeyMailbox.h"
#include "sync/StatusFile.h"

namespace {

// PATH as a drive path: below the mount point when it lies there, else read
// as a path within the drive.
std::string DrivePathOf(const std::string& arg, const std::string& mount_point) {
  std::string path = arg;
  if (!path.empty() && path[0] != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) != nullptr) path = std::string(cwd) + "/" + path;
  }
  std::string below = mount_point.empty() ? "" : DrivePathUnder(path, mount_point);
  return below.empty() ? DrivePathUnder("/" + arg, "") : below;
}

}  // namespace

#ifndef TANDREL_VERSION
#define TANDREL_VERSION "0"
#endif

std::string CliCommands::HelpText() {
  return std::string(
             "Usage: tandrel-cli COMMAND [OPTIONS]\n"
             "\n"
             "Keeps files in an IMAP mailbox, shown as a mounted folder.\n"
             "\n"
             "Commands:\n"
             "  mount      sign in and serve the mailbox as a folder (see below)\n"
             "  unmount    unmount the current account's folder, from any terminal\n"
             "  signin     sign in again by OAuth (after \"error: sign in again\"), with\n"
             "             mount's --oauth options; a running mount goes on with it\n"
             "  status     the current account's sync state: up to date, syncing, offline,\n"
             "             mailbox full (quota) or error, with the files still to move\n"
             "  trash      deleted files and folders, kept 30 days: 'trash restore PATH',\n"
             "             'trash empty [PATH]', 'trash keep DAYS'\n"
             "  versions   a file's earlier contents: 'versions PATH', 'versions restore PATH N'\n"
             "  deletions  files that vanished from the mailbox all at once (or with its\n"
             "             folder) and wait for you; 'deletions keep' uploads them again,\n"
             "             'deletions apply' removes them here too\n"
             "  pin PATH   keep PATH (a file or a folder, with the files it gets later)\n"
             "             on this machine whatever the cache limit\n"
             "  unpin PATH let PATH's files go when the cache needs room again\n"
             "  key export FILE  write an encrypted drive's age identity to FILE (asks\n"
             "             the passphrase): with it, age decrypts the drive's messages\n"
             "  passphrase give the encrypted drive a new passphrase (the old one, then the\n"
             "             new one twice, or TANDREL_PASSPHRASE and TANDREL_NEW_PASSPHRASE)\n"
             "  --version  the program's version\n"
             "  --help     this text\n"
             "\n") +
         MountCommand::HelpText();
}

std::string CliCommands::VersionText() {
  return std::string("tandrel-cli ") + TANDREL_VERSION + "\n";
}

int CliCommands::Main(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    err << HelpText();
    return 2;
  }
  const std::string& command = args[0];
  if (command == "--help" || command == "-h" || command == "help") {
    out << HelpText();
    return 0;
  }
  if (command == "--version" || command == "-V") {
    out << VersionText();
    return 0;
  }
  if (args.size() > 1 && (command == "status" || command == "unmount")) {
    err << "tandrel-cli: " << command << " takes no options\n";
    return 2;
  }
  if (command == "status") return Status(out, err);
  if (command == "deletions") return Deletions({args.begin() + 1, args.end()}, out, err);
  if (command == "unmount") return Unmount(out, err);
  if (command == "key") return Key({args.begin() + 1, args.end()}, out, err);
  if (command == "passphrase") {
    if (args.size() == 1) return MountCommand::ChangePassphrase();
    err << "tandrel-cli: passphrase takes no options\n";
    return 2;
  }
  if (command == "trash") return UndoCommands::Trash({args.begin() + 1, args.end()}, out, err);
  if (command == "versions")
    return UndoCommands::Versions({args.begin() + 1, args.end()}, out, err);
  if (command == "pin" || command == "unpin") {
    return Pin(command == "pin", {args.begin() + 1, args.end()}, out, err);
  }
  if (command != "mount" && command != "signin") {
    err << "tandrel-cli: unknown command " << command << "\n\n" << HelpText();
    return 2;
  }
  MountCommand::Options options;
  std::string error;
  if (!MountCommand::Parse({args.begin() + 1, args.end()}, options, error)) {
    err << "tandrel-cli: " << error << "\n\n" << MountCommand::HelpText();
    return 2;
  }
  if (options.help) {
    out << MountCommand::HelpText();
    return 0;
  }
  return command == "signin" ? MountCommand::SignInAgain(options) : MountCommand::Run(options);
}

bool CliCommands::CurrentUser(std::string& user, std::ostream& err) {
  if (!PrepareDataDir()) {
    err << "tandrel-cli: no data directory (is HOME set?)\n";
    return false;
  }
  MetaStore store;
  if (store.GetCurAccount(user) && !user.empty()) return true;
  err << "tandrel-cli: no account has been signed in yet, so nothing is mounted\n";
  return false;
}

int CliCommands::Status(std::ostream& out, std::ostream& err) {
  std::string user;
  if (!CurrentUser(user, err)) return 1;
  SyncStatus::Snapshot snapshot;
  switch (StatusFile::Read(user, snapshot)) {
    case StatusFile::Found::kLive:
      out << SyncStatus::Describe(snapshot);
      CacheLines(user, out);
      UndoCommands::StatusLine(user, out);
      return 0;
    case StatusFile::Found::kStale:
      out << "Not mounted: " << user << " (its last process " << snapshot.pid
          << " ended without unmounting cleanly)\n";
      return 3;
    case StatusFile::Found::kNone:
      break;
  }
  out << "Not mounted: " << user << " is not mounted anywhere\n";
  return 3;
}

int CliCommands::Deletions(const std::vector<std::string>& args, std::ostream& out,
                           std::ostream& err) {
  if (args.size() > 1 || (args.size() == 1 && args[0] != "keep" && args[0] != "apply")) {
    err << "tandrel-cli: deletions takes nothing, keep or apply\n";
    return 2;
  }
  std::string user;
  if (!CurrentUser(user, err)) return 1;
  HeldDeletions held(DataDir(), user);
  HeldDeletions::State state;
  if (!held.Read(state)) {
    err << "tandrel-cli: the account's records cannot be read\n";
    return 1;
  }
  if (state.reason.empty()) {
    out << "No deletions wait for you.\n";
    return args.empty() ? 0 : 1;
  }
  if (args.empty()) {
    out << state.reason << ":\n";
    for (const auto& f : state.files) out << "  " << DrivePathText(f.path) << "\n";
    out << "Nothing is removed here until you choose: tandrel-cli deletions keep (upload\n"
           "them again) or tandrel-cli deletions apply (remove them here too).\n";
    return 0;
  }
  bool keep = args[0] == "keep";
  if (!held.Decide(keep ? HeldDeletions::Decision::kKeep : HeldDeletions::Decision::kApply)) {
    err << "tandrel-cli: the answer cannot be recorded\n";
    return 1;
  }
  out << (keep ? "Kept: " : "Applied: ") << state.files.size()
      << (keep ? " files go up to the mailbox again" : " files are removed here too")
      << " at the next pass of the mounted drive.\n";
  return 0;
}

void CliCommands::CacheLines(const std::string& user, std::ostream& out) {
  CachePolicy policy(DataDir(), user);
  int64_t limit = 0, cached = 0;
  std::vector<std::string> pins;
  if (!policy.ReadLimit(limit) || !policy.CachedBytes(cached) || !policy.Pins(pins)) return;
  if (limit <= 0) return;
  int64_t pinned = 0;
  policy.PinnedBytes(pins, pinned);
  out << "Cache: " << SyncStatus::BytesText(cached) << " of " << SyncStatus::BytesText(limit)
      << " here, " << SyncStatus::BytesText(pinned) << " of it pinned\n";
}

std::string CliCommands::DrivePathArg(const std::string& arg, const std::string& user) {
  SyncStatus::Snapshot snapshot;
  std::string mount_point = StatusFile::Read(user, snapshot) == StatusFile::Found::kLive
                                ? snapshot.mount_point
                                : MountCommand::MountPointFor(MountCommand::Options{});
  return DrivePathOf(arg, mount_point);
}

int CliCommands::Pin(bool pin, const std::vector<std::string>& args, std::ostream& out,
                     std::ostream& err) {
  const char* verb = pin ? "pin" : "unpin";
  if (args.size() != 1 || args[0].empty()) {
    err << "tandrel-cli: " << verb << " takes one PATH\n";
    return 2;
  }
  std::string user;
  if (!CurrentUser(user, err)) return 1;
  std::string path = DrivePathArg(args[0], user);
  CachePolicy policy(DataDir(), user);
  if (!(pin ? policy.Pin(path) : policy.Unpin(path))) {
    err << "tandrel-cli: the account's records cannot be written\n";
    return 1;
  }
  out << (pin ? "Pinned: " : "Unpinned: ") << "/" << DrivePathText(path)
      << (pin ? " stays on this machine; its content comes in the background.\n"
              : " may leave the cache when it needs room.\n");
  return 0;
}

int CliCommands::Key(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.size() != 2 || args[0] != "export") {
    err << "tandrel-cli: key export FILE\n";
    return 2;
  }
  std::string user, sealed, error;
  if (!CurrentUser(user, err)) return 1;
  if (!DriveKeyMailbox::ReadLocal(DataDir(), user, sealed)) {
    err << "tandrel-cli: the drive of " << user << " is not encrypted (or not signed in here)\n";
    return 1;
  }
  std::string passphrase = MountCommand::Passphrase(false, error);
  std::optional<DriveKey> key;
  if (passphrase.empty() ||
      DriveKey::Unseal(sealed, passphrase, key) != DriveKey::Unsealed::kOpened) {
    err << "tandrel-cli: " << (passphrase.empty() ? error : "wrong passphrase") << "\n";
    return 1;
  }
  std::string text = "# the encrypted drive of " + user +
                     "\n# public key: " + key->identity().Recipient() + "\n" +
                     key->identity().ToString() + "\n";
  int fd = ::open(args[1].c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = fd >= 0 && ::close(fd) == 0 && ok;
  if (!ok) {
    err << "tandrel-cli: " << args[1] << " cannot be written (it must not exist yet)\n";
    return 1;
  }
  out << "The drive's identity is in " << args[1]
      << ": whoever holds it reads the drive, keep it as safe as the passphrase\n";
  return 0;
}

int CliCommands::Unmount(std::ostream& out, std::ostream& err) {
  std::string user;
  if (!CurrentUser(user, err)) return 1;
  SyncStatus::Snapshot snapshot;
  if (StatusFile::Read(user, snapshot) != StatusFile::Found::kLive) {
    out << "Not mounted: " << user << " is not mounted anywhere\n";
    return 3;
  }
  // The mounted process stops as on SIGTERM: the part in flight may finish,
  // then the folder is unmounted and the engine stopped.
  if (::kill(static_cast<pid_t>(snapshot.pid), SIGTERM) != 0) {
    err << "tandrel-cli: process " << snapshot.pid << " cannot be stopped\n";
    return 1;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kUnmountWaitMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!IsMountPoint(snapshot.mount_point) && !StatusFile::ProcessAlive(snapshot.pid)) {
      out << "Unmounted " << snapshot.mount_point << "\n";
      return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  err << "tandrel-cli: " << snapshot.mount_point << " is still mounted (is a file open there?)\n";
  return 1;
}
