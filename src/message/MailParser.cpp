#include "message/MailParser.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#include "message/AgeReader.h"
#include "message/Base64.h"
#include "message/DriveKey.h"
#include "platform/WireCodePage.h"

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

// The text after key="..., up to the next double quote; empty when the key
// is missing, starts the value, or the quote never closes.
std::string QuotedParameter(const std::string& value, const char* key) {
  size_t pos = value.find(key);
  if (pos == std::string::npos || pos == 0) return {};
  size_t start = pos + std::strlen(key) + 2;
  if (start > value.size()) return {};
  size_t end = value.find('"', start);
  if (end == std::string::npos) return {};
  return value.substr(start, end - start);
}

// The C library's decimal conversion, without its overflow hazard: out of
// range values saturate.
int64_t ToInt64(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value > (INT64_MAX - (text[i] - '0')) / 10) return negative ? INT64_MIN : INT64_MAX;
    value = value * 10 + (text[i] - '0');
  }
  return negative ? -value : value;
}

int ToInt(const std::string& text) {
  return static_cast<int>(std::clamp<int64_t>(ToInt64(text), INT_MIN, INT_MAX));
}

// The value of "key":"value" in the info object; empty when missing or
// unterminated.
std::string InfoValue(const std::string& object, const std::string& key) {
  std::string pattern = "\"" + key + "\":\"";
  size_t pos = object.find(pattern);
  if (pos == std::string::npos) return {};
  size_t start = pos + pattern.size();
  size_t end = object.find('"', start);
  if (end == std::string::npos) return {};
  return object.substr(start, end - start);
}

// First occurrence of needle in the text, or null. Candidates are found
// with memchr (fast where the first byte is rare, as "-" in base64); text
// that keeps offering false candidates goes to memmem, which is linear.
const char* FindText(const char* text, size_t n, std::string_view needle) {
  const size_t m = needle.size();
  if (m == 0) return text;
  const char* p = text;
  const char* end = text + n;
  size_t misses = 0;
  while (static_cast<size_t>(end - p) >= m) {
    const void* hit = std::memchr(p, needle[0], static_cast<size_t>(end - p) - m + 1);
    if (hit == nullptr) return nullptr;
    p = static_cast<const char*>(hit);
    if (std::memcmp(p + 1, needle.data() + 1, m - 1) == 0) return p;
    if (++misses > 64) {
      return static_cast<const char*>(memmem(p, static_cast<size_t>(end - p), needle.data(), m));
    }
    ++p;
  }
  return nullptr;
}

bool IsContinuation(std::string_view line) { return line[0] == ' ' || line[0] == '\t'; }

void SplitField(std::string_view line, std::string& name, std::string& value) {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) {
    name.clear();
    value.clear();
    return;
  }
  name.assign(line.substr(0, colon));
  value.assign(line.substr(colon + 1));
}

}  // namespace

bool MailParser::NextLine(std::string_view& line) {
  if (!lines_left_) return false;
  const char* base = text_.data();
  size_t start = next_;
  size_t end;
  const void* lf = std::memchr(base + start, '\n', text_.size() - start);
  if (lf != nullptr) {
    end = static_cast<size_t>(static_cast<const char*>(lf) - base);
    next_ = end + 1;
    if (end > start && base[end - 1] == '\r') --end;
  } else {
    end = text_.size();
    lines_left_ = false;  // the piece after the last line feed is the last line
  }
  const void* nul = std::memchr(base + start, '\0', end - start);
  if (nul != nullptr) end = static_cast<size_t>(static_cast<const char*>(nul) - base);
  line = std::string_view(base + start, end - start);
  return true;
}

void MailParser::Parse(const std::string& text) {
  text_ = text;
  next_ = 0;
  lines_left_ = true;
  delimiter_known_ = false;

  ReadHeader();
  if (key_ != nullptr) {
    OpenSealedInfo();
  } else {
    ReadInfo();
  }
  auto type = headers.find("Content-Type");
  delimiter =
      "--" + (type == headers.end() ? std::string() : QuotedParameter(type->second, "boundary"));

  std::string_view line;
  bool more;
  while ((more = NextLine(line)) && line == delimiter) {
  }
  if (more) {
    while (ParsePart()) {
    }
  }
  text_ = {};
  lines_left_ = false;
  if (sealing == Sealing::kOpened) DecryptAttachment();
  if (sealing == Sealing::kRefused) attachments.clear();
}

bool MailParser::ReadHeader() {
  std::string name, value;
  std::string_view line;
  while (NextLine(line)) {
    if (line.empty()) {
      if (!name.empty()) headers[name] = std::move(value);
      return true;
    }
    if (IsContinuation(line)) {
      value.append(line);
      continue;
    }
    if (!name.empty()) headers[name] = std::move(value);
    SplitField(line, name, value);
  }
  return false;
}

void MailParser::ReadInfo() {
  auto field = headers.find("X-tdr-info");
  if (field == headers.end() || field->second.empty()) return;
  ReadInfoObject(Base64Decode(field->second));
}

void MailParser::ReadInfoObject(const std::string& object) {
  std::string name = DecodeEncodedWord(InfoValue(object, "file"));
  bool file_part = !name.empty();
  if (!file_part) name = DecodeEncodedWord(InfoValue(object, "folder"));
  info.name = WireCodePage::ToUtf8(name);
  info.size = ToInt(InfoValue(object, "size"));
  info.file_id = ToInt(InfoValue(object, "id"));
  info.md5 = InfoValue(object, "md5");
  // Writers put the stamp under "time"; "c_time" is the older spelling.
  std::string time = InfoValue(object, "time");
  if (time.empty()) time = InfoValue(object, "c_time");
  info.time = ToInt(time);
  if (file_part) {
    info.total_size = ToInt64(InfoValue(object, "total_size"));
    info.part = ToInt(InfoValue(object, "part"));
    info.total_part = ToInt(InfoValue(object, "total_part"));
    info.kind = MessageKind::kFilePart;
  } else {
    info.kind = MessageKind::kFolderIndex;
  }
}

void MailParser::OpenSealedInfo() {
  // A plain object on an encrypted drive is a forgery: never read.
  sealing = Sealing::kRefused;
  auto field = headers.find("X-tdr-sealed");
  std::string object;
  if (field == headers.end() || !key_->OpenObject(field->second, object)) return;
  ReadInfoObject(object);
  sealing = Sealing::kOpened;
}

void MailParser::DecryptAttachment() {
  if (attachments.size() != 1) {
    // A header fetched alone has none; more than one was never written.
    if (!attachments.empty()) sealing = Sealing::kRefused;
    attachments.clear();
    return;
  }
  std::string& sealed = attachments.begin()->second;
  AgeReader reader;
  AgeResult result = reader.ParseHeader(sealed);
  if (result.ok()) result = reader.Unlock(key_->identity());
  bool bound = false;
  std::string tag = key_->BindingTag(info.file_id, info.part);
  for (const AgeStanza& stanza : reader.ExtraStanzas())
    bound = bound || (stanza.type == DriveKey::kBindingStanza && stanza.args.size() == 1 &&
                      stanza.args[0] == tag);
  // In place: chunk i's plaintext ends where chunk i + 1's ciphertext
  // starts at the earliest, and a chunk is read before its plaintext is
  // written; the buffer (perhaps the caller's, reused) stays the one.
  size_t written = 0;
  AgeWriter::Sink sink = [&sealed, &written](const char* data, size_t n) {
    if (written + n > sealed.size()) return false;
    std::memmove(sealed.data() + written, data, n);
    written += n;
    return true;
  };
  if (result.ok() && bound)
    result = reader.Write(std::string_view(sealed).substr(reader.payload_offset()), sink);
  if (result.ok() && bound) result = reader.Finish(sink);
  if (!result.ok() || !bound) {
    attachments.clear();
    sealing = Sealing::kRefused;
    return;
  }
  sealed.resize(written);
}

bool MailParser::ParsePart() {
  // Only Content-Disposition matters in a part header, so only its value is
  // collected; the last field of that name wins, as in a map.
  std::string disposition, name, value;
  bool pending_disposition = false;
  std::string_view line;
  for (;;) {
    if (!NextLine(line)) return false;
    if (line.empty()) break;
    if (IsContinuation(line)) {
      if (pending_disposition) value.append(line);
      continue;
    }
    if (pending_disposition) disposition = std::move(value);
    SplitField(line, name, value);
    pending_disposition = name == "Content-Disposition";
  }
  if (pending_disposition) disposition = std::move(value);

  std::string file_name = QuotedParameter(disposition, "filename");
  size_t b = file_name.find("B?");
  if (b != std::string::npos && b > 0) {
    size_t end = file_name.find("?=", b + 2);
    if (end != std::string::npos) file_name = Base64Decode(file_name.substr(b + 2, end - b - 2));
  }
  if (!file_name.empty()) return ReadAttachment(WireCodePage::ToUtf8(file_name));

  while (NextLine(line)) {
    if (line == delimiter) return true;
  }
  return false;
}

bool MailParser::ReadAttachment(const std::string& name) {
  // Size the content once from the text up to the next delimiter (base64
  // never decodes to more than three quarters of its characters); growth
  // beyond that is the exception.
  size_t from = next_;
  std::string_view rest = text_.substr(std::min(from, text_.size()));
  const char* hit = FindText(rest.data(), rest.size(), delimiter);
  size_t span =
      hit ? static_cast<size_t>(static_cast<const char*>(hit) - rest.data()) : rest.size();
  const bool reused = spare_given_;
  spare_given_ = false;
  std::string content = std::move(spare_);
  spare_.clear();
  content.resize(Base64DecodeBound(span));
  delimiter_at_ = hit ? from + span : kNone;
  delimiter_from_ = from;
  delimiter_known_ = true;

  size_t used = 0;
  if (lines_left_) {
    // The regular lines of the body in one sweep (they hold no delimiter:
    // it has a '-'); the last line and anything irregular go line by line.
    size_t consumed = 0;
    used = Base64DecodeLines(rest.data(), span, content.data(), consumed);
    next_ = from + consumed;
  }
  std::string_view line;
  while (NextLine(line)) {
    if (LineHasDelimiter(line)) {
      content.resize(used);
      // A reused buffer is the caller's to bound; a fresh one stays close
      // to its content.
      if (!reused && content.capacity() - used > used / 8 + 4096) content.shrink_to_fit();
      attachments[name] = std::move(content);
      return true;
    }
    size_t need = used + Base64DecodeBound(line.size());
    if (need > content.size()) content.resize(std::max(need, content.size() * 2));
    used += Base64DecodeInto(line.data(), line.size(), content.data() + used);
  }
  return false;
}

bool MailParser::LineHasDelimiter(std::string_view line) {
  const size_t m = delimiter.size();
  if (line.size() < m) return false;
  size_t start = static_cast<size_t>(line.data() - text_.data());
  if (!delimiter_known_ || (delimiter_at_ != kNone && delimiter_at_ < start) ||
      delimiter_from_ > start) {
    const char* hit = FindText(text_.data() + start, text_.size() - start, delimiter);
    delimiter_at_ = hit ? static_cast<size_t>(hit - text_.data()) : kNone;
    delimiter_from_ = start;
    delimiter_known_ = true;
  }
  // The first occurrence at or after the line's start decides: the line
  // holds the delimiter exactly when that occurrence ends inside it.
  return delimiter_at_ != kNone && delimiter_at_ + m <= start + line.size();
}
