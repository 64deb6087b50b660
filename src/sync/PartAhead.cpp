#include "sync/PartAhead.h"

#include <system_error>
#include <utility>

#include "log/CLog.h"

PartAhead::~PartAhead() {
  session_.Abort();
  if (thread_.joinable()) thread_.join();
}

void PartAhead::Start(const std::string& mail_id) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!done_ || mail_id_ == mail_id) return;
    mail_id_ = mail_id;
    message_.clear();
    done_ = false;
    ok_ = false;
  }
  if (thread_.joinable()) thread_.join();  // done: it has left its last lock
  try {
    thread_ = std::thread(&PartAhead::Run, this, mail_id);
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> lock(mutex_);
    mail_id_.clear();  // no thread: the reader fetches it itself
    done_ = true;
  }
}

void PartAhead::Run(std::string mail_id) {
  CLog::Instance()->Write(LOG_DEBUG, "fetching mail_id:%s ahead", mail_id.c_str());
  std::string message;
  bool ok = open_(session_) && session_.FetchMessage({mail_id}, message);
  if (!ok) session_.Close();
  std::lock_guard<std::mutex> lock(mutex_);
  message_ = std::move(message);
  ok_ = ok;
  done_ = true;
  arrived_.notify_all();
}

bool PartAhead::Take(const std::string& mail_id, std::string& message) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (mail_id_.empty() || mail_id_ != mail_id) return false;
  arrived_.wait(lock, [this] { return done_; });
  bool ok = ok_;
  if (ok) message = std::move(message_);
  message_.clear();
  mail_id_.clear();
  return ok;
}

void PartAhead::Cut() { session_.Abort(); }
