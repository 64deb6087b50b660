#pragma once

#include <string>

class ImapClient;

// Where an encrypted drive's key lives: its key message in the drive's
// folder, and a copy in the data directory, so that a drive started offline
// still seals what it writes (the copy, like the message, opens only with
// the passphrase).
// Thread contract: the caller's thread, on a session it owns, selected on
// the drive's folder.
class DriveKeyMailbox {
 public:
  enum class Look { kNoDrive, kPlainDrive, kEncrypted, kFailed };

  // What the folder holds; sealed gets the key of an encrypted drive (of
  // two key messages, the smaller UID's, which every machine picks alike).
  static Look Inspect(ImapClient& session, std::string& sealed);
  // Appends the key message; temp_dir takes the message file meanwhile.
  static bool Store(ImapClient& session, const std::string& folder, const std::string& address,
                    const std::string& sealed, const std::string& temp_dir);

  static std::string LocalPath(const std::string& data_dir, const std::string& user);
  // False when there is no copy (a plain drive, or one never signed in).
  static bool ReadLocal(const std::string& data_dir, const std::string& user, std::string& sealed);
  static bool WriteLocal(const std::string& data_dir, const std::string& user,
                         const std::string& sealed);
};
