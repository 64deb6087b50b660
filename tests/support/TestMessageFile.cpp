#include "TestMessageFile.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <string>

namespace {

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void EncodeLine(const unsigned char* in, size_t n, std::string& out) {
  for (size_t i = 0; i < n; i += 3) {
    unsigned v = in[i] << 16;
    if (i + 1 < n) v |= in[i + 1] << 8;
    if (i + 2 < n) v |= in[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < n ? kAlphabet[(v >> 6) & 63] : '=';
    out += i + 2 < n ? kAlphabet[v & 63] : '=';
  }
  out += "\r\n";
}

}  // namespace

bool WriteTestMessage(const std::string& path, size_t part_size, unsigned seed) {
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
  if (!file) return false;
  std::string text =
      "From: tester@example.com\r\n"
      "To: tester@example.com\r\n"
      "Subject: part 1\r\n"
      "X-tdr-info: test\r\n"
      "MIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"=_tdr_boundary\"\r\n"
      "\r\n"
      "--=_tdr_boundary\r\n"
      "Content-Type: application/octet-stream; name=\"part.bin\"\r\n"
      "Content-Transfer-Encoding: base64\r\n"
      "Content-Disposition: attachment; filename=\"part.bin\"\r\n"
      "\r\n";
  std::mt19937 random(seed);
  unsigned char raw[57 * 1024];
  size_t left = part_size;
  while (left > 0) {
    size_t n = std::min(left, sizeof raw);
    for (size_t i = 0; i < n; ++i) raw[i] = static_cast<unsigned char>(random());
    for (size_t at = 0; at < n; at += 57) EncodeLine(raw + at, std::min<size_t>(57, n - at), text);
    left -= n;
    if (std::fwrite(text.data(), 1, text.size(), file.get()) != text.size()) return false;
    text.clear();
  }
  text += "--=_tdr_boundary--\r\n";
  return std::fwrite(text.data(), 1, text.size(), file.get()) == text.size() &&
         std::fflush(file.get()) == 0;
}
