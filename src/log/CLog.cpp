#include "log/CLog.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

// The log sits below the platform layer, so it finds and makes its folder
// with these few lines of its own; they agree with Locations and FileHelpers.
std::string LogDataDir() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') return std::string(data) + "/tandrel";
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') {
    struct passwd* pw = ::getpwuid(::getuid());
    home = pw != nullptr ? pw->pw_dir : nullptr;
  }
  if (home == nullptr || *home == '\0') return "";
  return std::string(home) + "/.local/share/tandrel";
}

std::string LogProgramDir() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "./";
  std::string path(buf, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

std::string LogNativePath(std::string path) {
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

void MakeLogDir(const std::string& path) {
  std::string native = LogNativePath(path);
  for (size_t pos = 1; pos <= native.size(); ++pos) {
    if (pos == native.size() || native[pos] == '/') ::mkdir(native.substr(0, pos).c_str(), 0755);
  }
}

const char* LevelName(int level) {
  switch (level) {
    case LOG_ERROR:
      return "LOG_ERROR";
    case LOG_WARNING:
      return "LOG_WARNING";
    case LOG_INFO:
      return "LOG_INFO";
    default:
      return "LOG_DEBUG";
  }
}

void FlushAtExit() { CLog::Instance()->Flush(); }

}  // namespace

CLog* CLog::Instance() {
  // Created on first use and never destroyed; a static local makes the first
  // use safe from any thread.
  static CLog* instance = [] {
    CLog* log = new CLog(std::getenv("TANDREL_LOG"));
    if (log->writer_on_) std::atexit(FlushAtExit);
    return log;
  }();
  return instance;
}

CLog::CLog(const char* env) {
  path_ = LogProgramDir() + "log.txt";
  if (env != nullptr && *env != '\0') {
    int level = std::atoi(env);
    if (level < LOG_ERROR) level = LOG_ERROR;
    if (level > LOG_DEBUG) level = LOG_DEBUG;
    threshold_ = level;
    std::string dir = LogDataDir();
    if (!dir.empty()) {
      MakeLogDir(dir + "\\log");
      path_ = dir + "\\log\\tandrel.log";
    }
    enabled_ = true;
    StartWriter();
  }
}

CLog::~CLog() {
  if (!writer_on_) return;
  Flush();
  {
    std::lock_guard<std::mutex> lock(writer_mutex_);
    stop_ = true;
  }
  writer_wake_.notify_all();
  writer_.join();
}

std::string CLog::FormatLine(int level, const std::string& message, const struct tm& t) {
  char line[kLineMax + 1];
  std::snprintf(line, sizeof line, "[%d-%d-%d %d:%d:%d] %s %s", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, LevelName(level), message.c_str());
  return line;
}

bool CLog::Write(int level, const char* format, ...) {
  if (!enabled_) return true;
  char buffer[kMessageBuffer];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (level > threshold_) return true;

  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  std::string line = FormatLine(level, buffer, local);

  if (!writer_on_) {
    queue_.Add(std::move(line));
    return true;
  }
  {
    // Counting and queueing under writer_mutex_ keeps Flush exact.
    std::lock_guard<std::mutex> lock(writer_mutex_);
    queue_.Add(std::move(line));
    ++queued_;
  }
  writer_wake_.notify_one();
  return true;
}

void CLog::SetPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(path_mutex_);
  path_ = path;
}

std::string CLog::Path() const {
  std::lock_guard<std::mutex> lock(path_mutex_);
  return path_;
}

void CLog::StartWriter() {
  writer_on_ = true;
  writer_ = std::thread([this] { WriterLoop(); });
}

void CLog::WriterLoop() {
  std::unique_lock<std::mutex> lock(writer_mutex_);
  for (;;) {
    writer_wake_.wait(lock, [this] { return stop_ || written_ < queued_; });
    if (stop_) return;
    uint64_t target = queued_;
    lock.unlock();
    DrainOnce();
    lock.lock();
    written_ = target;
    drained_.notify_all();
  }
}

void CLog::DrainOnce() {
  std::list<std::string> lines = queue_.TakeAll();
  if (lines.empty()) return;
  std::string text;
  for (const std::string& l : lines) {
    text += l;
    text += '\n';
  }
  int fd = ::open(LogNativePath(Path()).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
  ::close(fd);
}

void CLog::Flush() {
  if (!writer_on_) return;
  std::unique_lock<std::mutex> lock(writer_mutex_);
  uint64_t target = queued_;
  drained_.wait(lock, [&] { return written_ >= target; });
}
