#pragma once

#include <list>
#include <string>

#include "log/CLog.h"

// Turns the process log on for the test and hands out what it recorded.
class LogCapture {
 public:
  LogCapture() {
    CLog::Instance()->SetEnabled(true);
    CLog::Instance()->SetThreshold(3);
    CLog::Instance()->Queue().TakeAll();
  }
  ~LogCapture() { CLog::Instance()->SetEnabled(false); }

  // True when some line recorded since the last call ends with text.
  bool Has(const std::string& text) {
    for (const std::string& line : CLog::Instance()->Queue().TakeAll()) seen_.push_back(line);
    for (const std::string& line : seen_)
      if (line.size() >= text.size() &&
          line.compare(line.size() - text.size(), text.size(), text) == 0)
        return true;
    return false;
  }
  size_t Count() {
    Has("");
    return seen_.size();
  }

 private:
  std::list<std::string> seen_;
};
