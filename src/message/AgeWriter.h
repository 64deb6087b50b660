#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "message/AgeIdentity.h"

// Thread contract: a plain value; no shared state.
// One recipient stanza of an age header: "-> type args…" and its body.
struct AgeStanza {
  std::string type;
  std::vector<std::string> args;  // after the type
  std::string body;               // raw bytes, base64 only in the header
};

// Thread contract: one thread at a time; no shared state.
// Encrypts to the age v1 file format as a stream: Begin… emits the header and
// payload nonce, Write emits each finished 64 KiB chunk, Finish the last one.
// At most one chunk of plaintext is held at a time.
class AgeWriter {
 public:
  // Takes bytes in order; false stops the writer.
  using Sink = std::function<bool(const char* data, size_t size)>;
  using FileKey = std::array<unsigned char, 16>;
  using Key = AgeIdentity::Key;
  using ChunkNonce = std::array<unsigned char, 12>;

  static constexpr size_t kChunkSize = 64 * 1024;
  static constexpr size_t kTagSize = 16;
  static constexpr size_t kNonceSize = 16;
  static constexpr int kDefaultWorkFactor = 18;
  static constexpr int kLargestWorkFactor = 30;
  static constexpr std::string_view kVersionLine = "age-encryption.org/v1";
  static constexpr std::string_view kX25519Type = "X25519";
  static constexpr std::string_view kScryptType = "scrypt";

  // Appends to out, which must outlive the writer.
  static Sink StringSink(std::string& out);
  // Writes all of each piece to fd, which the caller owns.
  static Sink FdSink(int fd);

  explicit AgeWriter(Sink sink);
  ~AgeWriter();
  AgeWriter(const AgeWriter&) = delete;
  AgeWriter& operator=(const AgeWriter&) = delete;

  // A caller-defined stanza after the recipient's, covered by the header MAC.
  // Only before Begin…; false when the type or an argument is not 1+
  // printable ASCII characters without spaces, or the type is a native one.
  bool AddStanza(AgeStanza stanza);

  // Emit the header to one X25519 recipient ("age1…" or its key) or to a
  // passphrase (2^log2_work_factor scrypt rounds; extra stanzas refused, as
  // the scrypt stanza must be alone). False with error() on any failure.
  bool BeginToRecipient(std::string_view recipient);
  bool BeginToKey(const Key& public_key);
  bool BeginWithPassphrase(std::string_view passphrase, int log2_work_factor = kDefaultWorkFactor);
  // Only between Begin… and Finish.
  bool Write(std::string_view plaintext);
  // Seals the final chunk, empty when nothing was written.
  bool Finish();
  const std::string& error() const { return error_; }

  // The whole file for plaintext; nullopt when the recipient is invalid.
  static std::optional<std::string> EncryptToString(std::string_view plaintext,
                                                    std::string_view recipient,
                                                    const std::vector<AgeStanza>& extra = {});

  // The key schedule and encodings, shared with AgeReader.
  static bool Hkdf(std::string_view ikm, std::string_view salt, std::string_view info, Key& out);
  static bool ScryptKey(std::string_view passphrase, std::string_view salt, int log2_work_factor,
                        Key& out);
  static bool HeaderMac(const FileKey& file_key, std::string_view header_through_dashes, Key& mac);
  static bool PayloadKey(const FileKey& file_key, std::string_view nonce, Key& out);
  static bool X25519WrapKey(const Key& shared, const Key& share, const Key& recipient, Key& out);
  static ChunkNonce NonceFor(uint64_t counter, bool last);
  static std::string Base64(std::string_view bytes);  // unpadded
  static bool IsArgument(std::string_view text);      // 1*VCHAR

 private:
  enum class State { kIdle, kWriting, kFinished, kFailed };

  bool Fail(const std::string& message);
  bool BeginWith(AgeStanza recipient_stanza);
  bool SealChunk(bool last);

  Sink sink_;
  State state_ = State::kIdle;
  std::vector<AgeStanza> extra_;
  FileKey file_key_{};
  Key payload_key_{};
  std::string buffer_;
  uint64_t counter_ = 0;
  std::string error_;
};
