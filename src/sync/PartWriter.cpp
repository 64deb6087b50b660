#include "sync/PartWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log/CLog.h"
#include "platform/FileHelpers.h"
#include "platform/RunningMd5.h"
#include "platform/UniqueFd.h"

namespace {

bool WriteAll(int fd, const char* data, size_t n, off_t offset) {
  size_t done = 0;
  while (done < n) {
    ssize_t got = ::pwrite(fd, data + done, n - done, offset + static_cast<off_t>(done));
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

SyncResult PartWriter::Write(const std::string& path, int64_t total_size, int64_t offset,
                             const char* data, size_t n, RunningMd5* digest) {
  std::string folder, name;
  if (SplitPath(path, folder, name)) MakeDir(folder);
  // Read and write: a running digest reads the bytes back through it.
  UniqueFd file(::open(NativePath(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (file.get() < 0) {
    CLog::Instance()->Write(LOG_ERROR, "打开文件%s写入失败", path.c_str());
    return SyncResult::Failed("the cached copy cannot be opened");
  }
  struct stat st {};
  bool ok = ::fstat(file.get(), &st) == 0;
  // A short file is lengthened by writing its last byte, not by ftruncate:
  // ext4 flushes a file at close after a truncate, which stalls every part.
  if (ok && st.st_size > total_size) ok = ::ftruncate(file.get(), total_size) == 0;
  if (ok && st.st_size < total_size) ok = ::pwrite(file.get(), "", 1, total_size - 1) == 1;
  ok = ok && WriteAll(file.get(), data, n, static_cast<off_t>(offset));
  if (!ok) {
    CLog::Instance()->Write(LOG_ERROR, "打开文件%s写入失败", path.c_str());
    return SyncResult::RetryLater("the cached copy cannot be written");
  }
  if (digest != nullptr) digest->Wrote(file.get(), data, n, static_cast<uint64_t>(offset));
  return SyncResult::Done();
}
