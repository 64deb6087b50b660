#include "platform/FileHelpers.h"

#include "platform/UniqueFd.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <vector>

namespace fs = std::filesystem;

std::string NativePath(const std::string& path) {
  std::string out = path;
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

bool MakeDir(const std::string& path, mode_t mode) {
  if (DirExists(path)) return true;
  std::string native = NativePath(path);
  // Create each missing level in turn, as the shell's creation with parents.
  for (size_t pos = 1; pos <= native.size(); ++pos) {
    if (pos == native.size() || native[pos] == '/') {
      std::string prefix = native.substr(0, pos);
      if (!prefix.empty() && prefix.back() != '/') ::mkdir(prefix.c_str(), mode);
    }
  }
  return DirExists(path);
}

bool DirExists(const std::string& path) {
  struct stat st {};
  return ::stat(NativePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(NativePath(path).c_str(), &st) == 0;
}

bool IsSingleName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

std::string DrivePathUnder(const std::string& path, const std::string& mount_point) {
  std::string root = mount_point;
  while (!root.empty() && root.back() == '/') root.pop_back();
  if (path.compare(0, root.size(), root) != 0 ||
      (path.size() > root.size() && path[root.size()] != '/')) {
    return "";
  }
  std::string drive = "\\";
  for (size_t i = root.size(); i < path.size(); ++i) {
    char c = path[i] == '/' ? '\\' : path[i];
    if (c == '\\' && drive.back() == '\\') continue;
    drive += c;
  }
  if (drive.size() > 1 && drive.back() == '\\') drive.pop_back();
  return drive;
}

std::string DrivePathText(const std::string& drive_path) {
  std::string text = drive_path.substr(!drive_path.empty() && drive_path[0] == '\\' ? 1 : 0);
  for (char& c : text) {
    if (c == '\\') c = '/';
  }
  return text;
}

bool SplitPath(const std::string& path, std::string& folder, std::string& name) {
  size_t pos = path.rfind('\\');
  if (pos == std::string::npos) return false;
  folder = path.substr(0, pos + 1);
  name = path.substr(pos + 1);
  return true;
}

std::string NumberToText(uint64_t n) {
  char text[32];
  std::snprintf(text, sizeof text, "%" PRIu64, n);
  return text;
}

void SplitAt(const std::string& text, char sep, std::vector<std::string>& out) {
  size_t start = 0;
  for (;;) {
    size_t pos = text.find(sep, start);
    if (pos == std::string::npos) {
      out.push_back(text.substr(start));
      return;
    }
    out.push_back(text.substr(start, pos - start));
    start = pos + 1;
  }
}

std::string ReadLine(const std::string& buffer, size_t& pos) {
  std::string line;
  while (pos < buffer.size() && buffer[pos] != '\n') {
    if (buffer[pos] != '\r') line += buffer[pos];
    ++pos;
  }
  return line;
}

bool MoveByShell(const std::string& dest, const std::string& source) {
  std::string from = NativePath(source);
  std::string to = NativePath(dest);
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  if (errno != EXDEV) return false;
  // Different file systems: copy everything, then delete the source. A
  // failed copy removes what it wrote and leaves the source untouched.
  std::error_code ec;
  if (fs::exists(to, ec)) return false;
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
  if (ec) {
    fs::remove_all(to, ec);
    return false;
  }
  fs::remove_all(from, ec);
  return !ec;
}

namespace {

struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

}  // namespace

bool GetFileMd5(const std::string& path, int64_t& size, int& time_stamp, std::string& md5) {
  UniqueFd file(::open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return false;
  struct stat st {};
  if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;

  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) return false;
  // Large reads: a 4 KiB block costs a system call per 4 KiB of a file of
  // any size; the digest is the same.
  std::vector<unsigned char> block(256 << 10);
  int64_t total = 0;
  for (;;) {
    ssize_t n = ::read(file.get(), block.data(), block.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    total += n;
    EVP_DigestUpdate(ctx.get(), block.data(), static_cast<size_t>(n));
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &len) != 1) return false;

  md5.clear();
  char hex[4];
  for (unsigned int i = 0; i < len; ++i) {
    std::snprintf(hex, sizeof hex, "%0x", digest[i]);
    md5 += hex;
  }
  size = total;
  time_stamp = static_cast<int>(static_cast<uint32_t>(::time(nullptr)));
  return true;
}
