#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "log/Fifo.h"

enum LogLevel { LOG_ERROR = 0, LOG_WARNING = 1, LOG_INFO = 2, LOG_DEBUG = 3 };

// The process-wide log. Created on first use and never destroyed.
// Thread contract: Write is called from every thread; formatting happens
// outside any lock and only the append to queue_ is locked (queue_'s own
// mutex). enabled_ and threshold_ are atomics. The background writer (started
// only when TANDREL_LOG is set) is the one thread that drains queue_; it and
// Flush meet under writer_mutex_ (lock order: writer_mutex_, then queue_'s).
//
// With TANDREL_LOG unset the switch stays off and nothing is ever recorded.
// With TANDREL_LOG=N (0..3) the switch is on, the threshold is N, and lines
// are appended, each with "\n", to DataDir()/log/tandrel.log.
class CLog {
 public:
  static CLog* Instance();

  // level_env is TANDREL_LOG's value or null. Tests build their own.
  explicit CLog(const char* level_env);
  virtual ~CLog();
  CLog(const CLog&) = delete;
  CLog& operator=(const CLog&) = delete;

  bool Write(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

  void SetPath(const std::string& path);
  std::string Path() const;

  void SetThreshold(int level) { threshold_ = level; }
  int Threshold() const { return threshold_; }
  void SetEnabled(bool on) { enabled_ = on; }
  bool Enabled() const { return enabled_; }

  // Waits until every line queued so far is in the file (no-op without the
  // writer). Called at exit too.
  void Flush();

  // The finished lines not yet drained (for a process without the writer,
  // and for tests).
  Fifo<std::string>& Queue() { return queue_; }

  // Builds one line as the log formats it, from a broken-down local time.
  static std::string FormatLine(int level, const std::string& message, const struct tm& local);

  static constexpr size_t kMessageBuffer = 2048;
  static constexpr size_t kLineMax = 1023;

 private:
  void StartWriter();
  void WriterLoop();
  void DrainOnce();

  std::atomic<bool> enabled_{false};
  Fifo<std::string> queue_;
  mutable std::mutex path_mutex_;
  std::string path_;
  std::atomic<int> threshold_{1};

  bool writer_on_ = false;
  std::mutex writer_mutex_;
  std::condition_variable writer_wake_;
  std::condition_variable drained_;
  uint64_t queued_ = 0;   // guarded by writer_mutex_
  uint64_t written_ = 0;  // guarded by writer_mutex_
  bool stop_ = false;     // guarded by writer_mutex_
  std::thread writer_;
};
