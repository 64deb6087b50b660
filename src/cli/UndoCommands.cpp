#include "cli/UndoCommands.h"

#include <iostream>

#include "cli/CliCommands.h"
#include "platform/FileHelpers.h"
#include "platform/Locations.h"
#include "store/KeptFiles.h"
#include "sync/SyncStatus.h"
#include "sync/TrashKeeper.h"

namespace {

bool Ask(const std::string& user, const KeptFiles::Request& request, std::ostream& err) {
  if (KeptFiles(DataDir(), user).Ask(request)) return true;
  err << "tandrel-cli: the account's records cannot be written\n";
  return false;
}

int ListTrash(const std::string& user, std::ostream& out, std::ostream& err) {
  std::vector<KeptRecord> kept;
  int days = KeptFiles::kDefaultRetentionDays;
  KeptFiles files(DataDir(), user);
  if (!files.List(kept) || !files.RetentionDays(days)) {
    err << "tandrel-cli: the account's records cannot be read\n";
    return 1;
  }
  int shown = 0;
  for (const KeptRecord& k : kept) {
    if (k.kind != KeptKind::kTrash) continue;
    if (shown++ == 0) out << "Deleted (kept " << days << " days):\n";
    out << "  /" << DrivePathText(k.path) << "  deleted " << TrashKeeper::TimeText(k.at) << "  "
        << SyncStatus::BytesText(k.size) << "  on " << k.machine << "\n";
  }
  if (shown == 0) out << "The trash is empty.\n";
  return 0;
}

}  // namespace

int UndoCommands::Trash(const std::vector<std::string>& args, std::ostream& out,
                        std::ostream& err) {
  std::string user;
  if (!CliCommands::CurrentUser(user, err)) return 1;
  if (args.empty()) return ListTrash(user, out, err);
  const std::string& verb = args[0];
  if (verb == "restore" && args.size() == 2) {
    std::string path = CliCommands::DrivePathArg(args[1], user);
    if (!Ask(user, {KeptFiles::Action::kRestore, path, 0}, err)) return 1;
    out << "Restoring /" << DrivePathText(path)
        << " at the next pass of the mounted drive, on every machine (a conflict name where "
           "the place is taken).\n";
    return 0;
  }
  if (verb == "empty" && args.size() <= 2) {
    std::string path = args.size() == 2 ? CliCommands::DrivePathArg(args[1], user) : "";
    if (!Ask(user, {KeptFiles::Action::kEmpty, path, 0}, err)) return 1;
    out << (path.empty() ? std::string("The trash and the versions are")
                         : "The trash at /" + DrivePathText(path) + " is")
        << " let go at the next pass of the mounted drive.\n";
    return 0;
  }
  if (verb == "keep" && args.size() == 2 && std::atoi(args[1].c_str()) > 0) {
    if (!KeptFiles(DataDir(), user).SetRetentionDays(std::atoi(args[1].c_str()))) {
      err << "tandrel-cli: the account's records cannot be written\n";
      return 1;
    }
    out << "Deleted files and earlier versions are kept " << std::atoi(args[1].c_str())
        << " days.\n";
    return 0;
  }
  err << "tandrel-cli: trash takes nothing, restore PATH, empty [PATH] or keep DAYS\n";
  return 2;
}

int UndoCommands::Versions(const std::vector<std::string>& args, std::ostream& out,
                           std::ostream& err) {
  bool restore = args.size() == 3 && args[0] == "restore" && std::atoi(args[2].c_str()) > 0;
  if (!(args.size() == 1 || restore)) {
    err << "tandrel-cli: versions PATH, or versions restore PATH N\n";
    return 2;
  }
  std::string user;
  if (!CliCommands::CurrentUser(user, err)) return 1;
  std::string path = CliCommands::DrivePathArg(restore ? args[1] : args[0], user);
  std::vector<KeptRecord> versions;
  if (!TrashKeeper::VersionsAt(DataDir(), user, path, versions)) {
    err << "tandrel-cli: no file /" << DrivePathText(path) << " on the drive\n";
    return 1;
  }
  if (restore) {
    int n = std::atoi(args[2].c_str());
    if (n > static_cast<int>(versions.size())) {
      err << "tandrel-cli: /" << DrivePathText(path) << " has " << versions.size()
          << " earlier versions\n";
      return 1;
    }
    if (!Ask(user, {KeptFiles::Action::kRestoreVersion, path, n}, err)) return 1;
    out << "Version " << n << " of /" << DrivePathText(path)
        << " becomes its content at the next pass of the mounted drive; the content it "
           "replaces becomes a version.\n";
    return 0;
  }
  if (versions.empty()) out << "/" << DrivePathText(path) << " has no earlier versions.\n";
  for (size_t i = 0; i < versions.size(); ++i)
    out << "  " << i + 1 << "  " << TrashKeeper::TimeText(versions[i].at) << "  "
        << SyncStatus::BytesText(versions[i].size) << "  on " << versions[i].machine << "\n";
  return 0;
}

void UndoCommands::StatusLine(const std::string& user, std::ostream& out) {
  int64_t bytes = 0;
  if (KeptFiles(DataDir(), user).Bytes(bytes) && bytes > 0)
    out << "trash and versions: " << SyncStatus::BytesText(bytes) << "\n";
}
