#include "sync/PartAhead.h"

#include <system_error>
#include <utility>

#include "log/CLog.h"
#include "message/MailParser.h"

PartAhead::~PartAhead() {
  session_.Abort();
  if (thread_.joinable()) thread_.join();
}

void PartAhead::Start(const std::string& mail_id) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!done_ || mail_id_ == mail_id) return;
    mail_id_ = mail_id;
    content_.clear();
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
  std::string message, content;
  PartHeader info;
  bool fetched = open_(session_) && session_.FetchMessage({mail_id}, message);
  if (!fetched) session_.Close();
  bool ok = fetched && Content(message, content, key_(), info);
  std::lock_guard<std::mutex> lock(mutex_);
  content_ = std::move(content);
  info_ = info;
  ok_ = ok;
  done_ = true;
  arrived_.notify_all();
}

bool PartAhead::Content(const std::string& message, std::string& content, const DriveKey* key,
                        PartHeader& info) {
  MailParser parser;
  parser.SetKey(key);
  parser.Parse(message);
  info = parser.info;
  if (parser.attachments.empty()) return false;
  content = std::move(parser.attachments.begin()->second);
  return true;
}

bool PartAhead::Take(const std::string& mail_id, std::string& content, PartHeader& info) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (mail_id_.empty() || mail_id_ != mail_id) return false;
  arrived_.wait(lock, [this] { return done_; });
  bool ok = ok_;
  if (ok) content = std::move(content_);
  info = info_;
  content_.clear();
  mail_id_.clear();
  return ok;
}

void PartAhead::Cut() { session_.Abort(); }
