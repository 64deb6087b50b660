// ImapClient: the session's commands (connect, login, capabilities and ID,
// folders, quota, IDLE, fetches and appends), built on the command and
// response machinery of ImapSession.cpp.
#include "mail/ImapClient.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "log/CLog.h"
#include "platform/FileHelpers.h"
#include "platform/UniqueFd.h"

#ifndef TANDREL_VERSION
#define TANDREL_VERSION "0"
#endif

namespace {

// UIDs come from the server and go back into commands: digits only.
bool IsUid(const std::string& uid) {
  if (uid.empty() || uid.size() > 10) return false;
  for (char c : uid)
    if (c < '0' || c > '9') return false;
  return true;
}

bool IsBlankLine(const std::string& line) { return line == "\r\n" || line == "\n"; }

// The size of the literal announced at the end of a response line ("{N}").
bool AnnouncedLiteral(const std::string& line, size_t& size) {
  size_t end = line.size();
  if (end > 0 && line[end - 1] == '\n') --end;
  if (end > 0 && line[end - 1] == '\r') --end;
  if (end < 3 || line[end - 1] != '}') return false;
  size_t open = line.rfind('{', end - 1);
  if (open == std::string::npos || open + 2 > end - 1) return false;
  size_t value = 0;
  for (size_t i = open + 1; i < end - 1; ++i) {
    char c = line[i];
    if (c < '0' || c > '9' || value > (SIZE_MAX - 9) / 10) return false;
    value = value * 10 + static_cast<size_t>(c - '0');
  }
  size = value;
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

bool ImapClient::Connect(const std::string& server, int port, bool use_ssl) {
  server_ = server;
  port_ = port;
  use_ssl_ = use_ssl;
  // What an earlier session learnt does not hold for this one.
  capabilities_.clear();
  capabilities_after_login_ = logged_in_ = id_sent_ = idling_ = false;
  refusal_ = MailResult();
  append_limit_ = 0;
  trash_looked_up_ = false;
  trash_.clear();
  ResetFolderState();
  return Open(use_ssl, server, port);
}

bool ImapClient::Login(const std::string& user, const std::string& password) {
  user_ = user;
  password_ = password;
  bearer_token_.clear();
  Pieces pieces{std::string(kTag) + " login "};
  AddArgument(pieces, user);
  pieces.back() += " ";
  AddArgument(pieces, password);
  pieces.back() += "\r\n";
  if (!SendPieces(pieces)) return false;
  std::string tagged;
  bool ok = AwaitCompletion(&tagged);
  logged_in_ = ok;
  if (ok)
    CLog::Instance()->Write(LOG_INFO, "%s login ok,msg:%s", user.c_str(), tagged.c_str());
  else if (!tagged.empty())
    CLog::Instance()->Write(LOG_INFO, "%s login err,msg:%s", user.c_str(), tagged.c_str());
  // A server that asks for ID (some refuse SELECT without it) says so here
  // or in its greeting; one that says nothing is asked by EnsureCapabilities.
  if (ok && HasCapability("ID")) Identify();
  return ok && IsConnected();
}

bool ImapClient::SimpleCommand(const char* verb, const std::string& folder) {
  Pieces pieces{std::string(kTag) + " " + verb + " "};
  AddArgument(pieces, folder);
  pieces.back() += "\r\n";
  return SendPieces(pieces) && AwaitCompletion();
}

bool ImapClient::Create(const std::string& folder) { return SimpleCommand("create", folder); }

bool ImapClient::Select(const std::string& folder) {
  ResetFolderState();
  if (!SimpleCommand("select", folder)) {
    ResetFolderState();
    return false;
  }
  selected_ = folder;
  // What SELECT reports is the folder's state, not a change in it.
  changes_ = Changes{};
  return true;
}

bool ImapClient::Noop() {
  note_flags_ = true;
  bool ok = SendCommand(std::string(kTag) + " noop\r\n") && AwaitCompletion();
  note_flags_ = false;
  return ok;
}

void ImapClient::Logout() {
  if (!IsConnected()) return;
  if (SendCommand(std::string(kTag) + " logout\r\n")) {
    std::string line;
    for (int i = 0; i < 8 && ReadResponseLine(line) >= 0; ++i) {
      if (Judge(line) != Verdict::kMore) break;
    }
  }
  Close();
}

bool ImapClient::FetchUidList(std::set<std::string>& uids) {
  // An empty folder is a normal state; some servers refuse "1:*" there.
  if (exists_known_ && exists_ == 0) return true;
  if (!SendCommand(std::string(kTag) + " fetch 1:* (uid)\r\n")) return false;
  std::string tagged;
  bool ok = AwaitCompletion(&tagged, [&uids](const std::string& line) {
    if (line.empty() || line[0] != '*') return;
    size_t at = line.find("UID ");
    // "UID" as a data item, not the tail of a longer word.
    while (at != std::string::npos && at > 0 && line[at - 1] != '(' && line[at - 1] != ' ')
      at = line.find("UID ", at + 1);
    if (at == std::string::npos) return;
    size_t begin = at + 4, end = begin;
    while (end < line.size() && line[end] >= '0' && line[end] <= '9') ++end;
    std::string uid = line.substr(begin, end - begin);
    if (IsUid(uid)) uids.insert(uid);
  });
  return ok || (!tagged.empty() && exists_known_ && exists_ == 0);
}

bool ImapClient::FetchLiteral(const std::string& uid, const char* item, std::string& out,
                              const std::function<void(size_t)>& on_chunk) {
  if (!IsUid(uid)) return false;
  if (!SendCommand(std::string(kTag) + " uid fetch " + uid + " (" + item + ")\r\n")) return false;
  std::string line, skipped;
  bool collected = false;
  // A failed fetch hands back nothing of a partly read body.
  const size_t original = out.size();
  auto fail = [&out, original] {
    out.resize(original);
    return false;
  };
  for (;;) {
    if (ReadResponseLine(line) < 0) return fail();
    Verdict verdict = Judge(line);
    if (verdict == Verdict::kOk) return true;
    if (verdict == Verdict::kFailed) return fail();
    size_t size = 0;
    if (!AnnouncedLiteral(line, size)) continue;
    // The first literal of the untagged FETCH is the body; any other is
    // consumed so that its bytes are never taken for response lines.
    if (line[0] == '*' && !collected) {
      collected = true;
      if (!ReadExact(size, out, on_chunk)) return fail();
    } else {
      skipped.clear();
      if (!ReadExact(size, skipped, nullptr)) return fail();
    }
  }
}

bool ImapClient::GetHeaderFromMessage(const std::string& uid, std::string& header) {
  if (!IsUid(uid)) return false;
  if (!SendCommand(std::string(kTag) + " uid fetch " + uid + " (BODY.PEEK[])\r\n")) return false;
  std::string line;
  size_t remaining = 0;
  for (;;) {
    // Lines inside the literal are message text, not responses.
    if ((remaining > 0 ? ReadLine(line) : ReadResponseLine(line)) < 0) return false;
    if (remaining > 0) {
      if (line.size() > remaining) {
        // The literal ends inside this line: the header had no blank line.
        header.append(line, 0, remaining);
        remaining = 0;
        continue;
      }
      header += line;
      remaining -= line.size();
      if (IsBlankLine(line)) {
        // The rest of the message is never read.
        Close();
        return true;
      }
      continue;
    }
    Verdict verdict = Judge(line);
    if (verdict == Verdict::kOk) return true;
    if (verdict == Verdict::kFailed) {
      CLog::Instance()->Write(LOG_ERROR, "err response:%s when GetHeader", line.c_str());
      return false;
    }
    size_t size = 0;
    if (line[0] == '*' && AnnouncedLiteral(line, size)) remaining = size;
  }
}

bool ImapClient::GetHeader(const std::string& uid, std::string& header) {
  size_t at = user_.find('@');
  std::string domain = at == std::string::npos ? user_ : user_.substr(at + 1);
  if (domain != kProviderDomain) return FetchLiteral(uid, "BODY.PEEK[HEADER]", header, nullptr);
  // The folder may be a resolved one ("INBOX.tandrel"): reopen that one.
  std::string folder = selected_.empty() ? kFolder : selected_;
  bool result = GetHeaderFromMessage(uid, header);
  Close();
  std::string token = bearer_token_;
  if (!Connect(server_, port_, use_ssl_)) return false;
  bool signed_in = token.empty() ? Login(user_, password_) : AuthenticateBearer(user_, token).ok();
  if (!signed_in || !Select(folder)) return false;
  return result;
}

bool ImapClient::FetchMessage(const std::set<std::string>& uids, std::string& message) {
  if (uids.empty()) return false;
  return FetchLiteral(*uids.begin(), "BODY.PEEK[]", message, [this](size_t n) {
    if (downloaded_) downloaded_(static_cast<uint32_t>(n / 1.33));
  });
}

bool ImapClient::FetchSectionRange(const std::string& uid, const std::string& section,
                                   size_t offset, size_t length, std::string& out) {
  for (char c : section) {
    if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.') return false;
  }
  std::string item =
      "BODY.PEEK[" + section + "]<" + std::to_string(offset) + "." + std::to_string(length) + ">";
  return FetchLiteral(uid, item.c_str(), out, [this](size_t n) {
    if (downloaded_) downloaded_(static_cast<uint32_t>(n / 1.33));
  });
}

ssize_t ImapClient::ReadFileBlock(int fd, char* buffer, size_t n) {
  for (;;) {
    ssize_t got = ::read(fd, buffer, n);
    if (got < 0 && errno == EINTR) continue;
    return got;
  }
}

bool ImapClient::SendFile(int fd, size_t length, const std::string& path) {
  // Read and sent in batches (one read, one socket write, one TLS record
  // each); counted in blocks of kFileBlock as before.
  constexpr size_t kBatch = 64 * kFileBlock;
  std::vector<char> batch(kBatch + 2);
  size_t left = length;
  while (left > 0) {
    size_t used = 0;
    while (used < kBatch && left > 0) {
      ssize_t got = ReadFileBlock(fd, batch.data() + used, std::min(kBatch - used, left));
      if (got <= 0) {
        // The literal stays incomplete: the connection cannot be used further.
        CLog::Instance()->Write(LOG_ERROR, " read %s  error", path.c_str());
        Close();
        return false;
      }
      used += static_cast<size_t>(got);
      left -= static_cast<size_t>(got);
    }
    size_t counted = used;
    if (left == 0) {
      batch[used++] = '\r';
      batch[used++] = '\n';
    }
    if (!Send(batch.data(), used)) return false;
    for (size_t block = 0; counted > 0 && uploaded_; counted -= block) {
      block = std::min(kFileBlock, counted);
      uploaded_(static_cast<uint32_t>(block));
    }
  }
  return true;
}

MailResult ImapClient::Lost() const {
  if (refusal_.status() == MailResult::Status::kBye) return refusal_;
  std::string text = LastError();
  return MailResult::ConnectionLost(text.empty() ? "connection lost" : text);
}

MailResult ImapClient::AppendMessage(const std::string& folder, const std::string& path,
                                     AppendOutcome& outcome) {
  outcome = AppendOutcome{};
  refusal_ = MailResult();
  UniqueFd file;
  size_t length = 0;
  MailResult opened = OpenMessage(path, file, length);
  if (!opened.ok()) return opened;
  Pieces pieces{std::string(kTag) + " append "};
  AddArgument(pieces, folder, true);
  pieces.back() += " {" + std::to_string(length) + "}\r\n";
  if (!SendPieces(pieces)) return Lost();
  std::string line;
  do {
    if (ReadResponseLine(line) < 0) return Lost();
  } while (line[0] == '*');
  if (line[0] != '+') {
    CLog::Instance()->Write(LOG_ERROR, "append error,res=%s", line.c_str());
    return MailResult::Refusal(line);
  }
  std::string tagged;
  if (!SendFile(file.get(), length, path)) return Lost();
  if (!AwaitCompletion(&tagged)) {
    if (tagged.empty()) return Lost();
    return MailResult::Refusal(tagged);
  }
  std::string code = last_code_;
  ReadAppendUid(code, outcome);
  return MailResult::Ok(code, ImapParser::StatusText(tagged));
}

MailResult ImapClient::OpenMessage(const std::string& path, UniqueFd& file,
                                   size_t& length) const {
  file = UniqueFd(::open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.ok()) {
    CLog::Instance()->Write(LOG_ERROR, "open %s error", path.c_str());
    return MailResult::Local("", "");
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0 || info.st_size <= 0 || info.st_size > INT32_MAX) {
    CLog::Instance()->Write(LOG_ERROR, " %s flen<=0 error", path.c_str());
    return MailResult::Local("", "");
  }
  length = static_cast<size_t>(info.st_size);
  if (append_limit_ != 0 && length > append_limit_) {
    return MailResult::Local("TOOBIG", "message of " + std::to_string(length) +
                                           " bytes over the server's APPENDLIMIT of " +
                                           std::to_string(append_limit_));
  }
  return MailResult::Ok();
}

void ImapClient::ReadAppendUid(const std::string& code, AppendOutcome& outcome) {
  std::vector<uint32_t> uids;
  if (code.rfind("APPENDUID ", 0) != 0) return;
  size_t blank = code.find(' ', 10);
  uint64_t validity = 0;
  if (blank != std::string::npos &&
      ImapParser::ParseNumber(code.substr(10, blank - 10), validity) &&
      ImapParser::ParseUidSet(code.substr(blank + 1), uids) && uids.size() == 1) {
    outcome.uidvalidity = static_cast<uint32_t>(validity);
    outcome.uid = uids[0];
  }
}

bool ImapClient::Append(const std::string& folder, const std::string& path) {
  AppendOutcome outcome;
  return AppendMessage(folder, path, outcome).ok();
}

bool ImapClient::Delete(const std::set<std::string>& uids) {
  for (const std::string& uid : uids) {
    if (!IsUid(uid)) return false;
    if (!SendCommand(std::string(kTag) + " UID STORE " + uid + " +FLAGS (\\Deleted)\r\n"))
      return false;
    if (!AwaitCompletion()) return false;
    if (!SendCommand(std::string(kTag) + " EXPUNGE\r\n")) return false;
    if (!AwaitCompletion()) return false;
  }
  return true;
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

bool ImapClient::SearchHeader(const std::string& field, std::vector<uint32_t>& uids) {
  uids.clear();
  bool ok =
      Command("UID SEARCH HEADER " + Quoted(field) + " \"\"", [&uids](const std::string& line) {
        if (line.rfind("* SEARCH", 0) != 0) return;
        const char* p = line.c_str() + 8;
        while (*p != '\0') {
          char* end = nullptr;
          unsigned long long uid = std::strtoull(p, &end, 10);
          if (end == p) break;
          if (uid != 0 && uid <= UINT32_MAX) uids.push_back(static_cast<uint32_t>(uid));
          p = end;
        }
      });
  std::sort(uids.begin(), uids.end());
  return ok;
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

bool ImapClient::SelectedCounts(uint32_t& messages, uint32_t& uidnext) {
  bool got_messages = false, got_uidnext = false;
  if (selected_.empty()) return false;
  bool ok =
      Command("STATUS " + Quoted(selected_) + " (MESSAGES UIDNEXT)", [&](const std::string& line) {
        uint64_t value = 0;
        if (ImapParser::ParseStatusItem(line, "MESSAGES", value) && value <= UINT32_MAX) {
          messages = static_cast<uint32_t>(value);
          got_messages = true;
        }
        if (ImapParser::ParseStatusItem(line, "UIDNEXT", value) && value <= UINT32_MAX) {
          uidnext = static_cast<uint32_t>(value);
          got_uidnext = true;
        }
      });
  return ok && got_messages && got_uidnext;
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

std::chrono::steady_clock::duration ImapClient::IdleAge() const {
  return idling_ ? std::chrono::steady_clock::now() - idle_since_
                 : std::chrono::steady_clock::duration::zero();
}
