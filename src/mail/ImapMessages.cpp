// ImapClient: listing, batched header fetch and confirmed deletes, on the
// commands of ImapClient.cpp and the machinery of ImapSession.cpp.
#include <algorithm>
#include <cctype>

#include "log/CLog.h"
#include "mail/ImapClient.h"

namespace {

using Value = ImapParser::Value;

// "* n FETCH (...)": the data list, or nullptr.
const Value* FetchData(const std::vector<Value>& t) {
  if (t.size() < 4 || t[0].text != "*" || !t[2].IsAtom("FETCH") || t[3].kind != Value::Kind::kList)
    return nullptr;
  return &t[3];
}

bool FetchUid(const Value& data, uint32_t& uid) {
  for (size_t i = 0; i + 1 < data.items.size(); i += 2) {
    uint64_t value = 0;
    if (data.items[i].IsAtom("UID") && ImapParser::ParseNumber(data.items[i + 1].text, value) &&
        value > 0 && value <= UINT32_MAX) {
      uid = static_cast<uint32_t>(value);
      return true;
    }
  }
  return false;
}

bool IsUpper(const std::string& text, const char* word) {
  std::string upper = text;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper == word;
}

}  // namespace

bool ImapClient::ListUids(UidListing& listing) { return ListUidsFrom(1, listing); }

bool ImapClient::ListUidsFrom(uint32_t first, UidListing& listing) {
  listing = UidListing{};
  // An empty folder is a normal state, and "1:*" there is refused by some.
  if (exists_known_ && exists_ == 0) {
    listing.complete = true;
    return true;
  }
  std::string tagged;
  bool ok = Command(
      "UID FETCH " + std::to_string(std::max<uint32_t>(first, 1)) + ":* (UID)",
      [&listing, first](const std::string& line) {
        std::vector<Value> t;
        uint32_t uid = 0;
        if (line[0] != '*' || !ImapParser::Parse(line, t)) return;
        const Value* data = FetchData(t);
        // "n:*" past the last UID still names the last message.
        if (data != nullptr && FetchUid(*data, uid) && uid >= first) listing.uids.push_back(uid);
      },
      &tagged);
  if (!ok && !(IsConnected() && !tagged.empty() && exists_known_ && exists_ == 0)) return false;
  std::sort(listing.uids.begin(), listing.uids.end());
  listing.uids.erase(std::unique(listing.uids.begin(), listing.uids.end()), listing.uids.end());
  listing.complete = first <= 1 && exists_known_ && listing.uids.size() == exists_;
  return true;
}

bool ImapClient::FetchHeaderBatch(const std::string& command,
                                  std::map<uint32_t, std::string>& headers) {
  if (!SendCommand(command)) return false;
  std::string response;
  std::vector<Value> t;
  for (;;) {
    if (!ReadFullResponse(response)) return false;
    Verdict verdict = Judge(response);
    if (verdict != Verdict::kMore) return verdict == Verdict::kOk;
    if (response[0] != '*' || !ImapParser::Parse(response, t)) continue;
    const Value* data = FetchData(t);
    uint32_t uid = 0;
    if (data == nullptr || !FetchUid(*data, uid)) continue;
    for (size_t i = 0; i + 1 < data->items.size(); i += 2)
      if (IsUpper(data->items[i].text.substr(0, 11), "BODY[HEADER") &&
          data->items[i + 1].kind == Value::Kind::kString)
        headers[uid] = data->items[i + 1].text;
  }
}

bool ImapClient::FetchHeaders(const std::vector<uint32_t>& uids,
                              std::map<uint32_t, std::string>& headers, size_t batch,
                              const std::string& fields) {
  if (batch == 0) batch = kHeaderBatch;
  for (char c : fields)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != ' ') return false;
  std::string section = fields.empty() ? "HEADER" : "HEADER.FIELDS (" + fields + ")";
  for (size_t from = 0; from < uids.size(); from += batch) {
    std::vector<uint32_t> part(
        uids.begin() + static_cast<ptrdiff_t>(from),
        uids.begin() + static_cast<ptrdiff_t>(std::min(uids.size(), from + batch)));
    std::string set = ImapParser::FormatUidSet(part);
    if (!FetchHeaderBatch(
            std::string(kTag) + " UID FETCH " + set + " (UID BODY.PEEK[" + section + "])\r\n",
            headers))
      return false;
  }
  return true;
}

bool ImapClient::StillThere(const std::vector<uint32_t>& uids, std::vector<uint32_t>& there) {
  there.clear();
  std::vector<uint32_t> found;
  bool ok = Command("UID FETCH " + ImapParser::FormatUidSet(uids) + " (UID)",
                    [&found](const std::string& line) {
                      std::vector<Value> t;
                      uint32_t uid = 0;
                      if (line[0] != '*' || !ImapParser::Parse(line, t)) return;
                      const Value* data = FetchData(t);
                      if (data != nullptr && FetchUid(*data, uid)) found.push_back(uid);
                    });
  if (!ok) {
    // Some servers refuse a set that names no message they still have (GNU
    // imap4d: "Failed to parse message set"); the whole listing tells too.
    UidListing listing;
    if (!IsConnected() || !ListUids(listing) || !listing.complete) return false;
    found = std::move(listing.uids);
  }
  // A server may answer for UIDs next to the set; only those asked count.
  for (uint32_t uid : found)
    if (std::binary_search(uids.begin(), uids.end(), uid)) there.push_back(uid);
  return true;
}

MailResult ImapClient::Confirm(const std::vector<uint32_t>& uids, DeleteOutcome& outcome,
                               bool refused) {
  if (!IsConnected()) return MailResult::ConnectionLost("");
  MailResult failure = refusal_;
  if (!StillThere(uids, outcome.remaining)) {
    // Unsure which are gone: none counts as gone.
    outcome.remaining = uids;
    const std::string& text = refusal_.text();
    return IsConnected() ? MailResult::Ok("", text) : MailResult::ConnectionLost(text);
  }
  if (outcome.remaining.empty()) return MailResult::Ok();
  if (!refused) return MailResult::Ok("", failure.text());
  // A command that failed without a refusal on record is refused all the same.
  return failure.ok() ? MailResult(MailResult::Status::kBad, "", failure.text()) : failure;
}

bool ImapClient::Flag(const std::string& set) {
  return Command("UID STORE " + set + " +FLAGS.SILENT (\\Deleted)");
}

bool ImapClient::Expunge(const std::string& set, DeleteOutcome& outcome) {
  // UID EXPUNGE removes only these messages, never another client's.
  if (HasCapability("UIDPLUS")) {
    if (outcome.method == DeleteMethod::kNone) outcome.method = DeleteMethod::kUidExpunge;
    return Command("UID EXPUNGE " + set);
  }
  if (outcome.method == DeleteMethod::kNone) outcome.method = DeleteMethod::kExpunge;
  return Command("EXPUNGE");
}

MailResult ImapClient::DeleteMessages(const std::vector<uint32_t>& uids, DeleteOutcome& outcome) {
  outcome = DeleteOutcome{};
  refusal_ = MailResult();
  if (uids.empty()) return MailResult::Ok();
  std::vector<uint32_t> sorted = uids;
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  std::string set = ImapParser::FormatUidSet(sorted);
  // A server tells an open session of messages appended elsewhere only
  // between commands, and may ignore a STORE for UIDs it has not told of.
  if (!Noop())
    return IsConnected() ? Confirm(sorted, outcome, true) : MailResult::ConnectionLost("");
  if (HasCapability("X-GM-EXT-1")) {
    // Looked up once per session: its name does not change under it.
    if (!trash_looked_up_) trash_looked_up_ = FindTrash(trash_);
    const std::string trash = trash_;
    if (!trash.empty() && trash != selected_) {
      if (!MoveToTrash(set, trash, outcome)) return Confirm(sorted, outcome, true);
      return Confirm(sorted, outcome, false);
    }
    CLog::Instance()->Write(LOG_WARNING, "no \\Trash folder: plain delete of %s", set.c_str());
  }
  if (!Flag(set) || !Expunge(set, outcome)) return Confirm(sorted, outcome, true);
  return Confirm(sorted, outcome, false);
}

bool ImapClient::MoveToTrash(const std::string& set, const std::string& trash,
                             DeleteOutcome& outcome) {
  // COPYUID (tagged, or untagged before the expunges of a MOVE) names the
  // copies; without it they stay in the trash for the server to empty.
  std::vector<std::string> codes;
  auto keep_codes = [&] {
    codes = untagged_codes_;
    codes.push_back(last_code_);
  };
  bool moved;
  if (HasCapability("MOVE")) {
    outcome.method = DeleteMethod::kTrashMove;
    moved = Command("UID MOVE " + set + " " + Quoted(trash));
    keep_codes();
  } else {
    outcome.method = DeleteMethod::kTrashCopy;
    moved = Command("UID COPY " + set + " " + Quoted(trash));
    keep_codes();
    moved = moved && Flag(set) && Expunge(set, outcome);
  }
  if (!moved) return false;
  std::vector<uint32_t> copies;
  for (const std::string& code : codes) {
    if (code.rfind("COPYUID ", 0) != 0) continue;
    size_t last = code.rfind(' ');
    if (ImapParser::ParseUidSet(code.substr(last + 1), copies)) break;
  }
  if (!copies.empty()) outcome.trash_expunged = ExpungeInTrash(trash, copies);
  return IsConnected();
}

bool ImapClient::ExpungeInTrash(const std::string& trash, const std::vector<uint32_t>& copies) {
  std::string home = selected_;
  std::string set = ImapParser::FormatUidSet(copies);
  DeleteOutcome ignored;
  ignored.method = DeleteMethod::kUidExpunge;
  bool done = Select(trash) && Flag(set) && Expunge(set, ignored);
  // The session must be back in its own folder, or closed for a reopen.
  if (!Select(home)) {
    Close();
    return false;
  }
  return done;
}
