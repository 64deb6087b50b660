// ImapClient: several APPENDs in flight on one connection, on the machinery
// of ImapSession.cpp. Each goes with a tag of its own ("up1", "up2", ...) so
// that every answer, and the UID it names, is matched to its message.
#include <cctype>
#include <cstdint>

#include "log/CLog.h"
#include "mail/ImapClient.h"
#include "platform/UniqueFd.h"

namespace {

constexpr const char* kAppendTag = "up";

// The message number of an answer tagged "upN", 0 for any other line.
size_t AnswerNumber(const std::string& line) {
  size_t tag = std::char_traits<char>::length(kAppendTag);
  if (line.compare(0, tag, kAppendTag) != 0) return 0;
  size_t end = line.find(' ', tag);
  uint64_t n = 0;
  if (end == std::string::npos || !ImapParser::ParseNumber(line.substr(tag, end - tag), n))
    return 0;
  return static_cast<size_t>(n);
}

}  // namespace

size_t ImapClient::NonSyncLiteralLimit() const {
  if (HasCapability("LITERAL+")) return SIZE_MAX;
  if (HasCapability("LITERAL-")) return 4096;
  return 0;
}

MailResult ImapClient::AppendMessages(const std::string& folder,
                                      const std::vector<std::string>& paths,
                                      std::vector<Appended>& appended) {
  appended.assign(paths.size(), Appended{});
  refusal_ = MailResult();
  std::vector<Plan> plan(paths.size(), Plan::kInTurn);
  Pieces head;
  AddArgument(head, folder, true);
  if (paths.size() > 1 && head.size() == 1 && NonSyncLiteralLimit() > 0) {
    if (idling_ && !IdleDone()) return Lost();
    untagged_codes_.clear();
    last_code_.clear();
    bool all_sent = SendAppends(head[0], paths, appended, plan);
    // What went is answered even when a later message could not go.
    if (!ReadAppendAnswers(plan, appended) || !all_sent) {
      MailResult lost = Lost();
      for (size_t i = 0; i < paths.size(); ++i)
        if (plan[i] != Plan::kSettled) appended[i].result = lost;
      Close();
      return lost;
    }
  }
  return AppendInTurn(folder, paths, plan, appended);
}

MailResult ImapClient::AppendInTurn(const std::string& folder,
                                    const std::vector<std::string>& paths,
                                    const std::vector<Plan>& plan,
                                    std::vector<Appended>& appended) {
  for (size_t i = 0; i < paths.size(); ++i) {
    if (plan[i] != Plan::kInTurn) continue;
    appended[i].result = AppendMessage(folder, paths[i], appended[i].outcome);
    if (!appended[i].result.ConnectionEnded()) continue;
    for (size_t j = i + 1; j < paths.size(); ++j)
      if (plan[j] == Plan::kInTurn) appended[j].result = appended[i].result;
    return appended[i].result;
  }
  return MailResult::Ok();
}

bool ImapClient::SendAppends(const std::string& folder, const std::vector<std::string>& paths,
                             std::vector<Appended>& appended, std::vector<Plan>& plan) {
  const size_t limit = NonSyncLiteralLimit();
  plan.assign(paths.size(), Plan::kUnsent);
  for (size_t i = 0; i < paths.size(); ++i) {
    UniqueFd file;
    size_t length = 0;
    appended[i].result = OpenMessage(paths[i], file, length);
    if (!appended[i].result.ok()) {
      plan[i] = Plan::kSettled;
      continue;
    }
    // Past the non-synchronizing limit the server would wait for a
    // continuation: such a message goes in turn once the others are answered.
    if (length > limit) {
      plan[i] = Plan::kInTurn;
      continue;
    }
    std::string command = kAppendTag + std::to_string(i + 1) + " APPEND " + folder + " {" +
                          std::to_string(length) + "+}\r\n";
    if (!Send(command) || !SendFile(file.get(), length, paths[i])) return false;
    plan[i] = Plan::kInFlight;
  }
  return true;
}

bool ImapClient::ReadAppendAnswers(std::vector<Plan>& plan, std::vector<Appended>& appended) {
  size_t waiting = 0;
  for (Plan p : plan) waiting += p == Plan::kInFlight ? 1 : 0;
  std::string line;
  while (waiting > 0) {
    if (ReadResponseLine(line) < 0) return false;
    size_t n = AnswerNumber(line);
    // Untagged data is noted on the way; a second answer is no answer.
    if (n == 0 || n > plan.size() || plan[n - 1] != Plan::kInFlight) continue;
    Appended& one = appended[n - 1];
    plan[n - 1] = Plan::kSettled;
    --waiting;
    std::string code = ImapParser::ResponseCode(line);
    std::string text = ImapParser::StatusText(line);
    std::string word = text.substr(0, text.find(' '));
    for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (word != "OK") {
      CLog::Instance()->Write(LOG_ERROR, "append error,res=%s", line.c_str());
      one.result = MailResult::Refusal(line);
      continue;
    }
    if (!code.empty()) ObserveCode(code);
    ReadAppendUid(code, one.outcome);
    one.result = MailResult::Ok(code, text);
  }
  return true;
}
