#include "message/DriveKeyMessage.h"

#include <ctime>
#include <vector>

#include "message/Base64.h"
#include "message/EmlWriter.h"
#include "message/MailParser.h"

namespace {

constexpr char kCrLf[] = "\r\n";
// 文件夹密钥(千万勿删), as GBK bytes: the index's "do not delete" wording.
constexpr char kSubject[] =
    "\xCE\xC4\xBC\xFE\xBC\xD0\xC3\xDC\xD4\xBF(\xC7\xA7\xCD\xF2\xCE\xF0\xC9\xBE)";

std::string DateText(int64_t now) {
  time_t t = static_cast<time_t>(now);
  struct tm utc {};
  gmtime_r(&t, &utc);
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[64];
  snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[utc.tm_wday % 7],
           utc.tm_mday, kMonths[utc.tm_mon % 12], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
           utc.tm_sec);
  return text;
}

}  // namespace

std::string DriveKeyMessage::Compose(const std::string& sealed, const std::string& address,
                                     int64_t now) {
  std::string boundary = EmlWriter::kBoundary;
  std::string m = "Date: " + DateText(now) + kCrLf;
  m += "From: <" + address + ">" + kCrLf;
  m += "To: <" + address + ">" + kCrLf;
  m += "Subject: =?gb2312?B?" + Base64Encode(kSubject) + "?=" + kCrLf;
  m += std::string("X-Mailer: tandrel 1.0") + kCrLf;
  m += std::string(kField) + ": 1" + kCrLf;
  m += std::string("MIME-Version: 1.0") + kCrLf;
  m += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"" + kCrLf + kCrLf;
  m += "--" + boundary + kCrLf;
  m += std::string("Content-Type: application/octet-stream; name=\"") + kAttachment + "\"" + kCrLf;
  m += std::string("Content-Disposition: attachment; filename=\"") + kAttachment + "\"" + kCrLf;
  m += std::string("Content-Transfer-Encoding: base64") + kCrLf + kCrLf;
  std::vector<char> body(Base64FoldedSize(sealed.size()) + 4);
  size_t n = Base64EncodeFolded(reinterpret_cast<const unsigned char*>(sealed.data()),
                                sealed.size(), body.data());
  m.append(body.data(), n);
  m += std::string(kCrLf) + kCrLf + "--" + boundary + "--" + kCrLf;
  return m;
}

bool DriveKeyMessage::Sealed(const std::string& message, std::string& sealed) {
  MailParser parser;
  parser.Parse(message);
  auto attachment = parser.attachments.find(kAttachment);
  if (parser.headers.count(kField) == 0 || attachment == parser.attachments.end()) return false;
  sealed = attachment->second;
  return !sealed.empty();
}
