#include "message/DriveKey.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>

#include "message/AgeReader.h"
#include "message/AgeWriter.h"
#include "message/Base64.h"
#include "message/ChaChaPoly.h"

namespace {

// Binds a sealed object to its use: the same key sealing anything else
// cannot be passed off as a header object.
constexpr std::string_view kObjectAad = "tandrel header object";

std::string Hex(const unsigned char* data, size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 0xf];
  }
  return out;
}

std::string Mac(const AgeIdentity::Key& key, std::string_view data) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(data.data()), data.size(), mac,
           &length) == nullptr)
    return {};
  return Hex(mac, length);
}

}  // namespace

DriveKey::~DriveKey() {
  for (AgeIdentity::Key* key : {&object_key_, &binding_key_})
    OPENSSL_cleanse(key->data(), key->size());
}

bool DriveKey::Derive() {
  return identity_.Derive("header object", object_key_) &&
         identity_.Derive("binding", binding_key_);
}

std::optional<DriveKey> DriveKey::FromIdentity(const AgeIdentity& identity) {
  DriveKey key(identity);
  if (!key.Derive()) return std::nullopt;
  return key;
}

std::optional<DriveKey> DriveKey::Generate() {
  std::optional<AgeIdentity> identity = AgeIdentity::Generate();
  if (!identity) return std::nullopt;
  return FromIdentity(*identity);
}

std::optional<std::string> DriveKey::Seal(std::string_view passphrase, int log2_work_factor) const {
  std::string out;
  AgeWriter writer(AgeWriter::StringSink(out));
  std::string text = identity_.ToString() + "\n";
  bool ok = writer.BeginWithPassphrase(passphrase, log2_work_factor) && writer.Write(text) &&
            writer.Finish();
  OPENSSL_cleanse(text.data(), text.size());
  if (!ok) return std::nullopt;
  return out;
}

DriveKey::Unsealed DriveKey::Unseal(std::string_view sealed, std::string_view passphrase,
                                    std::optional<DriveKey>& key) {
  key.reset();
  AgeReader reader;
  AgeResult result = reader.ParseHeader(sealed);
  if (result.ok()) result = reader.Unlock(passphrase);
  std::string text;
  AgeWriter::Sink sink = AgeWriter::StringSink(text);
  if (result.ok()) result = reader.Write(sealed.substr(reader.payload_offset()), sink);
  if (result.ok()) result = reader.Finish(sink);
  if (result.error == AgeError::kNoMatchingStanza) return Unsealed::kWrongPassphrase;
  if (result.error == AgeError::kWorkFactorTooHigh) return Unsealed::kTooCostly;
  std::optional<AgeIdentity> identity;
  if (result.ok()) identity = AgeIdentity::Parse(text);
  OPENSSL_cleanse(text.data(), text.size());
  if (identity) key = FromIdentity(*identity);
  return key ? Unsealed::kOpened : Unsealed::kDamaged;
}

std::optional<std::string> DriveKey::SealObject(std::string_view object) const {
  ChaChaPoly::Nonce nonce;
  if (RAND_bytes(nonce.data(), static_cast<int>(nonce.size())) != 1) return std::nullopt;
  std::string sealed(reinterpret_cast<const char*>(nonce.data()), nonce.size());
  if (!ChaChaPoly::Seal(object_key_, nonce, kObjectAad, object, sealed)) return std::nullopt;
  return AgeWriter::Base64(sealed);
}

bool DriveKey::OpenObject(std::string_view text, std::string& object) const {
  std::string sealed = Base64Decode(std::string(text));
  ChaChaPoly::Nonce nonce;
  if (sealed.size() < nonce.size() + ChaChaPoly::kTagSize) return false;
  std::copy(sealed.begin(), sealed.begin() + nonce.size(), nonce.begin());
  return ChaChaPoly::Open(object_key_, nonce, kObjectAad,
                          std::string_view(sealed).substr(nonce.size()), object);
}

std::string DriveKey::OpaqueName() {
  unsigned char bytes[8];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return std::string(16, '0');
  return Hex(bytes, sizeof bytes);
}

std::string DriveKey::BindingTag(int64_t file_id, int part) const {
  return Mac(binding_key_, std::to_string(file_id) + "/" + std::to_string(part));
}
