// ImapClient: what the session learns from the server, folders, quota, IDLE.
#include <cctype>
#include <cstring>

#include "mail/ImapClient.h"

#ifndef TANDREL_VERSION
#define TANDREL_VERSION "0"
#endif

namespace {

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

// The program's folder inside the personal namespace.
std::string UnderPrefix(const ImapParser::Namespace& personal) {
  const std::string& prefix = personal.prefix;
  if (!prefix.empty() && personal.delimiter != 0 && prefix.back() != personal.delimiter)
    return prefix + personal.delimiter + ImapClient::kFolder;
  return prefix + ImapClient::kFolder;
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

bool ImapClient::Capability() {
  capabilities_.clear();
  return Command("CAPABILITY");
}

bool ImapClient::EnsureCapabilities() {
  if (!capabilities_after_login_ && !Capability()) return false;
  if (HasCapability("ID") && !id_sent_) return Identify();
  return true;
}

bool ImapClient::Identify() {
  id_sent_ = true;
  return Command(std::string("ID (\"name\" \"") + kProgramName + "\" \"version\" \"" +
                 TANDREL_VERSION + "\")");
}

bool ImapClient::GetNamespace(ImapParser::Namespace& personal) {
  personal = ImapParser::Namespace{};
  return Command("NAMESPACE", [&personal](const std::string& line) {
    ImapParser::Namespace found;
    if (ImapParser::ParseNamespace(line, found)) personal = found;
  });
}

bool ImapClient::List(const std::string& reference, const std::string& pattern,
                      std::vector<ImapParser::ListEntry>& entries, bool special_use) {
  entries.clear();
  std::string command = "LIST " + Quoted(reference) + " " + Quoted(pattern);
  if (special_use && HasCapability("SPECIAL-USE")) command += " RETURN (SPECIAL-USE)";
  if (!SendCommand(std::string(kTag) + " " + command + "\r\n")) return false;
  // Names may come as literals: read whole responses, not lines.
  std::string response;
  for (;;) {
    if (!ReadFullResponse(response)) return false;
    Verdict verdict = Judge(response);
    if (verdict != Verdict::kMore) return verdict == Verdict::kOk;
    ImapParser::ListEntry entry;
    if (ImapParser::ParseList(response, entry)) entries.push_back(std::move(entry));
  }
}

ImapClient::FolderChoice ImapClient::ChooseFolder(const std::vector<ImapParser::ListEntry>& found,
                                                  const ImapParser::Namespace& personal,
                                                  std::string& folder) {
  std::string prefixed = UnderPrefix(personal);
  for (const std::string& name : {std::string(kFolder), prefixed})
    for (const ImapParser::ListEntry& entry : found)
      if (entry.name == name && !entry.Has("\\Noselect") && !entry.Has("\\NonExistent")) {
        folder = name;
        return FolderChoice::kExisting;
      }
  folder = personal.known && !personal.prefix.empty() ? prefixed : kFolder;
  return FolderChoice::kToCreate;
}

bool ImapClient::ResolveFolder(std::string& folder, FolderChoice& choice) {
  ImapParser::Namespace personal;
  if (HasCapability("NAMESPACE") && !GetNamespace(personal)) return false;
  std::vector<ImapParser::ListEntry> found, more;
  if (!List("", kFolder, found)) return false;
  if (!personal.prefix.empty()) {
    if (!List("", UnderPrefix(personal), more)) return false;
    found.insert(found.end(), more.begin(), more.end());
  }
  choice = ChooseFolder(found, personal, folder);
  return true;
}

bool ImapClient::OpenFolder(std::string& folder) {
  FolderChoice choice = FolderChoice::kExisting;
  if (!ResolveFolder(folder, choice)) return false;
  if (choice == FolderChoice::kToCreate && !Create(folder)) return false;
  return Select(folder);
}

bool ImapClient::FindTrash(std::string& trash) {
  std::vector<ImapParser::ListEntry> entries;
  if (!List("", "*", entries, true)) return false;
  for (const ImapParser::ListEntry& entry : entries)
    if (entry.Has("\\Trash") && !entry.Has("\\Noselect")) {
      trash = entry.name;
      return true;
    }
  return false;
}

bool ImapClient::GetQuota(const std::string& folder, ImapParser::Quota& quota) {
  quota = ImapParser::Quota{};
  if (!HasCapability("QUOTA")) return false;
  return Command("GETQUOTAROOT " + Quoted(folder), [&quota](const std::string& line) {
    ImapParser::Quota found;
    if (!quota.has_storage && ImapParser::ParseQuota(line, found) && found.has_storage)
      quota = found;
  });
}

bool ImapClient::QueryAppendLimit(const std::string& folder) {
  if (!HasCapability("APPENDLIMIT")) return append_limit_ != 0;
  return Command("STATUS " + Quoted(folder) + " (APPENDLIMIT)");
}

bool ImapClient::IdleStart() {
  if (!HasCapability("IDLE") || !IsConnected()) return false;
  if (idling_) return true;
  if (!SendCommand(std::string(kTag) + " IDLE\r\n")) return false;
  std::string line;
  for (;;) {
    if (ReadResponseLine(line) < 0) return false;
    if (line[0] == '+') break;
    if (Judge(line) != Verdict::kMore) return false;
  }
  idling_ = true;
  idle_since_ = std::chrono::steady_clock::now();
  return true;
}

ImapClient::IdleEvent ImapClient::IdleWait(int timeout_ms, int wake_fd) {
  if (!idling_) return IsConnected() ? IdleEvent::kTimeout : IdleEvent::kConnectionLost;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  note_flags_ = true;
  const uint64_t events_before = change_events_;
  IdleEvent event = IdleEvent::kTimeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    Readiness ready = WaitReadable(static_cast<int>(std::max<int64_t>(0, left.count())), wake_fd);
    if (ready == Readiness::kWake) event = IdleEvent::kWoken;
    if (ready == Readiness::kClosed) event = IdleEvent::kConnectionLost;
    if (ready != Readiness::kData) break;
    std::string line;
    if (ReadResponseLine(line) < 0 || Judge(line) != Verdict::kMore) {
      // A tagged line ends the IDLE from the server's side.
      if (IsConnected()) idling_ = false;
      event = IsConnected() ? IdleEvent::kChanged : IdleEvent::kConnectionLost;
      break;
    }
    if (change_events_ != events_before) {
      event = IdleEvent::kChanged;
      break;
    }
  }
  note_flags_ = false;
  if (!IsConnected()) idling_ = false;
  return event;
}

bool ImapClient::IdleDone() {
  if (!idling_) return true;
  idling_ = false;
  note_flags_ = true;
  bool ok = Send("DONE\r\n") && AwaitCompletion();
  note_flags_ = false;
  return ok;
}

std::chrono::steady_clock::duration ImapClient::IdleAge() const {
  return idling_ ? std::chrono::steady_clock::now() - idle_since_
                 : std::chrono::steady_clock::duration::zero();
}
