#include "store/PrepareDataDir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>

#include "log/CLog.h"
#include "platform/FileHelpers.h"
#include "platform/Locations.h"
#include "platform/UniqueFd.h"
#include "store/CppSQLite3DB.h"
#include "store/MetaStore.h"
#include "store/StoreFiles.h"
#include "store/StoreTransaction.h"
#include "store/TemplateSchema.h"

namespace {

// An empty file is what an engine open of a missing path leaves behind; it
// holds no tables and must be replaced like a missing one.
bool HasDatabase(const std::string& path) {
  struct stat st {};
  return ::stat(NativePath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Copies a template that looks like a database into a private file beside
// target, then renames it into place, so an interrupted copy is never taken
// for the main database.
bool CopyTemplate(const std::string& source, const std::string& target) {
  UniqueFd in(::open(NativePath(source).c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return false;
  std::string bytes;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(in.get(), buffer, sizeof buffer);
    if (n < 0) return false;
    if (n == 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  static const char kMagic[] = "SQLite format 3";  // with its NUL: 16 bytes
  if (bytes.size() < sizeof kMagic || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
    return false;
  std::string temp = NativePath(target + ".part");
  ::unlink(temp.c_str());
  UniqueFd out(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (out.get() < 0) return false;
  bool ok = WriteAll(out.get(), bytes.data(), bytes.size()) && ::fsync(out.get()) == 0;
  ok = out.Close() && ok;
  if (!ok || ::rename(temp.c_str(), NativePath(target).c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool CreateMainDatabase(const std::string& path) {
  std::string temp = path + ".part";
  ::unlink(NativePath(temp).c_str());
  if (!EnsurePrivateFile(temp)) return false;
  CppSQLite3DB db;
  bool made = RunStoreBody(
      db, "CreateMainDatabase error",
      [&] {
        db.OpenDb(temp);
        db.RunStatement(kTemplateSchemaSql);
        db.CloseDb();
      },
      false);
  // Closed before the file is renamed into place or removed.
  db.CloseDb();
  if (!made) {
    ::unlink(NativePath(temp).c_str());
    return false;
  }
  if (::rename(NativePath(temp).c_str(), NativePath(path).c_str()) != 0) {
    ::unlink(NativePath(temp).c_str());
    return false;
  }
  return true;
}

bool PrepareDataDir() { return PrepareDataDir(ProgramDir()); }

bool PrepareDataDir(const std::string& program_dir) {
  return PrepareDataDir(DataDir(), program_dir, DocumentsDir());
}

bool PrepareDataDir(const std::string& data, const std::string& program_dir,
                    const std::string& documents) {
  if (data.empty()) return false;
  // The databases hold passwords: the directory is the user's alone, even
  // when something (the log) made it earlier with a wider mode.
  MakeDir(data, 0700);
  ::chmod(NativePath(data).c_str(), 0700);
  MakeDir(data + "\\log");
  MakeDir(data + "\\update");
  MakeDir(data + "\\temp");

  std::string main_db = data + "\\tandrel.db";
  if (!HasDatabase(main_db)) {
    bool made = CopyTemplate(program_dir + "tandrel.db", main_db) ||
                CopyTemplate(program_dir + "../share/tandrel/tandrel.db", main_db) ||
                CreateMainDatabase(main_db);
    if (!made) {
      CLog::Instance()->Write(LOG_ERROR, "PrepareDataDir error.msg=%s", "no main database");
      return false;
    }
  }
  ::chmod(NativePath(main_db).c_str(), 0600);

  MetaStore store(data);
  SettingRecord setting;
  // Written back only after a real read: a failed one would otherwise reset
  // the other settings.
  if (store.ReadSetting(setting) && setting.data_dir.empty()) {
    if (!documents.empty()) {
      setting.data_dir = documents + "/";
      store.UpdateSetting(setting);
    }
  }
  return true;
}
