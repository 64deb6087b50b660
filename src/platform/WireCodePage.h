#pragma once

#include <string>

// Names are UTF-8 on this machine but GB18030 on the wire (a superset of the
// GBK that other machines and stored mailboxes expect). Both directions keep
// every byte that does not decode in the source encoding unchanged, so no
// input is ever lost or refused.
// Thread contract: stateless; any thread (each call owns its descriptor).
class WireCodePage {
 public:
  static std::string FromUtf8(const std::string& text);
  static std::string ToUtf8(const std::string& text);
};
