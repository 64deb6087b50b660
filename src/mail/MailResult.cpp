#include "mail/MailResult.h"

#include <cctype>

#include "mail/ImapParser.h"

namespace {

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

MailResult MailResult::Refusal(const std::string& line) {
  std::string text = ImapParser::StatusText(line);
  std::string word = Upper(text.substr(0, text.find(' ')));
  Status status = word == "NO" ? Status::kNo : word == "BYE" ? Status::kBye : Status::kBad;
  return MailResult(status, ImapParser::ResponseCode(line), std::move(text));
}

bool MailResult::CodeIs(const char* word) const {
  return Upper(code_.substr(0, code_.find(' '))) == word;
}

bool MailResult::OverQuota() const {
  if (CodeIs("OVERQUOTA")) return true;
  // Servers without the code say so in words; another code says otherwise.
  if (status_ != Status::kNo || Throttled() || TooBig()) return false;
  std::string lower = text_;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.find("quota") != std::string::npos;
}

bool MailResult::Throttled() const {
  return CodeIs("THROTTLED") || CodeIs("LIMIT") || CodeIs("UNAVAILABLE");
}

bool MailResult::TooBig() const { return CodeIs("TOOBIG"); }
