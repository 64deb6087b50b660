#include "message/AgeWriter.h"

#include <errno.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "message/Base64.h"
#include "message/ChaChaPoly.h"

namespace {

struct KdfFree {
  void operator()(EVP_KDF* p) const { EVP_KDF_free(p); }
};
struct KdfCtxFree {
  void operator()(EVP_KDF_CTX* p) const { EVP_KDF_CTX_free(p); }
};
using Kdf = std::unique_ptr<EVP_KDF, KdfFree>;
using KdfCtx = std::unique_ptr<EVP_KDF_CTX, KdfCtxFree>;

constexpr size_t kBase64Columns = 64;
constexpr int kScryptBlockSize = 8;
constexpr int kScryptParallelism = 1;
constexpr std::string_view kScryptLabel = "age-encryption.org/v1/scrypt";
constexpr std::string_view kX25519Label = "age-encryption.org/v1/X25519";

const unsigned char* Bytes(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

std::string_view View(const unsigned char* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

template <size_t N>
std::string_view View(const std::array<unsigned char, N>& a) {
  return View(a.data(), N);
}

bool Seal(const AgeWriter::Key& key, const AgeWriter::ChunkNonce& nonce, std::string_view plaintext,
          std::string& out) {
  return ChaChaPoly::Seal(key, nonce, {}, plaintext, out);
}

std::string StanzaText(const AgeStanza& stanza) {
  std::string text = "-> " + stanza.type;
  for (const std::string& arg : stanza.args) text += " " + arg;
  text += '\n';
  std::string body = AgeWriter::Base64(stanza.body);
  // The body ends at its first short line, so a full last line needs an
  // empty one after it.
  for (size_t at = 0;; at += kBase64Columns) {
    std::string_view line =
        std::string_view(body).substr(std::min(at, body.size()), kBase64Columns);
    text.append(line);
    text += '\n';
    if (line.size() < kBase64Columns) break;
  }
  return text;
}

bool IsValidStanza(const AgeStanza& stanza) {
  return AgeWriter::IsArgument(stanza.type) &&
         std::all_of(stanza.args.begin(), stanza.args.end(), AgeWriter::IsArgument);
}

}  // namespace

AgeWriter::Sink AgeWriter::StringSink(std::string& out) {
  return [&out](const char* data, size_t size) {
    out.append(data, size);
    return true;
  };
}

AgeWriter::Sink AgeWriter::FdSink(int fd) {
  return [fd](const char* data, size_t size) {
    while (size > 0) {
      ssize_t n = ::write(fd, data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      data += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  };
}

AgeWriter::AgeWriter(Sink sink) : sink_(std::move(sink)) {}

AgeWriter::~AgeWriter() {
  OPENSSL_cleanse(file_key_.data(), file_key_.size());
  OPENSSL_cleanse(payload_key_.data(), payload_key_.size());
}

bool AgeWriter::Fail(const std::string& message) {
  state_ = State::kFailed;
  error_ = message;
  OPENSSL_cleanse(payload_key_.data(), payload_key_.size());
  return false;
}

bool AgeWriter::AddStanza(AgeStanza stanza) {
  if (state_ != State::kIdle) return Fail("stanza added after the header");
  if (!IsValidStanza(stanza) || stanza.type == kX25519Type || stanza.type == kScryptType) {
    return Fail("invalid extra stanza");
  }
  extra_.push_back(std::move(stanza));
  return true;
}

bool AgeWriter::BeginToRecipient(std::string_view recipient) {
  std::optional<Key> key = AgeIdentity::ParseRecipient(recipient);
  if (!key) return Fail("not an age1 recipient");
  return BeginToKey(*key);
}

bool AgeWriter::BeginToKey(const Key& public_key) {
  if (state_ != State::kIdle) return Fail("header already written");
  if (RAND_bytes(file_key_.data(), static_cast<int>(file_key_.size())) != 1) {
    return Fail("no random bytes");
  }
  std::optional<AgeIdentity> ephemeral = AgeIdentity::Generate();
  Key shared;
  Key wrap;
  bool ok = ephemeral && ephemeral->Agree(public_key, shared) &&
            X25519WrapKey(shared, ephemeral->public_key(), public_key, wrap);
  AgeStanza stanza;
  ok = ok && Seal(wrap, NonceFor(0, false), View(file_key_), stanza.body);
  OPENSSL_cleanse(shared.data(), shared.size());
  OPENSSL_cleanse(wrap.data(), wrap.size());
  if (!ok) return Fail("cannot wrap the file key for the recipient");
  stanza.type = kX25519Type;
  stanza.args = {Base64(View(ephemeral->public_key()))};
  return BeginWith(std::move(stanza));
}

bool AgeWriter::BeginWithPassphrase(std::string_view passphrase, int log2_work_factor) {
  if (state_ != State::kIdle) return Fail("header already written");
  if (!extra_.empty()) return Fail("a passphrase stanza must be the only stanza");
  if (log2_work_factor < 1 || log2_work_factor > kLargestWorkFactor) {
    return Fail("work factor out of range");
  }
  std::array<unsigned char, 16> salt;
  if (RAND_bytes(file_key_.data(), static_cast<int>(file_key_.size())) != 1 ||
      RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) {
    return Fail("no random bytes");
  }
  Key wrap;
  AgeStanza stanza;
  bool ok = ScryptKey(passphrase, View(salt), log2_work_factor, wrap) &&
            Seal(wrap, NonceFor(0, false), View(file_key_), stanza.body);
  OPENSSL_cleanse(wrap.data(), wrap.size());
  if (!ok) return Fail("cannot wrap the file key with the passphrase");
  stanza.type = kScryptType;
  stanza.args = {Base64(View(salt)), std::to_string(log2_work_factor)};
  return BeginWith(std::move(stanza));
}

bool AgeWriter::BeginWith(AgeStanza recipient_stanza) {
  std::string header = std::string(kVersionLine) + "\n" + StanzaText(recipient_stanza);
  for (const AgeStanza& stanza : extra_) header += StanzaText(stanza);
  header += "---";
  Key mac;
  std::array<unsigned char, kNonceSize> nonce;
  bool ok = HeaderMac(file_key_, header, mac) &&
            RAND_bytes(nonce.data(), static_cast<int>(nonce.size())) == 1 &&
            PayloadKey(file_key_, View(nonce), payload_key_);
  // Only the payload key is needed from here on.
  OPENSSL_cleanse(file_key_.data(), file_key_.size());
  if (!ok) return Fail("cannot derive the header keys");
  header += " " + Base64(View(mac)) + "\n";
  header.append(View(nonce));
  if (!sink_(header.data(), header.size())) return Fail("sink refused the header");
  state_ = State::kWriting;
  buffer_.reserve(kChunkSize);
  return true;
}

bool AgeWriter::Write(std::string_view plaintext) {
  if (state_ != State::kWriting) return Fail("write outside Begin and Finish");
  while (!plaintext.empty()) {
    // A full chunk waits until more follows: only then is it known not last.
    if (buffer_.size() == kChunkSize && !SealChunk(false)) return false;
    size_t take = std::min(kChunkSize - buffer_.size(), plaintext.size());
    buffer_.append(plaintext.substr(0, take));
    plaintext.remove_prefix(take);
  }
  return true;
}

bool AgeWriter::Finish() {
  if (state_ != State::kWriting) return Fail("finish outside Begin");
  if (!SealChunk(true)) return false;
  state_ = State::kFinished;
  OPENSSL_cleanse(payload_key_.data(), payload_key_.size());
  return true;
}

bool AgeWriter::SealChunk(bool last) {
  std::string sealed;
  if (!Seal(payload_key_, NonceFor(counter_, last), buffer_, sealed)) {
    return Fail("cannot seal a chunk");
  }
  ++counter_;
  buffer_.clear();
  if (!sink_(sealed.data(), sealed.size())) return Fail("sink refused a chunk");
  return true;
}

std::optional<std::string> AgeWriter::EncryptToString(std::string_view plaintext,
                                                      std::string_view recipient,
                                                      const std::vector<AgeStanza>& extra) {
  std::string out;
  AgeWriter writer(StringSink(out));
  for (const AgeStanza& stanza : extra) {
    if (!writer.AddStanza(stanza)) return std::nullopt;
  }
  if (!writer.BeginToRecipient(recipient) || !writer.Write(plaintext) || !writer.Finish()) {
    return std::nullopt;
  }
  return out;
}

bool AgeWriter::Hkdf(std::string_view ikm, std::string_view salt, std::string_view info, Key& out) {
  Kdf kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
  KdfCtx ctx(kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr);
  if (!ctx) return false;
  OSSL_PARAM params[5];
  OSSL_PARAM* p = params;
  *p++ = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>("SHA256"), 0);
  *p++ = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<char*>(ikm.data()),
                                           ikm.size());
  // An absent salt is HKDF's empty salt.
  if (!salt.empty()) {
    *p++ = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<char*>(salt.data()),
                                             salt.size());
  }
  *p++ = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>(info.data()),
                                           info.size());
  *p = OSSL_PARAM_construct_end();
  return EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) == 1;
}

bool AgeWriter::ScryptKey(std::string_view passphrase, std::string_view salt, int log2_work_factor,
                          Key& out) {
  if (log2_work_factor < 1 || log2_work_factor > kLargestWorkFactor) return false;
  std::string full_salt = std::string(kScryptLabel) + std::string(salt);
  uint64_t n = uint64_t{1} << log2_work_factor;
  // What OpenSSL's scrypt allocates: its V array and B blocks.
  uint64_t block = 128 * kScryptBlockSize;
  uint64_t maxmem = block * (n + 2) + block * kScryptParallelism;
  return EVP_PBE_scrypt(passphrase.data(), passphrase.size(), Bytes(full_salt), full_salt.size(), n,
                        kScryptBlockSize, kScryptParallelism, maxmem, out.data(), out.size()) == 1;
}

bool AgeWriter::HeaderMac(const FileKey& file_key, std::string_view header_through_dashes,
                          Key& mac) {
  Key mac_key;
  bool ok = Hkdf(View(file_key), {}, "header", mac_key);
  unsigned int length = 0;
  ok = ok &&
       HMAC(EVP_sha256(), mac_key.data(), static_cast<int>(mac_key.size()),
            Bytes(header_through_dashes), header_through_dashes.size(), mac.data(),
            &length) != nullptr &&
       length == mac.size();
  OPENSSL_cleanse(mac_key.data(), mac_key.size());
  return ok;
}

bool AgeWriter::PayloadKey(const FileKey& file_key, std::string_view nonce, Key& out) {
  return Hkdf(View(file_key), nonce, "payload", out);
}

bool AgeWriter::X25519WrapKey(const Key& shared, const Key& share, const Key& recipient, Key& out) {
  std::string salt = std::string(View(share)) + std::string(View(recipient));
  return Hkdf(View(shared), salt, kX25519Label, out);
}

AgeWriter::ChunkNonce AgeWriter::NonceFor(uint64_t counter, bool last) {
  ChunkNonce nonce{};
  // Big-endian counter in bytes 0..10; the counter never needs more than 8.
  for (size_t i = 0; i < 8; ++i) nonce[10 - i] = static_cast<unsigned char>(counter >> (8 * i));
  nonce[11] = last ? 1 : 0;
  return nonce;
}

std::string AgeWriter::Base64(std::string_view bytes) {
  std::string text = Base64Encode(std::string(bytes));
  text.erase(text.find_last_not_of('=') + 1);
  return text;
}

bool AgeWriter::IsArgument(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 0x7f; });
}
