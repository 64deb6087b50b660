// libFuzzer target: ImapParser over any server line, literals included.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "mail/ImapParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size);
  std::vector<ImapParser::Value> tokens;
  ImapParser::Parse(line, tokens);
  ImapParser::ListEntry entry;
  ImapParser::ParseList(line, entry);
  ImapParser::Namespace personal;
  ImapParser::ParseNamespace(line, personal);
  ImapParser::Quota quota;
  ImapParser::ParseQuota(line, quota);
  uint64_t value = 0;
  ImapParser::ParseStatusItem(line, "APPENDLIMIT", value);
  ImapParser::ResponseCode(line);
  ImapParser::Capabilities(line);
  std::vector<uint32_t> uids;
  if (ImapParser::ParseUidSet(line, uids)) {
    // A set read back from its own text is the same set.
    std::vector<uint32_t> again;
    if (!ImapParser::ParseUidSet(ImapParser::FormatUidSet(uids), again)) __builtin_trap();
    if (ImapParser::FormatUidSet(again) != ImapParser::FormatUidSet(uids)) __builtin_trap();
  }
  return 0;
}
