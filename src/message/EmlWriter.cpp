#include "message/EmlWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <ctime>
#include <memory>

#include "log/CLog.h"
#include "message/Base64.h"
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

}  // namespace

EmlWriter::EmlWriter(const PartHeader& record) : record_(record) {}

std::string EmlWriter::Subject() const {
  std::string text;
  if (IsFilePart()) {
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
  std::string name = EncodedFileName();
  std::string h;
  h.reserve(1024);
  h += "Date:" + DateText(now) + kCrLf;
  h += "From:<" + record_.from + ">" + kCrLf;
  h += "To:<" + record_.to + ">" + kCrLf;
  h += "Subject:" + Subject() + kCrLf;
  h += std::string("X-Mailer: tandrel 1.0") + kCrLf;
  h += FoldLines("X-tdr-info: " + Base64Encode(InfoObject(now)), true) + kCrLf;
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
  if (!WriteAll(fd, header.data(), header.size())) return false;
  int64_t body = 0;
  if (!WriteBody(fd, body)) return false;
  int64_t total = static_cast<int64_t>(header.size()) + body;
  if (total > INT_MAX) return false;
  length = static_cast<int>(total);
  return true;
}

// Streams the part through fixed buffers: whole 54-byte groups become
// finished 72-character lines as they arrive, so memory stays small and the
// bytes equal those of encoding the whole part at once.
bool EmlWriter::WriteBody(int eml_fd, int64_t& written) const {
  UniqueFd local(::open(NativePath(record_.source_path).c_str(), O_RDONLY | O_CLOEXEC));
  if (!local.ok()) return false;

  if (record_.total_part > 1) {
    int64_t offset;
    if (record_.part < record_.total_part) {
      offset = int64_t{record_.part - 1} * record_.size;
    } else {
      offset = (record_.total_size - record_.size) / (int64_t{record_.total_part} - 1) *
               (int64_t{record_.part} - 1);
    }
    if (offset < 0 || ::lseek(local.get(), static_cast<off_t>(offset), SEEK_SET) < 0) return false;
  }
  CLog::Instance()->Write(LOG_DEBUG, "begin write eml");

  constexpr size_t kLineBytes = 54;
  const size_t in_capacity = kReadBlock + kLineBytes;
  std::unique_ptr<unsigned char[]> in(new unsigned char[in_capacity]);
  std::unique_ptr<char[]> out(new char[Base64FoldedSize(in_capacity) + 64]);
  size_t carry = 0;
  int64_t left = record_.size > 0 ? record_.size : 0;
  written = 0;
  while (left > 0) {
    size_t want = static_cast<size_t>(std::min<int64_t>(left, kReadBlock));
    ssize_t got = ReadSome(local.get(), reinterpret_cast<char*>(in.get()) + carry, want);
    if (got < 0) return false;
    left -= got;
    carry += static_cast<size_t>(got);
    size_t whole = carry / kLineBytes * kLineBytes;
    size_t n = Base64EncodeFolded(in.get(), whole, out.get());
    if (!WriteAll(eml_fd, out.get(), n)) return false;
    written += static_cast<int64_t>(n);
    std::copy(in.get() + whole, in.get() + carry, in.get());
    carry -= whole;
    if (static_cast<size_t>(got) < want) break;  // end of file: what was read is the part
  }
  size_t n = Base64EncodeFolded(in.get(), carry, out.get());
  std::string tail = std::string("\r\n\r\n--") + kBoundary + "--";
  std::copy(tail.begin(), tail.end(), out.get() + n);
  n += tail.size();
  local.Close();
  CLog::Instance()->Write(LOG_DEBUG, "end write eml");
  if (!WriteAll(eml_fd, out.get(), n)) return false;
  written += static_cast<int64_t>(n);
  return true;
}
