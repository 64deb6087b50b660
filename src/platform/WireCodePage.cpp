#include "platform/WireCodePage.h"

#include <iconv.h>
#include <cerrno>

#include "log/CLog.h"

namespace {

class IconvHandle {
 public:
  IconvHandle(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~IconvHandle() {
    if (ok()) iconv_close(cd_);
  }
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;

  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

bool IsAscii(const std::string& text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

std::string Convert(const char* to, const char* from, const std::string& text) {
  // ASCII is the same in both encodings; most names never need iconv.
  if (IsAscii(text)) return text;
  IconvHandle cd(to, from);
  if (!cd.ok()) {
    CLog::Instance()->Write(LOG_ERROR, "iconv_open %s from %s failed", to, from);
    return text;
  }
  // Either direction grows a character by at most a factor of two.
  std::string out(text.size() * 2 + 16, '\0');
  char* in_ptr = const_cast<char*>(text.data());
  size_t in_left = text.size();
  size_t used = 0;
  for (;;) {
    char* out_ptr = out.data() + used;
    size_t out_left = out.size() - used;
    size_t rc = iconv(cd.get(), &in_ptr, &in_left, &out_ptr, &out_left);
    int err = errno;
    used = out.size() - out_left;
    if (rc != static_cast<size_t>(-1)) break;
    if (err == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    if (err != EILSEQ && err != EINVAL) break;
    // An invalid byte (or an incomplete sequence at the end) passes through
    // as it is; the conversion resumes at the next byte in a fresh state.
    if (used == out.size()) out.resize(out.size() * 2);
    out[used++] = *in_ptr++;
    --in_left;
    iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
    if (in_left == 0) break;
  }
  out.resize(used);
  return out;
}

}  // namespace

std::string WireCodePage::FromUtf8(const std::string& text) {
  return Convert("GB18030", "UTF-8", text);
}

std::string WireCodePage::ToUtf8(const std::string& text) {
  return Convert("UTF-8", "GB18030", text);
}
