// ImapClient: the command and response machinery every command uses (sending
// pieces and literals, reading tagged and untagged lines, what the session
// learns from them, ending IDLE). It calls nothing of ImapClient.cpp or
// ImapMessages.cpp.
#include <cctype>
#include <cstring>

#include "mail/ImapClient.h"

namespace {

bool IsAtomChar(unsigned char c) {
  return c > 0x20 && c < 0x7f && std::strchr("(){ %*\"\\", c) == nullptr;
}

bool IsQuotable(unsigned char c) { return c != 0 && c != '\r' && c != '\n' && c < 0x80; }

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool StartsWithWord(const std::string& text, const char* word) {
  size_t n = std::strlen(word);
  return text.size() >= n && Upper(text.substr(0, n)) == word &&
         (text.size() == n || text[n] == ' ' || text[n] == '\r' || text[n] == '\n');
}

// "* 12 EXISTS": the number and the word after it.
bool NumberedData(const std::string& line, uint64_t& number, std::string& word) {
  size_t end = line.find(' ', 2);
  if (end == std::string::npos || !ImapParser::ParseNumber(line.substr(2, end - 2), number))
    return false;
  size_t word_end = line.find_first_of(" \r\n", end + 1);
  word = Upper(
      line.substr(end + 1, word_end == std::string::npos ? std::string::npos : word_end - end - 1));
  return true;
}


}  // namespace

int ImapClient::ReadResponseLine(std::string& line) {
  int n = ReadLine(line);
  if (n < 0) return n;
  if (line[0] == '*')
    Observe(line);
  else if (line.compare(0, std::strlen(kTag), kTag) == 0)
    NoteTagged(line);
  return n;
}

bool ImapClient::ReadFullResponse(std::string& response) {
  std::string line;
  if (ReadResponseLine(line) < 0) return false;
  response = line;
  size_t size = 0;
  for (;;) {
    size_t end = response.size();
    while (end > 0 && (response[end - 1] == '\n' || response[end - 1] == '\r')) --end;
    size_t open = response.rfind('{', end);
    if (end == 0 || response[end - 1] != '}' || open == std::string::npos) return true;
    std::string digits = response.substr(open + 1, end - open - 2);
    if (!digits.empty() && digits.back() == '+') digits.pop_back();
    uint64_t announced = 0;
    if (!ImapParser::ParseNumber(digits, announced)) return true;
    size = static_cast<size_t>(announced);
    if (!ReadExact(size, response, nullptr)) return false;
    if (ReadLine(line) < 0) return false;
    response += line;
  }
}

void ImapClient::ObserveCode(const std::string& code) {
  std::string word = Upper(code.substr(0, code.find(' ')));
  std::string args = code.find(' ') == std::string::npos ? "" : code.substr(code.find(' ') + 1);
  uint64_t value = 0;
  if (word == "CAPABILITY") {
    capabilities_ = ImapParser::Capabilities(args);
    for (const std::string& c : capabilities_)
      if (c.rfind("APPENDLIMIT=", 0) == 0 && ImapParser::ParseNumber(c.substr(12), value))
        append_limit_ = value;
  } else if (word == "UIDVALIDITY" && ImapParser::ParseNumber(args, value)) {
    uidvalidity_ = static_cast<uint32_t>(value);
  } else if (word == "UIDNEXT" && ImapParser::ParseNumber(args, value)) {
    uidnext_ = static_cast<uint32_t>(value);
  }
}

void ImapClient::Observe(const std::string& line) {
  std::string rest = line.substr(line.size() > 1 && line[1] == ' ' ? 2 : 1);
  uint64_t number = 0;
  std::string word;
  if (StartsWithWord(rest, "OK") || StartsWithWord(rest, "NO") || StartsWithWord(rest, "BAD") ||
      StartsWithWord(rest, "PREAUTH") || StartsWithWord(rest, "BYE")) {
    std::string code = ImapParser::ResponseCode(line);
    if (!code.empty()) {
      ObserveCode(code);
      untagged_codes_.push_back(code);
    }
    if (StartsWithWord(rest, "BYE")) refusal_ = MailResult::Refusal(line);
  } else if (StartsWithWord(rest, "CAPABILITY")) {
    ObserveCode(ImapParser::StatusText(line));
    capabilities_after_login_ = logged_in_;
  } else if (StartsWithWord(rest, "VANISHED")) {
    std::string set = rest.substr(9);
    if (set.rfind("(EARLIER)", 0) == 0) return;
    std::vector<uint32_t> uids;
    if (!ImapParser::ParseUidSet(set, uids)) return;
    exists_ = exists_ > uids.size() ? exists_ - static_cast<uint32_t>(uids.size()) : 0;
    changes_.vanished.insert(changes_.vanished.end(), uids.begin(), uids.end());
    ++change_events_;
  } else if (StartsWithWord(rest, "STATUS")) {
    if (ImapParser::ParseStatusItem(line, "APPENDLIMIT", number)) append_limit_ = number;
  } else if (NumberedData(line, number, word)) {
    if (word == "EXISTS") {
      exists_ = static_cast<uint32_t>(number);
      exists_known_ = true;
      changes_.exists = true;
      ++change_events_;
    } else if (word == "EXPUNGE") {
      if (exists_ > 0) --exists_;
      ++changes_.expunged;
      ++change_events_;
    } else if (word == "FETCH" && note_flags_) {
      changes_.flags = true;
      ++change_events_;
    }
  }
}

void ImapClient::NoteTagged(const std::string& line) {
  last_code_ = ImapParser::ResponseCode(line);
  if (!last_code_.empty()) ObserveCode(last_code_);
  if (Upper(last_code_.substr(0, 10)) == "CAPABILITY") capabilities_after_login_ = true;
  if (Judge(line) == Verdict::kFailed) refusal_ = MailResult::Refusal(line);
}

bool ImapClient::SendCommand(const std::string& command) {
  if (idling_ && !IdleDone()) return false;
  untagged_codes_.clear();
  last_code_.clear();
  return Send(command);
}

bool ImapClient::Command(const std::string& command,
                         const std::function<void(const std::string&)>& on_line,
                         std::string* tagged) {
  return SendCommand(std::string(kTag) + " " + command + "\r\n") &&
         AwaitCompletion(tagged, on_line);
}

std::string ImapClient::Quoted(const std::string& arg) const {
  Pieces pieces;
  AddArgument(pieces, arg, true);
  // Names with line ends or 8-bit bytes are not sent by these commands.
  return pieces.size() == 1 ? pieces[0] : "\"\"";
}

void ImapClient::ResetFolderState() {
  selected_.clear();
  exists_known_ = false;
  exists_ = uidvalidity_ = uidnext_ = 0;
  changes_ = Changes{};
}

ImapClient::Changes ImapClient::TakeChanges() {
  Changes taken = changes_;
  changes_ = Changes{};
  return taken;
}

bool ImapClient::HasCapability(const std::string& name) const {
  return capabilities_.count(Upper(name)) != 0;
}

bool ImapClient::IdleDone() {
  if (!idling_) return true;
  idling_ = false;
  note_flags_ = true;
  bool ok = Send("DONE\r\n") && AwaitCompletion();
  note_flags_ = false;
  return ok;
}

void ImapClient::AddArgument(Pieces& pieces, const std::string& arg, bool always_quote) {
  if (pieces.empty()) pieces.emplace_back();
  bool atom = !arg.empty(), quotable = true;
  for (unsigned char c : arg) {
    atom = atom && IsAtomChar(c);
    quotable = quotable && IsQuotable(c);
  }
  std::string& last = pieces.back();
  if (atom && !always_quote) {
    last += arg;
  } else if (quotable) {
    last += '"';
    for (char c : arg) {
      if (c == '"' || c == '\\') last += '\\';
      last += c;
    }
    last += '"';
  } else {
    last += '{';
    last += std::to_string(arg.size());
    last += "}\r\n";
    pieces.push_back(arg);
  }
}

bool ImapClient::StartsWithTag(const std::string& line, const char* status) const {
  size_t tag = std::strlen(kTag), len = std::strlen(status);
  return line.size() > tag + len && line.compare(0, tag, kTag) == 0 && line[tag] == ' ' &&
         line.compare(tag + 1, len, status) == 0;
}

ImapClient::Verdict ImapClient::Judge(const std::string& line) const {
  if (StartsWithTag(line, "OK")) return Verdict::kOk;
  // Only the tagged line completes a command: an untagged "* OK NO..." does not.
  if (StartsWithTag(line, "NO") || StartsWithTag(line, "BAD")) return Verdict::kFailed;
  return Verdict::kMore;
}

bool ImapClient::AwaitCompletion(std::string* tagged,
                                 const std::function<void(const std::string&)>& on_line) {
  std::string line;
  for (;;) {
    if (ReadResponseLine(line) < 0) return false;
    if (on_line) on_line(line);
    Verdict verdict = Judge(line);
    if (verdict == Verdict::kMore) continue;
    if (tagged != nullptr) *tagged = line;
    return verdict == Verdict::kOk;
  }
}

bool ImapClient::SendPieces(const Pieces& pieces) {
  if (idling_ && !IdleDone()) return false;
  for (size_t i = 0; i + 1 < pieces.size(); ++i) {
    if (!Send(pieces[i])) return false;
    // The server takes a literal only after its continuation request.
    std::string line;
    for (;;) {
      if (ReadResponseLine(line) < 0) return false;
      if (!line.empty() && line[0] == '+') break;
      if (Judge(line) != Verdict::kMore) return false;
    }
  }
  return pieces.empty() || Send(pieces.back());
}
