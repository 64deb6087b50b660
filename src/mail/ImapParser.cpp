#include "mail/ImapParser.h"

#include <algorithm>
#include <cctype>

namespace {

using Value = ImapParser::Value;

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string_view TrimLineEnd(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

// A cursor over one response; every reader leaves pos_ after what it read.
class Tokenizer {
 public:
  explicit Tokenizer(std::string_view text) : text_(text) {}

  bool ReadAll(std::vector<Value>& out) {
    while (SkipSpaces()) {
      if (Peek() == ')') return false;
      Value v;
      if (!ReadValue(v, 0)) return false;
      out.push_back(std::move(v));
    }
    return true;
  }

 private:
  static constexpr int kMaxDepth = 32;

  char Peek() const { return text_[pos_]; }
  bool SkipSpaces() {
    while (pos_ < text_.size() && text_[pos_] == ' ') ++pos_;
    return pos_ < text_.size();
  }

  bool ReadValue(Value& v, int depth) {
    char c = Peek();
    if (c == '(') return ReadList(v, depth);
    if (c == '"') return ReadQuoted(v);
    if (c == '{') return ReadLiteral(v);
    return ReadAtom(v);
  }

  bool ReadList(Value& v, int depth) {
    if (depth >= kMaxDepth) return false;
    v.kind = Value::Kind::kList;
    ++pos_;
    for (;;) {
      if (!SkipSpaces()) return false;
      if (Peek() == ')') {
        ++pos_;
        return true;
      }
      Value item;
      if (!ReadValue(item, depth + 1)) return false;
      v.items.push_back(std::move(item));
    }
  }

  bool ReadQuoted(Value& v) {
    v.kind = Value::Kind::kString;
    for (++pos_; pos_ < text_.size(); ++pos_) {
      char c = text_[pos_];
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c == '\\') {
        if (++pos_ >= text_.size()) return false;
        c = text_[pos_];
      }
      v.text += c;
    }
    return false;
  }

  bool ReadLiteral(Value& v) {
    size_t close = text_.find('}', pos_);
    if (close == std::string_view::npos) return false;
    std::string_view digits = text_.substr(pos_ + 1, close - pos_ - 1);
    if (!digits.empty() && digits.back() == '+') digits.remove_suffix(1);
    uint64_t size = 0;
    if (!ImapParser::ParseNumber(digits, size)) return false;
    size_t start = close + 1;
    if (text_.compare(start, 2, "\r\n") == 0)
      start += 2;
    else if (start < text_.size() && text_[start] == '\n')
      start += 1;
    else
      return false;
    if (size > text_.size() - start) return false;
    v.kind = Value::Kind::kString;
    v.text.assign(text_.substr(start, size));
    pos_ = start + size;
    return true;
  }

  // Atoms run to a blank or a bracket of a list; a section ("BODY[HEADER]",
  // "BODY[HEADER.FIELDS (A B)]") is part of its atom.
  bool ReadAtom(Value& v) {
    size_t start = pos_;
    while (pos_ < text_.size()) {
      char c = text_[pos_];
      if (c == ' ' || c == '(' || c == ')') break;
      if (c == '[') {
        size_t close = text_.find(']', pos_);
        if (close == std::string_view::npos) return false;
        pos_ = close;
      }
      ++pos_;
    }
    if (pos_ == start) return false;
    v.text.assign(text_.substr(start, pos_ - start));
    v.kind = Upper(v.text) == "NIL" ? Value::Kind::kNil : Value::Kind::kAtom;
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

bool ParseUntagged(std::string_view line, std::string_view word, std::vector<Value>& tokens) {
  return ImapParser::Parse(line, tokens) && tokens.size() >= 2 && tokens[0].text == "*" &&
         tokens[1].IsAtom(word);
}

bool IsString(const Value& v) {
  return v.kind == Value::Kind::kString || v.kind == Value::Kind::kAtom;
}

}  // namespace

bool ImapParser::Value::IsAtom(std::string_view word) const {
  return kind == Kind::kAtom && Upper(text) == Upper(word);
}

bool ImapParser::ListEntry::Has(const std::string& attribute) const {
  return attributes.count(Upper(attribute)) != 0;
}

bool ImapParser::Parse(std::string_view text, std::vector<Value>& out) {
  out.clear();
  return Tokenizer(TrimLineEnd(text)).ReadAll(out);
}

bool ImapParser::ParseNumber(std::string_view text, uint64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  value = v;
  return true;
}

std::string ImapParser::StatusText(std::string_view line) {
  line = TrimLineEnd(line);
  size_t blank = line.find(' ');
  return blank == std::string_view::npos ? std::string() : std::string(line.substr(blank + 1));
}

std::string ImapParser::ResponseCode(std::string_view line) {
  std::string status = StatusText(line);
  size_t blank = status.find(' ');
  if (blank == std::string::npos || blank + 1 >= status.size() || status[blank + 1] != '[')
    return "";
  size_t close = status.find(']', blank + 2);
  if (close == std::string::npos) return "";
  return status.substr(blank + 2, close - blank - 2);
}

std::set<std::string> ImapParser::Capabilities(std::string_view list) {
  std::set<std::string> names;
  size_t pos = 0;
  list = TrimLineEnd(list);
  while (pos < list.size()) {
    size_t end = list.find(' ', pos);
    if (end == std::string_view::npos) end = list.size();
    if (end > pos) names.insert(Upper(list.substr(pos, end - pos)));
    pos = end + 1;
  }
  return names;
}

bool ImapParser::ParseList(std::string_view line, ListEntry& entry) {
  std::vector<Value> t;
  if (!ParseUntagged(line, "LIST", t) && !ParseUntagged(line, "XLIST", t)) return false;
  if (t.size() < 5 || t[2].kind != Value::Kind::kList) return false;
  entry = ListEntry{};
  for (const Value& a : t[2].items) entry.attributes.insert(Upper(a.text));
  if (t[3].kind == Value::Kind::kString && t[3].text.size() == 1)
    entry.delimiter = t[3].text[0];
  else if (t[3].kind != Value::Kind::kNil)
    return false;
  if (!IsString(t[4])) return false;
  entry.name = t[4].text;
  return true;
}

bool ImapParser::ParseNamespace(std::string_view line, Namespace& personal) {
  std::vector<Value> t;
  if (!ParseUntagged(line, "NAMESPACE", t) || t.size() < 3) return false;
  personal = Namespace{};
  if (t[2].kind == Value::Kind::kNil) return true;
  if (t[2].kind != Value::Kind::kList || t[2].items.empty()) return false;
  const Value& first = t[2].items[0];
  if (first.kind != Value::Kind::kList || first.items.size() < 2 || !IsString(first.items[0]))
    return false;
  personal.known = true;
  personal.prefix = first.items[0].text;
  const Value& delimiter = first.items[1];
  if (delimiter.kind == Value::Kind::kString && delimiter.text.size() == 1)
    personal.delimiter = delimiter.text[0];
  return true;
}

bool ImapParser::ParseQuota(std::string_view line, Quota& quota) {
  std::vector<Value> t;
  if (!ParseUntagged(line, "QUOTA", t) || t.size() < 4 || t[3].kind != Value::Kind::kList)
    return false;
  const std::vector<Value>& items = t[3].items;
  for (size_t i = 0; i + 2 < items.size(); i += 3) {
    uint64_t used = 0, limit = 0;
    if (!ParseNumber(items[i + 1].text, used) || !ParseNumber(items[i + 2].text, limit))
      return false;
    if (!items[i].IsAtom("STORAGE")) continue;
    quota.has_storage = true;
    quota.used_bytes = used * 1024;
    quota.limit_bytes = limit * 1024;
    return true;
  }
  return true;
}

bool ImapParser::ParseStatusItem(std::string_view line, std::string_view item, uint64_t& value) {
  std::vector<Value> t;
  if (!ParseUntagged(line, "STATUS", t) || t.size() < 4 || t[3].kind != Value::Kind::kList)
    return false;
  const std::vector<Value>& items = t[3].items;
  for (size_t i = 0; i + 1 < items.size(); i += 2)
    if (items[i].IsAtom(item)) return ParseNumber(items[i + 1].text, value);
  return false;
}

bool ImapParser::ParseUidSet(std::string_view text, std::vector<uint32_t>& uids) {
  constexpr uint64_t kMaxSpan = 1u << 20;  // a lying range must not exhaust memory
  uids.clear();
  size_t pos = 0;
  text = TrimLineEnd(text);
  while (pos <= text.size()) {
    size_t end = text.find(',', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view range = text.substr(pos, end - pos);
    size_t colon = range.find(':');
    uint64_t low = 0, high = 0;
    if (!ParseNumber(range.substr(0, colon), low)) return false;
    high = low;
    if (colon != std::string_view::npos && !ParseNumber(range.substr(colon + 1), high))
      return false;
    if (low > high) std::swap(low, high);
    if (low == 0 || high > UINT32_MAX || high - low > kMaxSpan) return false;
    for (uint64_t u = low; u <= high; ++u) uids.push_back(static_cast<uint32_t>(u));
    pos = end + 1;
  }
  return !uids.empty();
}

std::string ImapParser::FormatUidSet(std::vector<uint32_t> uids) {
  std::sort(uids.begin(), uids.end());
  uids.erase(std::unique(uids.begin(), uids.end()), uids.end());
  std::string out;
  for (size_t i = 0; i < uids.size();) {
    size_t j = i;
    while (j + 1 < uids.size() && uids[j + 1] == uids[j] + 1) ++j;
    if (!out.empty()) out += ',';
    out += std::to_string(uids[i]);
    if (j > i) out += ':' + std::to_string(uids[j]);
    i = j + 1;
  }
  return out;
}
