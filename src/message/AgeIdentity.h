#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

// Thread contract: an immutable value after construction; const methods may
// run on any number of threads at once.
// An X25519 key pair of the age file format: the secret as age-keygen writes
// it ("AGE-SECRET-KEY-1…") and the recipient others encrypt to ("age1…").
class AgeIdentity {
 public:
  using Key = std::array<unsigned char, 32>;

  // A fresh key pair; nullopt only when the system random source fails.
  static std::optional<AgeIdentity> Generate();
  // The one secret-key line of an identity file: blank lines and lines
  // starting with '#' are skipped, whitespace around lines ignored. Nullopt
  // when there is not exactly one key line, or it is not a valid key.
  static std::optional<AgeIdentity> Parse(std::string_view text);
  // The public key of an "age1…" string, nullopt when it is not one.
  static std::optional<Key> ParseRecipient(std::string_view text);
  // The "age1…" string of a public key.
  static std::string RecipientOf(const Key& public_key);

  AgeIdentity(const AgeIdentity& other) = default;
  AgeIdentity& operator=(const AgeIdentity& other) = default;
  ~AgeIdentity();

  // "AGE-SECRET-KEY-1…", upper case, no line end.
  std::string ToString() const;
  std::string Recipient() const { return RecipientOf(public_key_); }
  const Key& public_key() const { return public_key_; }

  // X25519(secret, peer) into shared; false when the peer is not a usable
  // point (the result would be all zero) or OpenSSL fails.
  bool Agree(const Key& peer, Key& shared) const;
  // A key of its own for label (HKDF-SHA-256 of the secret), for what a
  // holder of this identity seals or tags outside age files.
  bool Derive(std::string_view label, Key& out) const;

 private:
  AgeIdentity() = default;
  static std::optional<AgeIdentity> FromSecret(const Key& secret);

  Key secret_{};
  Key public_key_{};
};
