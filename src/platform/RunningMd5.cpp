#include "platform/RunningMd5.h"

#include <openssl/evp.h>

#include <cstdio>

struct RunningMd5::Context {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  ~Context() { EVP_MD_CTX_free(ctx); }
};

RunningMd5::RunningMd5() : context_(std::make_unique<Context>()) {
  usable_ = context_->ctx != nullptr && EVP_DigestInit_ex(context_->ctx, EVP_md5(), nullptr) == 1;
}

RunningMd5::~RunningMd5() = default;

void RunningMd5::Wrote(const char* data, size_t length, uint64_t offset) {
  if (!usable_ || length == 0) return;
  if (offset != digested_ || EVP_DigestUpdate(context_->ctx, data, length) != 1) {
    usable_ = false;
    return;
  }
  digested_ += length;
}

void RunningMd5::Resized(uint64_t length) {
  if (length != digested_) usable_ = false;
}

bool RunningMd5::Finish(uint64_t file_size, std::string& md5) {
  if (!usable_ || file_size != digested_) return false;
  usable_ = false;  // the context is spent
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(context_->ctx, digest, &len) != 1) return false;
  // GetFileMd5's spelling, unpadded bytes included: the two must agree, or a
  // file would look changed to every machine.
  md5.clear();
  char hex[4];
  for (unsigned int i = 0; i < len; ++i) {
    std::snprintf(hex, sizeof hex, "%0x", digest[i]);
    md5 += hex;
  }
  return true;
}
