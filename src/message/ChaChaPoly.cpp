#include "message/ChaChaPoly.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <memory>

namespace {

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

const unsigned char* Bytes(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

// Associated data goes in as an update without output.
bool AddAad(EVP_CIPHER_CTX* ctx, std::string_view aad, bool encrypt) {
  if (aad.empty()) return true;
  int n = 0;
  int size = static_cast<int>(aad.size());
  return encrypt ? EVP_EncryptUpdate(ctx, nullptr, &n, Bytes(aad), size) == 1
                 : EVP_DecryptUpdate(ctx, nullptr, &n, Bytes(aad), size) == 1;
}

}  // namespace

bool ChaChaPoly::Seal(const Key& key, const Nonce& nonce, std::string_view aad,
                      std::string_view plain, std::string& out) {
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  size_t start = out.size();
  out.resize(start + plain.size() + kTagSize);
  auto* dst = reinterpret_cast<unsigned char*>(out.data() + start);
  int n = 0;
  int tail = 0;
  bool ok =
      ctx &&
      EVP_EncryptInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, key.data(), nonce.data()) ==
          1 &&
      AddAad(ctx.get(), aad, true) &&
      EVP_EncryptUpdate(ctx.get(), dst, &n, Bytes(plain), static_cast<int>(plain.size())) == 1 &&
      EVP_EncryptFinal_ex(ctx.get(), dst + n, &tail) == 1 &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, static_cast<int>(kTagSize),
                          dst + plain.size()) == 1;
  if (!ok) out.resize(start);
  return ok;
}

bool ChaChaPoly::Open(const Key& key, const Nonce& nonce, std::string_view aad,
                      std::string_view sealed, std::string& plain) {
  if (sealed.size() < kTagSize) return false;
  size_t size = sealed.size() - kTagSize;
  if (plain.size() < size) plain.resize(size);
  plain.resize(size);
  const unsigned char* in = Bytes(sealed);
  auto* dst = reinterpret_cast<unsigned char*>(plain.data());
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  int n = 0;
  int tail = 0;
  bool ok = ctx &&
            EVP_DecryptInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, key.data(),
                               nonce.data()) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, static_cast<int>(kTagSize),
                                const_cast<unsigned char*>(in + size)) == 1 &&
            AddAad(ctx.get(), aad, false) &&
            EVP_DecryptUpdate(ctx.get(), dst, &n, in, static_cast<int>(size)) == 1 &&
            EVP_DecryptFinal_ex(ctx.get(), dst + n, &tail) == 1;
  if (!ok) {
    // Bytes that did not authenticate are nobody's to read.
    OPENSSL_cleanse(plain.data(), plain.size());
    plain.clear();
  }
  return ok;
}
