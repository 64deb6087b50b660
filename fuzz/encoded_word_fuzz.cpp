// libFuzzer target: DecodeEncodedWord and Base64Decode, then both code page
// directions over the result.
#include <cstddef>
#include <cstdint>
#include <string>

#include "message/Base64.h"
#include "platform/WireCodePage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string word = DecodeEncodedWord(text);
  if (word.size() > size) __builtin_trap();
  std::string bytes = Base64Decode(text);
  if (bytes.size() > size / 4 * 3 + 2) __builtin_trap();
  // Round trip: any bytes survive base64.
  if (Base64Decode(FoldLines(Base64Encode(text), true)) != text) __builtin_trap();
  std::string utf8 = WireCodePage::ToUtf8(word);
  std::string wire = WireCodePage::FromUtf8(text);
  (void)utf8;
  (void)wire;
  return 0;
}
