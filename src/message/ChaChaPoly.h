#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

// ChaCha20-Poly1305 (RFC 8439) through OpenSSL, the one AEAD of the age
// format and of the drive key's sealed header objects.
// Thread contract: stateless; any thread.
class ChaChaPoly {
 public:
  using Key = std::array<unsigned char, 32>;
  using Nonce = std::array<unsigned char, 12>;
  static constexpr size_t kTagSize = 16;

  // The ciphertext of plain and its tag, appended to out (left as it was
  // on failure).
  static bool Seal(const Key& key, const Nonce& nonce, std::string_view aad, std::string_view plain,
                   std::string& out);
  // plain gets the plaintext when the tag matches, and is emptied when it
  // does not; its memory is reused, so a caller opening chunk after chunk
  // into one string allocates once.
  static bool Open(const Key& key, const Nonce& nonce, std::string_view aad,
                   std::string_view sealed, std::string& plain);
};
