// libFuzzer target: MailParser::Parse over arbitrary text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "message/MailParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  MailParser parser;
  parser.Parse(text);
  // Decoded bytes can never outgrow the text they came from.
  size_t total = 0;
  for (const auto& [name, content] : parser.attachments) total += name.size() + content.size();
  for (const auto& [name, value] : parser.headers) total += name.size() + value.size();
  if (total > 4 * size + 64) __builtin_trap();
  return 0;
}
