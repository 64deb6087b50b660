#include "message/EmlWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>

#include "log/CLog.h"
#include "message/AgeWriter.h"
#include "message/Base64.h"
#include "message/DriveKey.h"
#include "platform/FileHelpers.h"
#include "platform/UniqueFd.h"
#include "platform/WireCodePage.h"

namespace {

// Fixed texts of the subject and the file name, as GBK bytes.
constexpr char kFileLabel[] = "\xCE\xC4\xBC\xFE:";       // 文件:
constexpr char kPartOpen[] = "(\xB5\xDA";                // (第
constexpr char kPartOf[] = "\xB2\xBF\xB7\xD6,\xB9\xB2";  // 部分,共
constexpr char kPartClose[] = "\xB2\xBF\xB7\xD6)";       // 部分)
constexpr char kIndexSubject[] =                         // 文件夹信息表(千万勿删)
    "\xCE\xC4\xBC\xFE\xBC\xD0\xD0\xC5\xCF\xA2\xB1\xED(\xC7\xA7\xCD\xF2\xCE\xF0\xC9\xBE)";
constexpr char kIndexName[] = "folder.txt";
constexpr char kCrLf[] = "\r\n";

// The record's fields are never negative; should one be, it is widened with
// its sign, as other writers of the format do.
std::string Number(int64_t value) { return NumberToText(static_cast<uint64_t>(value)); }

std::string EncodedWord(const std::string& bytes) {
  return "=?gb2312?B?" + Base64Encode(bytes) + "?=";
}

// "%a, %d %b %y %H:%M:%S +0800" with English names, whatever the locale.
std::string DateText(int64_t now) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  time_t t = static_cast<time_t>(now);
  struct tm local {};
  if (localtime_r(&t, &local) == nullptr) gmtime_r(&t, &local);
  char text[64];
  snprintf(text, sizeof text, "%s, %02d %s %02d %02d:%02d:%02d +0800", kDays[local.tm_wday % 7],
           local.tm_mday, kMonths[local.tm_mon % 12], (local.tm_year % 100 + 100) % 100,
           local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

bool WriteAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, data, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Reads until want bytes or end of file; -1 on a read error.
ssize_t ReadSome(int fd, char* data, size_t want) {
  size_t got = 0;
  while (got < want) {
    ssize_t r = ::read(fd, data + got, want - got);
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(got);
}

// The file the part is read from, at the part's first byte.
UniqueFd OpenPart(const PartHeader& record) {
  UniqueFd local(::open(NativePath(record.source_path).c_str(), O_RDONLY | O_CLOEXEC));
  if (!local.ok() || record.total_part <= 1) return local;
  int64_t offset;
  if (record.part < record.total_part) {
    offset = int64_t{record.part - 1} * record.size;
  } else {
    offset = (record.total_size - record.size) / (int64_t{record.total_part} - 1) *
             (int64_t{record.part} - 1);
  }
  if (offset < 0 || ::lseek(local.get(), static_cast<off_t>(offset), SEEK_SET) < 0) return {};
  return local;
}

// Thread contract: one thread (the writer's).
// Base64 through fixed buffers: whole 54-byte groups become finished
// 72-character lines as they arrive, so memory stays small and the bytes
// equal those of encoding everything at once, however it is handed over.
class FoldedBase64 {
 public:
  static constexpr size_t kLineBytes = 54;

  FoldedBase64(int fd, size_t block)
      : fd_(fd),
        capacity_(block + kLineBytes),
        in_(new unsigned char[capacity_]),
        out_(new char[Base64FoldedSize(capacity_) + 64]) {}

  bool Add(const char* data, size_t n) {
    while (n > 0) {
      size_t take = std::min(n, capacity_ - carry_);
      std::memcpy(in_.get() + carry_, data, take);
      carry_ += take;
      data += take;
      n -= take;
      size_t whole = carry_ / kLineBytes * kLineBytes;
      if (!Put(Base64EncodeFolded(in_.get(), whole, out_.get()))) return false;
      std::copy(in_.get() + whole, in_.get() + carry_, in_.get());
      carry_ -= whole;
    }
    return true;
  }
  // The last short line, then tail.
  bool Finish(const std::string& tail) {
    size_t n = Base64EncodeFolded(in_.get(), carry_, out_.get());
    std::copy(tail.begin(), tail.end(), out_.get() + n);
    carry_ = 0;
    return Put(n + tail.size());
  }
  int64_t written() const { return written_; }

 private:
  bool Put(size_t n) {
    written_ += static_cast<int64_t>(n);
    return WriteAll(fd_, out_.get(), n);
  }

  int fd_;
  size_t capacity_;
  std::unique_ptr<unsigned char[]> in_;
  std::unique_ptr<char[]> out_;
  size_t carry_ = 0;
  int64_t written_ = 0;
};

}  // namespace

EmlWriter::EmlWriter(const PartHeader& record) : record_(record) {}

std::string EmlWriter::Subject() const {
  std::string text;
  if (IsFilePart() && key_ != nullptr) {
    text = kFileLabel + DriveKey::OpaqueName();
  } else if (IsFilePart()) {
    text = kFileLabel + WireCodePage::FromUtf8(record_.name);
    if (record_.total_part > 1) {
      text += kPartOpen + Number(record_.part) + kPartOf + Number(record_.total_part) + kPartClose;
    }
  } else {
    text = kIndexSubject;
  }
  return EncodedWord(text);
}

std::string EmlWriter::EncodedFileName() const {
  std::string text = IsFilePart() ? WireCodePage::FromUtf8(record_.name) : kIndexName;
  if (record_.total_part > 1) text += kPartOpen + Number(record_.part) + kPartClose;
  std::string quoted(1, '"');
  quoted += EncodedWord(text);
  quoted += '"';
  return quoted;
}

std::string EmlWriter::AttachmentName() const {
  if (key_ == nullptr) return EncodedFileName();
  return IsFilePart() ? "\"part.age\"" : "\"folder.age\"";
}

std::string EmlWriter::InfoField(int64_t now) const {
  if (key_ == nullptr) return FoldLines("X-tdr-info: " + Base64Encode(InfoObject(now)), true);
  std::optional<std::string> sealed = key_->SealObject(InfoObject(now));
  return sealed ? FoldLines("X-tdr-sealed: " + *sealed, true) : std::string();
}

std::string EmlWriter::InfoObject(int64_t now) const {
  // A part carries its file's time, so every machine shows the same one;
  // the index, the time of writing.
  int64_t stamp = IsFilePart() && record_.time > 0 ? record_.time : now;
  std::string time_text = NumberToText(static_cast<uint64_t>(stamp));
  std::string o;
  if (IsFilePart()) {
    o = "{\"file\":" + EncodedFileName() + ",";
    o += "\"id\":\"" + Number(record_.file_id) + "\",";
    o += "\"size\":\"" + Number(record_.size) + "\",";
    o += "\"total_size\":\"" + Number(record_.total_size) + "\",";
    o += "\"part\":\"" + Number(record_.part) + "\",";
    o += "\"total_part\":\"" + Number(record_.total_part) + "\",";
    o += "\"time\":\"" + time_text + "\",";
    o += "\"md5\":\"" + record_.md5 + "\"";
    o += "}";
  } else {
    o = "{\"folder\":\"folder.txt\",";
    o += "\"id\":\"" + Number(record_.file_id) + "\",";
    o += "\"size\":\"" + Number(record_.size) + "\",";
    o += "\"time\":\"" + time_text + "\"";
    o += ",\"md5\":\"" + record_.md5 + "\"";
    o += "}";
  }
  return o;
}

std::string EmlWriter::Header(int64_t now) const {
  std::string name = AttachmentName();
  std::string info = InfoField(now);
  if (info.empty()) return {};
  std::string h;
  h.reserve(1024);
  h += "Date:" + DateText(now) + kCrLf;
  h += "From:<" + record_.from + ">" + kCrLf;
  h += "To:<" + record_.to + ">" + kCrLf;
  h += "Subject:" + Subject() + kCrLf;
  h += std::string("X-Mailer: tandrel 1.0") + kCrLf;
  h += info + kCrLf;
  h += std::string("MIME-Version: 1.0") + kCrLf;
  h += std::string("Content-type: multipart/mixed;") + kCrLf;
  h += std::string(" boundary=\"") + kBoundary + "\"" + kCrLf;
  h += kCrLf;
  h += std::string("--") + kBoundary + kCrLf;
  h += "Content-Type: application/octet-stream; name=" + name + kCrLf;
  h += "Content-Disposition: attachment; filename=" + name + kCrLf;
  h += std::string("Content-Transfer-Encoding: base64") + kCrLf;
  h += kCrLf;
  return h;
}

bool EmlWriter::SaveToEml(const std::string& path, int& length) {
  UniqueFd eml(::open(NativePath(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  return eml.ok() && WriteTo(eml.get(), length) && eml.Close();
}

bool EmlWriter::WriteTo(int fd, int& length) {
  int64_t now = has_fixed_time_ ? fixed_time_ : static_cast<int64_t>(::time(nullptr));
  std::string header = Header(now);
  if (header.empty()) return false;
  if (!WriteAll(fd, header.data(), header.size())) return false;
  int64_t body = 0;
  if (!WriteBody(fd, body)) return false;
  int64_t total = static_cast<int64_t>(header.size()) + body;
  if (total > INT_MAX) return false;
  length = static_cast<int>(total);
  return true;
}

// Streams the part, sealed to the drive's recipient when there is a key,
// through fixed buffers.
bool EmlWriter::WriteBody(int eml_fd, int64_t& written) const {
  UniqueFd local = OpenPart(record_);
  if (!local.ok()) return false;
  CLog::Instance()->Write(LOG_DEBUG, "begin write eml");
  FoldedBase64 out(eml_fd, kReadBlock);
  std::optional<AgeWriter> age;
  if (key_ != nullptr) {
    age.emplace([&out](const char* data, size_t n) { return out.Add(data, n); });
    AgeStanza binding{std::string(DriveKey::kBindingStanza),
                      {key_->BindingTag(record_.file_id, IsFilePart() ? record_.part : 0)},
                      {}};
    if (!age->AddStanza(binding) || !age->BeginToKey(key_->identity().public_key())) return false;
  }
  std::unique_ptr<char[]> in(new char[kReadBlock]);
  int64_t left = record_.size > 0 ? record_.size : 0;
  while (left > 0) {
    size_t want = static_cast<size_t>(std::min<int64_t>(left, kReadBlock));
    ssize_t got = ReadSome(local.get(), in.get(), want);
    if (got < 0) return false;
    left -= got;
    size_t n = static_cast<size_t>(got);
    if (!(age ? age->Write(std::string_view(in.get(), n)) : out.Add(in.get(), n))) return false;
    if (n < want) break;  // end of file: what was read is the part
  }
  local.Close();
  if (age && !age->Finish()) return false;
  CLog::Instance()->Write(LOG_DEBUG, "end write eml");
  if (!out.Finish(std::string("\r\n\r\n--") + kBoundary + "--")) return false;
  written = out.written();
  return true;
}
