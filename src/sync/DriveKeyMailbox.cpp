#include "sync/DriveKeyMailbox.h"

#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <fstream>
#include <iterator>
#include <vector>

#include "log/CLog.h"
#include "mail/ImapClient.h"
#include "message/DriveKeyMessage.h"
#include "platform/FileHelpers.h"

namespace {

bool WriteWhole(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

}  // namespace

DriveKeyMailbox::Look DriveKeyMailbox::Inspect(ImapClient& session, std::string& sealed) {
  std::vector<uint32_t> keys, plain;
  if (!session.SearchHeader(DriveKeyMessage::kField, keys)) return Look::kFailed;
  if (!keys.empty()) {
    std::string message;
    if (!session.FetchMessage({std::to_string(keys.front())}, message)) return Look::kFailed;
    if (!DriveKeyMessage::Sealed(message, sealed)) {
      CLog::Instance()->Write(LOG_ERROR, "key message mail_id:%u holds no key", keys.front());
      return Look::kFailed;
    }
    return Look::kEncrypted;
  }
  if (!session.SearchHeader("X-tdr-info", plain)) return Look::kFailed;
  return plain.empty() ? Look::kNoDrive : Look::kPlainDrive;
}

bool DriveKeyMailbox::Store(ImapClient& session, const std::string& folder,
                            const std::string& address, const std::string& sealed,
                            const std::string& temp_dir) {
  MakeDir(temp_dir);
  std::string path = NativePath(temp_dir + "\\drive-key.eml");
  bool ok = WriteWhole(path, DriveKeyMessage::Compose(sealed, address, ::time(nullptr))) &&
            session.Append(folder, path);
  ::unlink(path.c_str());
  return ok;
}

std::string DriveKeyMailbox::LocalPath(const std::string& data_dir, const std::string& user) {
  return NativePath(data_dir + "\\" + user + ".key.age");
}

bool DriveKeyMailbox::ReadLocal(const std::string& data_dir, const std::string& user,
                                std::string& sealed) {
  std::ifstream in(LocalPath(data_dir, user), std::ios::binary);
  if (!in) return false;
  sealed.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !sealed.empty();
}

bool DriveKeyMailbox::WriteLocal(const std::string& data_dir, const std::string& user,
                                 const std::string& sealed) {
  std::string path = LocalPath(data_dir, user), temp = path + ".tmp";
  if (!WriteWhole(temp, sealed) || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}
