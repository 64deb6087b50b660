#include "message/AgeReader.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <memory>

#include "message/ChaChaPoly.h"

namespace {

constexpr size_t kBase64Columns = 64;
constexpr size_t kMacSize = 32;
constexpr size_t kWrappedKeySize = sizeof(AgeWriter::FileKey) + AgeWriter::kTagSize;
constexpr size_t kScryptSaltSize = 16;
// Longer decimals are far above any usable work factor.
constexpr size_t kWorkFactorDigits = 2;
constexpr std::string_view kStanzaMark = "-> ";
constexpr std::string_view kMacMark = "--- ";

// The line starting at pos, without its LF; false when no LF ends it.
bool NextLine(std::string_view text, size_t& pos, std::string_view& line) {
  size_t end = text.find('\n', pos);
  if (end == std::string_view::npos) return false;
  line = text.substr(pos, end - pos);
  pos = end + 1;
  return true;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool IsBase64Line(std::string_view line) {
  return std::all_of(line.begin(), line.end(), [](char c) { return Base64Value(c) >= 0; });
}

// Unpadded base64, refusing non-canonical text: a lone final character, or
// set bits left over after the last whole byte.
bool DecodeBase64(std::string_view text, std::string& out) {
  if (text.size() % 4 == 1) return false;
  out.clear();
  uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    int v = Base64Value(c);
    if (v < 0) return false;
    acc = ((acc << 6) | static_cast<uint32_t>(v)) & 0xffffff;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xff);
    }
  }
  return (acc & ((1u << bits) - 1)) == 0;
}

bool DecodeFixed(std::string_view text, size_t size, std::string& out) {
  return DecodeBase64(text, out) && out.size() == size;
}

bool ParseArguments(std::string_view line, AgeStanza& stanza) {
  std::vector<std::string> words;
  for (size_t start = 0;;) {
    size_t space = line.find(' ', start);
    std::string_view word = line.substr(start, space - start);
    if (!AgeWriter::IsArgument(word)) return false;
    words.emplace_back(word);
    if (space == std::string_view::npos) break;
    start = space + 1;
  }
  stanza.type = words.front();
  stanza.args.assign(words.begin() + 1, words.end());
  return true;
}

// plain is written only when the tag matches.
bool Open(const AgeWriter::Key& key, const AgeWriter::ChunkNonce& nonce, std::string_view sealed,
          std::string& plain) {
  return ChaChaPoly::Open(key, nonce, {}, sealed, plain);
}

// Unwraps a 16-byte file key with a stanza's wrap key.
bool OpenFileKey(const AgeWriter::Key& wrap, const std::string& body, AgeWriter::FileKey& key) {
  std::string plain;
  bool ok = Open(wrap, AgeWriter::NonceFor(0, false), body, plain) && plain.size() == key.size();
  if (ok) std::copy(plain.begin(), plain.end(), key.begin());
  OPENSSL_cleanse(plain.data(), plain.size());
  return ok;
}

AgeResult Error(AgeError error, std::string message) { return {error, std::move(message)}; }

bool HasScrypt(const std::vector<AgeStanza>& stanzas) {
  return std::any_of(stanzas.begin(), stanzas.end(),
                     [](const AgeStanza& s) { return s.type == AgeWriter::kScryptType; });
}

}  // namespace

AgeReader::~AgeReader() { OPENSSL_cleanse(payload_key_.data(), payload_key_.size()); }

AgeResult AgeReader::Fail(AgeError error, const std::string& message) {
  state_ = State::kFailed;
  return Error(error, message);
}

AgeResult AgeReader::ParseHeader(std::string_view file_start) {
  if (state_ != State::kEmpty) return Error(AgeError::kOutOfOrder, "header already parsed");
  std::string version = std::string(AgeWriter::kVersionLine) + "\n";
  size_t seen = std::min(file_start.size(), version.size());
  if (file_start.substr(0, seen) != std::string_view(version).substr(0, seen)) {
    return Fail(AgeError::kMalformedHeader, "not an age v1 file");
  }
  if (seen < version.size()) return Error(AgeError::kTruncated, "header incomplete");
  size_t pos = version.size();
  AgeResult result = ParseStanzas(file_start, pos);
  if (!result.ok()) return result;
  if (file_start.size() < pos + AgeWriter::kNonceSize) {
    stanzas_.clear();
    return Error(AgeError::kTruncated, "payload nonce incomplete");
  }
  header_size_ = pos;
  nonce_ = std::string(file_start.substr(pos, AgeWriter::kNonceSize));
  state_ = State::kParsed;
  return {};
}

// Stanzas and the MAC line, from pos to just past the header.
AgeResult AgeReader::ParseStanzas(std::string_view text, size_t& pos) {
  stanzas_.clear();
  std::string_view line;
  for (;;) {
    size_t line_start = pos;
    if (!NextLine(text, pos, line)) return Error(AgeError::kTruncated, "header incomplete");
    if (line.substr(0, kMacMark.size()) == kMacMark) {
      if (stanzas_.empty()) return Fail(AgeError::kMalformedHeader, "header without stanzas");
      if (!DecodeFixed(line.substr(kMacMark.size()), kMacSize, mac_)) {
        return Fail(AgeError::kMalformedHeader, "bad header MAC encoding");
      }
      mac_input_ = std::string(text.substr(0, line_start + kMacMark.size() - 1));
      return {};
    }
    AgeStanza stanza;
    if (line.substr(0, kStanzaMark.size()) != kStanzaMark ||
        !ParseArguments(line.substr(kStanzaMark.size()), stanza)) {
      return Fail(AgeError::kMalformedHeader, "bad stanza line");
    }
    std::string body;
    do {
      if (!NextLine(text, pos, line)) return Error(AgeError::kTruncated, "header incomplete");
      if (line.size() > kBase64Columns || !IsBase64Line(line)) {
        return Fail(AgeError::kMalformedHeader, "bad stanza body line");
      }
      body.append(line);
    } while (line.size() == kBase64Columns);
    if (!DecodeBase64(body, stanza.body)) {
      return Fail(AgeError::kMalformedHeader, "non-canonical stanza body");
    }
    stanzas_.push_back(std::move(stanza));
  }
}

std::vector<AgeStanza> AgeReader::ExtraStanzas() const {
  std::vector<AgeStanza> extra;
  for (const AgeStanza& s : stanzas_) {
    if (s.type != AgeWriter::kX25519Type && s.type != AgeWriter::kScryptType) extra.push_back(s);
  }
  return extra;
}

AgeResult AgeReader::Unlock(const AgeIdentity& identity) {
  if (state_ != State::kParsed) return Error(AgeError::kOutOfOrder, "unlock needs a parsed header");
  if (HasScrypt(stanzas_)) {
    if (stanzas_.size() != 1) return Fail(AgeError::kMalformedHeader, "scrypt stanza not alone");
    return Error(AgeError::kNoMatchingStanza, "the file is passphrase-encrypted");
  }
  for (const AgeStanza& s : stanzas_) {
    if (s.type != AgeWriter::kX25519Type) continue;
    std::string share_bytes;
    if (s.args.size() != 1 || !DecodeFixed(s.args[0], sizeof(AgeWriter::Key), share_bytes) ||
        s.body.size() != kWrappedKeySize) {
      return Fail(AgeError::kMalformedHeader, "bad X25519 stanza");
    }
    AgeWriter::Key share;
    std::copy(share_bytes.begin(), share_bytes.end(), share.begin());
    AgeWriter::Key shared;
    AgeWriter::Key wrap;
    if (!identity.Agree(share, shared)) {
      return Fail(AgeError::kMalformedHeader, "X25519 share of low order");
    }
    bool derived = AgeWriter::X25519WrapKey(shared, share, identity.public_key(), wrap);
    AgeWriter::FileKey file_key;
    bool opened = derived && OpenFileKey(wrap, s.body, file_key);
    OPENSSL_cleanse(shared.data(), shared.size());
    OPENSSL_cleanse(wrap.data(), wrap.size());
    if (!derived) return Fail(AgeError::kCryptoFailure, "HKDF failed");
    if (opened) return Accept(file_key);
  }
  return Error(AgeError::kNoMatchingStanza, "no stanza for this identity");
}

AgeResult AgeReader::Unlock(std::string_view passphrase, int max_work_factor) {
  if (state_ != State::kParsed) return Error(AgeError::kOutOfOrder, "unlock needs a parsed header");
  if (!HasScrypt(stanzas_)) return Error(AgeError::kNoMatchingStanza, "no passphrase stanza");
  const AgeStanza& s = stanzas_.front();
  if (stanzas_.size() != 1) return Fail(AgeError::kMalformedHeader, "scrypt stanza not alone");
  std::string salt;
  bool decimal =
      s.args.size() == 2 && !s.args[1].empty() && s.args[1][0] != '0' &&
      std::all_of(s.args[1].begin(), s.args[1].end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!decimal || !DecodeFixed(s.args[0], kScryptSaltSize, salt) ||
      s.body.size() != kWrappedKeySize) {
    return Fail(AgeError::kMalformedHeader, "bad scrypt stanza");
  }
  if (s.args[1].size() > kWorkFactorDigits || std::stoi(s.args[1]) > max_work_factor) {
    return Fail(AgeError::kWorkFactorTooHigh, "scrypt work factor " + s.args[1] + " too high");
  }
  AgeWriter::Key wrap;
  if (!AgeWriter::ScryptKey(passphrase, salt, std::stoi(s.args[1]), wrap)) {
    return Fail(AgeError::kCryptoFailure, "scrypt failed");
  }
  AgeWriter::FileKey file_key;
  bool opened = OpenFileKey(wrap, s.body, file_key);
  OPENSSL_cleanse(wrap.data(), wrap.size());
  if (!opened) return Error(AgeError::kNoMatchingStanza, "wrong passphrase");
  return Accept(file_key);
}

AgeResult AgeReader::Accept(AgeWriter::FileKey& file_key) {
  AgeWriter::Key mac;
  bool ok = AgeWriter::HeaderMac(file_key, mac_input_, mac);
  bool same = ok && CRYPTO_memcmp(mac.data(), mac_.data(), kMacSize) == 0;
  ok = same && AgeWriter::PayloadKey(file_key, nonce_, payload_key_);
  OPENSSL_cleanse(file_key.data(), file_key.size());
  if (!same) return Fail(AgeError::kBadHeaderMac, "header MAC mismatch");
  if (!ok) return Fail(AgeError::kCryptoFailure, "HKDF failed");
  key_ready_ = true;
  state_ = State::kUnlocked;
  return {};
}

// Opens chunk index as final or not; when that fails, the other reading
// tells a cut-off or over-long file from a damaged one.
AgeResult AgeReader::OpenChunk(uint64_t index, std::string_view sealed, bool last,
                               std::string& plain) const {
  if (sealed.size() < AgeWriter::kTagSize) return Error(AgeError::kTruncated, "chunk cut short");
  if (Open(payload_key_, AgeWriter::NonceFor(index, last), sealed, plain)) {
    if (last && index > 0 && plain.empty()) return Error(AgeError::kBadChunk, "empty final chunk");
    return {};
  }
  std::string other;
  bool full = sealed.size() == kSealedChunkSize;
  if ((!last || full) && Open(payload_key_, AgeWriter::NonceFor(index, !last), sealed, other)) {
    if (last) return Error(AgeError::kTruncated, "payload ends before its final chunk");
    return Error(AgeError::kTrailingData, "data after the final chunk");
  }
  return Error(AgeError::kBadChunk, "chunk " + std::to_string(index) + " does not authenticate");
}

AgeResult AgeReader::Write(std::string_view ciphertext, const AgeWriter::Sink& sink) {
  if (state_ != State::kUnlocked) return Error(AgeError::kOutOfOrder, "reader not unlocked");
  // A whole chunk is held back until more input follows: only the end of
  // input says it is the final one.
  while (!ciphertext.empty()) {
    AgeResult result;
    if (buffer_.size() == kSealedChunkSize) {
      result = PassChunk(buffer_, sink);
      buffer_.clear();
    } else if (buffer_.empty() && ciphertext.size() > kSealedChunkSize) {
      result = PassChunk(ciphertext.substr(0, kSealedChunkSize), sink);
      ciphertext.remove_prefix(kSealedChunkSize);
    } else {
      size_t take = std::min(kSealedChunkSize - buffer_.size(), ciphertext.size());
      buffer_.append(ciphertext.substr(0, take));
      ciphertext.remove_prefix(take);
    }
    if (!result.ok()) return result;
  }
  return {};
}

AgeResult AgeReader::PassChunk(std::string_view sealed, const AgeWriter::Sink& sink) {
  AgeResult result = OpenChunk(counter_, sealed, false, chunk_);
  if (!result.ok()) return Fail(result.error, result.message);
  if (!sink(chunk_.data(), chunk_.size())) return Fail(AgeError::kSinkFailed, "sink refused");
  ++counter_;
  return {};
}

AgeResult AgeReader::Finish(const AgeWriter::Sink& sink) {
  if (state_ != State::kUnlocked) return Error(AgeError::kOutOfOrder, "reader not unlocked");
  std::string plain;
  AgeResult result = OpenChunk(counter_, buffer_, true, plain);
  buffer_.clear();
  if (!result.ok()) return Fail(result.error, result.message);
  if (!sink(plain.data(), plain.size())) return Fail(AgeError::kSinkFailed, "sink refused");
  state_ = State::kDone;
  return {};
}

AgeResult AgeReader::LayoutFor(uint64_t file_size, Layout& layout) const {
  if (!key_ready_) return Error(AgeError::kOutOfOrder, "reader not unlocked");
  if (file_size < payload_offset() + AgeWriter::kTagSize) {
    return Error(AgeError::kTruncated, "payload ends before its final chunk");
  }
  uint64_t payload = file_size - payload_offset();
  layout.chunks = (payload + kSealedChunkSize - 1) / kSealedChunkSize;
  uint64_t last = payload - (layout.chunks - 1) * kSealedChunkSize;
  if (last < AgeWriter::kTagSize) return Error(AgeError::kTruncated, "chunk cut short");
  if (last == AgeWriter::kTagSize && layout.chunks > 1) {
    return Error(AgeError::kBadChunk, "empty final chunk");
  }
  layout.plaintext_size = payload - layout.chunks * AgeWriter::kTagSize;
  return {};
}

AgeResult AgeReader::PlaintextSize(uint64_t file_size, uint64_t& size) const {
  Layout layout;
  AgeResult result = LayoutFor(file_size, layout);
  if (result.ok()) size = layout.plaintext_size;
  return result;
}

AgeResult AgeReader::CiphertextRange(uint64_t file_size, uint64_t offset, uint64_t length,
                                     AgeRange& range) const {
  Layout layout;
  AgeResult result = LayoutFor(file_size, layout);
  if (!result.ok()) return result;
  if (offset > layout.plaintext_size) return Error(AgeError::kBadRange, "offset past the end");
  length = std::min(length, layout.plaintext_size - offset);
  if (length == 0) {
    range = {payload_offset(), 0};
    return {};
  }
  uint64_t first = offset / AgeWriter::kChunkSize;
  uint64_t end_chunk = (offset + length - 1) / AgeWriter::kChunkSize + 1;
  range.offset = payload_offset() + first * kSealedChunkSize;
  range.length =
      std::min(payload_offset() + end_chunk * kSealedChunkSize, file_size) - range.offset;
  return {};
}

AgeResult AgeReader::DecryptRange(uint64_t file_size, uint64_t offset, uint64_t length,
                                  std::string_view ciphertext, std::string& out) const {
  out.clear();
  AgeRange range;
  Layout layout;
  AgeResult result = CiphertextRange(file_size, offset, length, range);
  if (result.ok()) result = LayoutFor(file_size, layout);
  if (!result.ok()) return result;
  if (ciphertext.size() != range.length) return Error(AgeError::kBadRange, "wrong ciphertext size");
  if (range.length == 0) return {};
  uint64_t first = (range.offset - payload_offset()) / kSealedChunkSize;
  std::string whole;
  std::string plain;
  for (size_t at = 0; at < ciphertext.size(); at += kSealedChunkSize) {
    uint64_t index = first + at / kSealedChunkSize;
    result = OpenChunk(index, ciphertext.substr(at, kSealedChunkSize), index + 1 == layout.chunks,
                       plain);
    if (!result.ok()) return result;
    whole += plain;
  }
  length = std::min(length, layout.plaintext_size - offset);
  out = whole.substr(offset - first * AgeWriter::kChunkSize, length);
  return {};
}

AgeResult AgeReader::DecryptString(std::string_view file, const AgeIdentity& identity,
                                   std::string& out) {
  out.clear();
  AgeReader reader;
  AgeResult result = reader.ParseHeader(file);
  if (result.ok()) result = reader.Unlock(identity);
  AgeWriter::Sink sink = AgeWriter::StringSink(out);
  if (result.ok()) result = reader.Write(file.substr(reader.payload_offset()), sink);
  if (result.ok()) result = reader.Finish(sink);
  if (!result.ok()) out.clear();
  return result;
}
