#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "message/AgeIdentity.h"
#include "message/AgeWriter.h"

// Why a reader call failed.
enum class AgeError {
  kNone,
  kMalformedHeader,    // grammar, or a native stanza that breaks its rules
  kNoMatchingStanza,   // no stanza for this identity, or a wrong passphrase
  kBadHeaderMac,       // the header was altered
  kWorkFactorTooHigh,  // scrypt work factor above the caller's limit
  kBadChunk,           // a payload chunk does not authenticate
  kTruncated,          // input ends before the header, nonce or final chunk
  kTrailingData,       // bytes after the final chunk
  kBadRange,           // a range outside the plaintext, or wrong bytes given
  kOutOfOrder,         // a call not allowed in the reader's present state
  kSinkFailed,         // the sink refused plaintext
  kCryptoFailure,      // OpenSSL failed (e.g. out of memory for scrypt)
};

// Thread contract: a plain value; no shared state.
// What a reader call came to: kNone, or the failure and a short message.
struct AgeResult {
  AgeError error = AgeError::kNone;
  std::string message;
  bool ok() const { return error == AgeError::kNone; }
};

// Thread contract: a plain value; no shared state.
// Bytes of the age file, counted from its start.
struct AgeRange {
  uint64_t offset = 0;
  uint64_t length = 0;
};

// Thread contract: one thread at a time for the non-const methods; once
// unlocked, the const ones may run on several threads at once, as long as no
// non-const call runs alongside.
// Reads an age v1 file: ParseHeader, then Unlock with an identity or a
// passphrase (which checks the header MAC), then either stream the payload
// through Write and Finish, or decrypt plaintext ranges at random. Plaintext
// reaches the caller only after its chunk authenticated.
class AgeReader {
 public:
  // 2^20 rounds take 1 GiB: a forged header asks no more of the machine.
  static constexpr int kDefaultMaxWorkFactor = 20;
  static constexpr size_t kSealedChunkSize = AgeWriter::kChunkSize + AgeWriter::kTagSize;

  AgeReader() = default;
  ~AgeReader();
  AgeReader(const AgeReader&) = delete;
  AgeReader& operator=(const AgeReader&) = delete;

  // file_start: the file's first bytes. kTruncated when the header and the
  // 16-byte nonce after it do not both fit in them: retry with more bytes.
  AgeResult ParseHeader(std::string_view file_start);
  // Bytes through the MAC line; the payload nonce follows.
  size_t header_size() const { return header_size_; }
  // Where the first chunk starts.
  uint64_t payload_offset() const { return header_size_ + AgeWriter::kNonceSize; }
  const std::vector<AgeStanza>& stanzas() const { return stanzas_; }
  // The stanzas of neither native type, in header order.
  std::vector<AgeStanza> ExtraStanzas() const;

  AgeResult Unlock(const AgeIdentity& identity);
  AgeResult Unlock(std::string_view passphrase, int max_work_factor = kDefaultMaxWorkFactor);

  // The payload in order, from payload_offset() on, in pieces of any size.
  AgeResult Write(std::string_view ciphertext, const AgeWriter::Sink& sink);
  // Checks that the payload ended with a valid final chunk.
  AgeResult Finish(const AgeWriter::Sink& sink);

  // The plaintext size implied by the file's size; the final chunk itself is
  // checked only when a range reaching it is decrypted.
  AgeResult PlaintextSize(uint64_t file_size, uint64_t& size) const;
  // The file bytes holding the chunks of plaintext [offset, offset + length);
  // length is cut at the plaintext's end.
  AgeResult CiphertextRange(uint64_t file_size, uint64_t offset, uint64_t length,
                            AgeRange& range) const;
  // ciphertext: exactly the bytes of CiphertextRange for the same arguments.
  AgeResult DecryptRange(uint64_t file_size, uint64_t offset, uint64_t length,
                         std::string_view ciphertext, std::string& out) const;

  // The whole file's plaintext into out (cleared on failure).
  static AgeResult DecryptString(std::string_view file, const AgeIdentity& identity,
                                 std::string& out);

 private:
  enum class State { kEmpty, kParsed, kUnlocked, kDone, kFailed };
  struct Layout {
    uint64_t chunks = 0;
    uint64_t plaintext_size = 0;
  };

  AgeResult Fail(AgeError error, const std::string& message);
  AgeResult ParseStanzas(std::string_view text, size_t& pos);
  AgeResult Accept(AgeWriter::FileKey& file_key);
  AgeResult OpenChunk(uint64_t index, std::string_view sealed, bool last, std::string& plain) const;
  AgeResult PassChunk(std::string_view sealed, const AgeWriter::Sink& sink);
  AgeResult LayoutFor(uint64_t file_size, Layout& layout) const;

  State state_ = State::kEmpty;
  bool key_ready_ = false;
  std::vector<AgeStanza> stanzas_;
  std::string mac_input_;
  std::string mac_;
  std::string nonce_;
  size_t header_size_ = 0;
  AgeWriter::Key payload_key_{};
  std::string buffer_;
  std::string chunk_;  // the last chunk opened, its memory reused
  uint64_t counter_ = 0;
};
