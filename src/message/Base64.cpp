#include "message/Base64.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#define TANDREL_BASE64_SIMD 1
#endif

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kLineChars = 72;
constexpr size_t kLineBytes = kLineChars / 4 * 3;

// Two output characters per 12 input bits: half the table look-ups.
constexpr std::array<char, 8192> MakePairs() {
  std::array<char, 8192> pairs{};
  for (int i = 0; i < 4096; ++i) {
    pairs[2 * i] = kAlphabet[i >> 6];
    pairs[2 * i + 1] = kAlphabet[i & 63];
  }
  return pairs;
}
constexpr std::array<char, 8192> kPairs = MakePairs();

constexpr uint8_t kSkip = 0x40;
constexpr uint8_t kPad = 0x80;

constexpr std::array<uint8_t, 256> MakeValues() {
  std::array<uint8_t, 256> values{};
  for (auto& v : values) v = kSkip;
  for (int i = 0; i < 64; ++i)
    values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<uint8_t>(i);
  values['='] = kPad;
  return values;
}
constexpr std::array<uint8_t, 256> kValues = MakeValues();

inline char* EncodeGroup(const unsigned char* in, char* out) {
  uint32_t v = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
  std::memcpy(out, &kPairs[2 * (v >> 12)], 2);
  std::memcpy(out + 2, &kPairs[2 * (v & 0xfff)], 2);
  return out + 4;
}

#if TANDREL_BASE64_SIMD
// 12 bytes to 16 characters per step (pshufb, SSSE3); the shuffle reads 16
// input bytes, so callers keep 4 more bytes readable.
// With kSkip4 the 12 bytes are the last of the 16 loaded instead.
template <int kSkip4>
__attribute__((target("ssse3"))) inline void EncodeBlock12(const unsigned char* in, char* out) {
  constexpr char k = 4 * kSkip4;
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  v = _mm_shuffle_epi8(v, _mm_set_epi8(k + 10, k + 11, k + 9, k + 10, k + 7, k + 8, k + 6, k + 7,
                                       k + 4, k + 5, k + 3, k + 4, k + 1, k + 2, k + 0, k + 1));
  const __m128i t0 = _mm_and_si128(v, _mm_set1_epi32(0x0fc0fc00));
  const __m128i t1 = _mm_mulhi_epu16(t0, _mm_set1_epi32(0x04000040));
  const __m128i t2 = _mm_and_si128(v, _mm_set1_epi32(0x003f03f0));
  const __m128i t3 = _mm_mullo_epi16(t2, _mm_set1_epi32(0x01000010));
  const __m128i idx = _mm_or_si128(t1, t3);
  // Sextet to character: one offset per range, picked by pshufb.
  __m128i r = _mm_subs_epu8(idx, _mm_set1_epi8(51));
  const __m128i less = _mm_cmpgt_epi8(_mm_set1_epi8(26), idx);
  r = _mm_or_si128(r, _mm_and_si128(less, _mm_set1_epi8(13)));
  const __m128i offsets =
      _mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                    '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
  r = _mm_add_epi8(_mm_shuffle_epi8(offsets, r), idx);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), r);
}

// One 54-byte line in five SIMD steps, reading only the line's bytes.
__attribute__((target("ssse3"))) char* EncodeLineSimd(const unsigned char* in, char* out) {
  for (int k = 0; k < 4; ++k) EncodeBlock12<0>(in + 12 * k, out + 16 * k);
  // Bytes 42..53, loaded from 38 so nothing past the line is read; its first
  // 8 characters repeat what the block before wrote.
  EncodeBlock12<1>(in + 38, out + 56);
  return out + 72;
}

// 16 characters to 12 bytes when all 16 are in the alphabet; false (and
// nothing written) otherwise. Writes 16 bytes at out.
__attribute__((target("ssse3"))) inline bool DecodeBlock16(const char* in, char* out) {
  const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  const __m128i upper = _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8('A' - 1)),
                                      _mm_cmpgt_epi8(_mm_set1_epi8('Z' + 1), c));
  const __m128i lower = _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8('a' - 1)),
                                      _mm_cmpgt_epi8(_mm_set1_epi8('z' + 1), c));
  const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8('0' - 1)),
                                      _mm_cmpgt_epi8(_mm_set1_epi8('9' + 1), c));
  const __m128i plus = _mm_cmpeq_epi8(c, _mm_set1_epi8('+'));
  const __m128i slash = _mm_cmpeq_epi8(c, _mm_set1_epi8('/'));
  const __m128i valid =
      _mm_or_si128(_mm_or_si128(upper, lower), _mm_or_si128(digit, _mm_or_si128(plus, slash)));
  if (_mm_movemask_epi8(valid) != 0xffff) return false;
  __m128i shift = _mm_and_si128(upper, _mm_set1_epi8(-65));
  shift = _mm_or_si128(shift, _mm_and_si128(lower, _mm_set1_epi8(-71)));
  shift = _mm_or_si128(shift, _mm_and_si128(digit, _mm_set1_epi8(4)));
  shift = _mm_or_si128(shift, _mm_and_si128(plus, _mm_set1_epi8(62 - '+')));
  shift = _mm_or_si128(shift, _mm_and_si128(slash, _mm_set1_epi8(63 - '/')));
  const __m128i sextets = _mm_add_epi8(c, shift);
  const __m128i pairs = _mm_maddubs_epi16(sextets, _mm_set1_epi32(0x01400140));
  const __m128i words = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
  const __m128i bytes = _mm_shuffle_epi8(
      words, _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
  return true;
}

// Zero (the scalar path) until initialised, should another file's static
// initialiser get here first.
const bool kHaveSsse3 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("ssse3") != 0;
}();
#else
constexpr bool kHaveSsse3 = false;
#endif

// Encodes n bytes without line breaks, padding the last group.
char* EncodeRun(const unsigned char* in, size_t n, char* out) {
  size_t groups = n / 3;
  for (size_t g = 0; g < groups; ++g, in += 3) out = EncodeGroup(in, out);
  size_t rest = n % 3;
  if (rest == 1) {
    out[0] = kAlphabet[in[0] >> 2];
    out[1] = kAlphabet[(in[0] & 3) << 4];
    out[2] = '=';
    out[3] = '=';
    out += 4;
  } else if (rest == 2) {
    out[0] = kAlphabet[in[0] >> 2];
    out[1] = kAlphabet[((in[0] & 3) << 4) | (in[1] >> 4)];
    out[2] = kAlphabet[(in[1] & 15) << 2];
    out[3] = '=';
    out += 4;
  }
  return out;
}

}  // namespace

std::string Base64Encode(const std::string& data) {
  std::string out((data.size() + 2) / 3 * 4, '\0');
  EncodeRun(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out.data());
  return out;
}

std::string FoldLines(const std::string& text, bool continuation) {
  std::string out;
  out.reserve(text.size() + text.size() / kLineChars * 3);
  for (size_t pos = 0; pos < text.size(); pos += kLineChars) {
    size_t take = std::min(kLineChars, text.size() - pos);
    out.append(text, pos, take);
    if (take < kLineChars) break;
    out += "\r\n";
    if (continuation && pos + take < text.size()) out += '\t';
  }
  if (continuation && out.size() >= 2 && out.compare(out.size() - 2, 2, "\r\n") == 0) {
    out.resize(out.size() - 2);
  }
  return out;
}

size_t Base64FoldedSize(size_t n) {
  size_t chars = (n + 2) / 3 * 4;
  return chars + chars / kLineChars * 2;
}

size_t Base64EncodeFolded(const unsigned char* data, size_t n, char* out) {
  char* start = out;
  size_t lines = n / kLineBytes;
  for (size_t l = 0; l < lines; ++l, data += kLineBytes) {
#if TANDREL_BASE64_SIMD
    if (kHaveSsse3) {
      out = EncodeLineSimd(data, out);
    } else
#endif
    {
      for (size_t g = 0; g < kLineBytes; g += 3) out = EncodeGroup(data + g, out);
    }
    out[0] = '\r';
    out[1] = '\n';
    out += 2;
  }
  char* tail = out;
  out = EncodeRun(data, n % kLineBytes, out);
  // 52 or 53 bytes pad out to a full line, which FoldLines also ends.
  if (static_cast<size_t>(out - tail) == kLineChars) {
    out[0] = '\r';
    out[1] = '\n';
    out += 2;
  }
  return static_cast<size_t>(out - start);
}

size_t Base64DecodeInto(const char* text, size_t n, char* out) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  char* o = out;
  size_t i = 0;
  uint32_t acc = 0;
  int have = 0;
  for (;;) {
    if (have == 0) {
#if TANDREL_BASE64_SIMD
      // 16 characters a step; the 16-byte store stays inside the bound the
      // caller provides while 20 characters remain.
      if (kHaveSsse3) {
        while (i + 20 <= n && DecodeBlock16(text + i, o)) {
          i += 16;
          o += 12;
        }
      }
#endif
      // Whole groups of four alphabet characters, the common case.
      while (i + 4 <= n) {
        uint32_t a = kValues[s[i]], b = kValues[s[i + 1]], c = kValues[s[i + 2]],
                 d = kValues[s[i + 3]];
        if ((a | b | c | d) & (kSkip | kPad)) break;
        uint32_t v = (a << 18) | (b << 12) | (c << 6) | d;
        o[0] = static_cast<char>(v >> 16);
        o[1] = static_cast<char>(v >> 8);
        o[2] = static_cast<char>(v);
        o += 3;
        i += 4;
      }
    }
    if (i >= n) break;
    uint8_t v = kValues[s[i++]];
    if (v == kPad) break;
    if (v == kSkip) continue;
    acc = (acc << 6) | v;
    if (++have == 4) {
      o[0] = static_cast<char>(acc >> 16);
      o[1] = static_cast<char>(acc >> 8);
      o[2] = static_cast<char>(acc);
      o += 3;
      acc = 0;
      have = 0;
    }
  }
  if (have == 2) {
    *o++ = static_cast<char>(acc >> 4);
  } else if (have == 3) {
    *o++ = static_cast<char>(acc >> 10);
    *o++ = static_cast<char>(acc >> 2);
  }
  return static_cast<size_t>(o - out);
}

namespace {

// Exactly n alphabet characters (n a multiple of 4) to n / 4 * 3 bytes; false
// at any other character, with out partly written.
bool DecodeWholeGroups(const char* text, size_t n, char* out) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
#if TANDREL_BASE64_SIMD
  if (kHaveSsse3) {
    // As in Base64DecodeInto: the 16-byte store needs 20 characters left.
    for (; i + 20 <= n; i += 16, out += 12) {
      if (!DecodeBlock16(text + i, out)) return false;
    }
  }
#endif
  for (; i + 4 <= n; i += 4, out += 3) {
    uint32_t a = kValues[s[i]], b = kValues[s[i + 1]], c = kValues[s[i + 2]], d = kValues[s[i + 3]];
    if ((a | b | c | d) & (kSkip | kPad)) return false;
    uint32_t v = (a << 18) | (b << 12) | (c << 6) | d;
    out[0] = static_cast<char>(v >> 16);
    out[1] = static_cast<char>(v >> 8);
    out[2] = static_cast<char>(v);
  }
  return true;
}

}  // namespace

size_t Base64DecodeLines(const char* text, size_t n, char* out, size_t& consumed) {
  consumed = 0;
  const void* cr = std::memchr(text, '\r', std::min<size_t>(n, 1024));
  if (cr == nullptr) return 0;
  const size_t line = static_cast<size_t>(static_cast<const char*>(cr) - text);
  if (line == 0 || line % 4 != 0) return 0;
  size_t pos = 0, written = 0;
  while (pos + line + 2 <= n && text[pos + line] == '\r' && text[pos + line + 1] == '\n' &&
         DecodeWholeGroups(text + pos, line, out + written)) {
    pos += line + 2;
    written += line / 4 * 3;
  }
  consumed = pos;
  return written;
}

std::string Base64Decode(const std::string& text) {
  std::string out(Base64DecodeBound(text.size()), '\0');
  out.resize(Base64DecodeInto(text.data(), text.size(), out.data()));
  return out;
}

std::string DecodeEncodedWord(const std::string& text) {
  size_t start = text.find("?B?");
  if (start == std::string::npos || start == 0) return text;
  start += 3;
  size_t end = text.find("?=", start);
  if (end == std::string::npos) return text;
  std::string decoded = Base64Decode(text.substr(start, end - start));
  return decoded.empty() ? text : decoded;
}
