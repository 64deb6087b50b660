// libFuzzer target: DecodeEncodedWord and the base64 helpers, then both code
// page directions.
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
  // The writer's one-pass encoder equals encoding, then folding.
  std::string folded(Base64FoldedSize(size), '\0');
  folded.resize(Base64EncodeFolded(data, size, folded.data()));
  if (folded != FoldLines(Base64Encode(text), false)) __builtin_trap();
  std::string utf8 = WireCodePage::ToUtf8(word);
  std::string wire = WireCodePage::FromUtf8(text);
  (void)utf8;
  (void)wire;
  return 0;
}
