#include "message/AgeIdentity.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <memory>
#include <vector>

#include "message/AgeWriter.h"

namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

constexpr std::string_view kSecretHrp = "age-secret-key-";
constexpr std::string_view kRecipientHrp = "age";
constexpr std::string_view kCharset = "qpzry9x8gf2tvdw0s3jn54khce6mua7l";
constexpr size_t kChecksumSize = 6;

// Thread contract: one scope on one thread.
// Wipes a buffer that held secret material when the scope ends.
template <typename Buffer>
class Wiped {
 public:
  explicit Wiped(Buffer& bytes) : bytes_(bytes) {}
  ~Wiped() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }
  Wiped(const Wiped&) = delete;
  Wiped& operator=(const Wiped&) = delete;

 private:
  Buffer& bytes_;
};

uint32_t Polymod(const std::vector<uint8_t>& values) {
  static constexpr uint32_t kGenerator[5] = {0x3b6a57b2, 0x26508e6d, 0x1ea119fa, 0x3d4233dd,
                                             0x2a1462b3};
  uint32_t check = 1;
  for (uint8_t v : values) {
    uint32_t top = check >> 25;
    check = ((check & 0x1ffffff) << 5) ^ v;
    for (int i = 0; i < 5; ++i) {
      if ((top >> i) & 1) check ^= kGenerator[i];
    }
  }
  return check;
}

std::vector<uint8_t> HrpExpand(std::string_view hrp) {
  std::vector<uint8_t> out;
  for (char c : hrp) out.push_back(static_cast<uint8_t>(c) >> 5);
  out.push_back(0);
  for (char c : hrp) out.push_back(static_cast<uint8_t>(c) & 31);
  return out;
}

// Regroups bits; without padding, leftover bits must be fewer than from_bits
// and zero, as a canonical encoding leaves them.
bool ConvertBits(const std::vector<uint8_t>& in, int from_bits, int to_bits, bool pad,
                 std::vector<uint8_t>& out) {
  uint32_t acc = 0;
  int bits = 0;
  const uint32_t max = (1u << to_bits) - 1;
  const uint32_t pending = (1u << (from_bits + to_bits - 1)) - 1;
  for (uint8_t v : in) {
    acc = ((acc << from_bits) | v) & pending;
    bits += from_bits;
    while (bits >= to_bits) {
      bits -= to_bits;
      out.push_back(static_cast<uint8_t>((acc >> bits) & max));
    }
  }
  if (pad) {
    if (bits > 0) out.push_back(static_cast<uint8_t>((acc << (to_bits - bits)) & max));
    return true;
  }
  return bits < from_bits && ((acc << (to_bits - bits)) & max) == 0;
}

std::string Bech32Encode(std::string_view hrp, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> data;
  ConvertBits(bytes, 8, 5, true, data);
  std::vector<uint8_t> values = HrpExpand(hrp);
  values.insert(values.end(), data.begin(), data.end());
  values.insert(values.end(), kChecksumSize, 0);
  uint32_t mod = Polymod(values) ^ 1;
  for (size_t i = 0; i < kChecksumSize; ++i) data.push_back((mod >> (5 * (5 - i))) & 31);
  std::string out(hrp);
  out += '1';
  for (uint8_t d : data) out += kCharset[d];
  return out;
}

// Decodes all-lower or all-upper bech32 whose prefix is hrp (lower case).
bool Bech32Decode(std::string_view text, std::string_view hrp, std::vector<uint8_t>& bytes) {
  bool lower = std::any_of(text.begin(), text.end(), [](char c) { return c >= 'a' && c <= 'z'; });
  bool upper = std::any_of(text.begin(), text.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
  if (lower && upper) return false;
  std::string s(text);
  Wiped wipe_s(s);
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (s.size() < hrp.size() + 1 + kChecksumSize || s.compare(0, hrp.size(), hrp) != 0 ||
      s[hrp.size()] != '1') {
    return false;
  }
  std::vector<uint8_t> values = HrpExpand(hrp);
  std::vector<uint8_t> data;
  Wiped wipe_data(data);
  for (size_t i = hrp.size() + 1; i < s.size(); ++i) {
    size_t at = kCharset.find(s[i]);
    if (at == std::string_view::npos) return false;
    data.push_back(static_cast<uint8_t>(at));
  }
  values.insert(values.end(), data.begin(), data.end());
  Wiped wipe_values(values);
  if (Polymod(values) != 1) return false;
  data.resize(data.size() - kChecksumSize);
  return ConvertBits(data, 5, 8, false, bytes);
}

bool DecodeKey(std::string_view text, std::string_view hrp, AgeIdentity::Key& key) {
  std::vector<uint8_t> bytes;
  Wiped wipe(bytes);
  if (!Bech32Decode(text, hrp, bytes) || bytes.size() != key.size()) return false;
  std::copy(bytes.begin(), bytes.end(), key.begin());
  return true;
}

std::string_view Trim(std::string_view s) {
  const char* space = " \t\r\n\v\f";
  size_t first = s.find_first_not_of(space);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(space) - first + 1);
}

}  // namespace

AgeIdentity::~AgeIdentity() { OPENSSL_cleanse(secret_.data(), secret_.size()); }

std::optional<AgeIdentity> AgeIdentity::FromSecret(const Key& secret) {
  Pkey pkey(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, secret.data(), secret.size()));
  if (!pkey) return std::nullopt;
  AgeIdentity identity;
  size_t length = identity.public_key_.size();
  if (EVP_PKEY_get_raw_public_key(pkey.get(), identity.public_key_.data(), &length) != 1 ||
      length != identity.public_key_.size()) {
    return std::nullopt;
  }
  identity.secret_ = secret;
  return identity;
}

std::optional<AgeIdentity> AgeIdentity::Generate() {
  Key secret;
  if (RAND_bytes(secret.data(), static_cast<int>(secret.size())) != 1) return std::nullopt;
  std::optional<AgeIdentity> identity = FromSecret(secret);
  OPENSSL_cleanse(secret.data(), secret.size());
  return identity;
}

std::optional<AgeIdentity> AgeIdentity::Parse(std::string_view text) {
  std::string_view key_line;
  int key_lines = 0;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.empty() || line.front() == '#') continue;
    key_line = line;
    ++key_lines;
  }
  Key secret;
  if (key_lines != 1 || !DecodeKey(key_line, kSecretHrp, secret)) return std::nullopt;
  std::optional<AgeIdentity> identity = FromSecret(secret);
  OPENSSL_cleanse(secret.data(), secret.size());
  return identity;
}

std::optional<AgeIdentity::Key> AgeIdentity::ParseRecipient(std::string_view text) {
  Key key;
  if (!DecodeKey(Trim(text), kRecipientHrp, key)) return std::nullopt;
  return key;
}

std::string AgeIdentity::RecipientOf(const Key& public_key) {
  return Bech32Encode(kRecipientHrp, std::vector<uint8_t>(public_key.begin(), public_key.end()));
}

std::string AgeIdentity::ToString() const {
  std::vector<uint8_t> bytes(secret_.begin(), secret_.end());
  Wiped wipe(bytes);
  std::string out = Bech32Encode(kSecretHrp, bytes);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

bool AgeIdentity::Agree(const Key& peer, Key& shared) const {
  Pkey self(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, secret_.data(), secret_.size()));
  Pkey other(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peer.data(), peer.size()));
  if (!self || !other) return false;
  PkeyCtx ctx(EVP_PKEY_CTX_new(self.get(), nullptr));
  size_t length = shared.size();
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 ||
      EVP_PKEY_derive_set_peer(ctx.get(), other.get()) != 1 ||
      EVP_PKEY_derive(ctx.get(), shared.data(), &length) != 1 || length != shared.size()) {
    OPENSSL_cleanse(shared.data(), shared.size());
    return false;
  }
  // A low-order peer point yields all zeros, which would let anyone unwrap.
  unsigned char any = 0;
  for (unsigned char b : shared) any |= b;
  return any != 0;
}

bool AgeIdentity::Derive(std::string_view label, Key& out) const {
  std::string_view secret(reinterpret_cast<const char*>(secret_.data()), secret_.size());
  return AgeWriter::Hkdf(secret, "tandrel", label, out);
}
