#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "message/AgeIdentity.h"

// The key of an encrypted drive: the age identity every part and folder
// index is encrypted to, kept in the mailbox as an age file sealed to the
// passphrase (so a new passphrase rewrites that one file), and the keys
// derived from it for what travels beside the age files: sealed header
// objects (which carry the content digests) and the tag binding a part to
// its place.
// Thread contract: an immutable value after construction; const methods may
// run on any number of threads at once.
class DriveKey {
 public:
  enum class Unsealed { kOpened, kWrongPassphrase, kDamaged, kTooCostly };
  static constexpr int kWorkFactor = 18;
  // The age stanza that carries a BindingTag.
  static constexpr std::string_view kBindingStanza = "tdr-bind";

  static std::optional<DriveKey> Generate();
  static std::optional<DriveKey> FromIdentity(const AgeIdentity& identity);
  DriveKey(const DriveKey& other) = default;
  DriveKey& operator=(const DriveKey& other) = default;
  ~DriveKey();

  // The identity as an age file to passphrase (what `age -d` opens with
  // it); nullopt when OpenSSL fails.
  std::optional<std::string> Seal(std::string_view passphrase,
                                  int log2_work_factor = kWorkFactor) const;
  // key is set only when kOpened.
  static Unsealed Unseal(std::string_view sealed, std::string_view passphrase,
                         std::optional<DriveKey>& key);

  const AgeIdentity& identity() const { return identity_; }

  // object sealed under the header key with a fresh nonce, in unpadded
  // base64 on one line; nullopt when OpenSSL fails.
  std::optional<std::string> SealObject(std::string_view object) const;
  // False when text was not sealed with this key or was altered.
  bool OpenObject(std::string_view text, std::string& object) const;
  // Names part `part` of file `file_id` (hex HMAC under the binding key):
  // carried inside a part's age header, which its MAC covers.
  std::string BindingTag(int64_t file_id, int part) const;
  // A name that tells nothing (16 random hex digits), new at each call.
  static std::string OpaqueName();

 private:
  explicit DriveKey(const AgeIdentity& identity) : identity_(identity) {}
  bool Derive();

  AgeIdentity identity_;
  AgeIdentity::Key object_key_{};
  AgeIdentity::Key binding_key_{};
};
