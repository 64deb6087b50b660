#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// Reads IMAP response text by the protocol's grammar (RFC 9051/3501): atoms,
// quoted strings, literals, parenthesised lists and NIL, then the pieces the
// session needs: response codes, capabilities, LIST, NAMESPACE, QUOTA,
// STATUS and UID sets. Literals are expected spelled inline, "{n}" CR LF and
// then the n bytes, as the session splices them into the line.
// Thread contract: stateless; any thread.
class ImapParser {
 public:
  struct Value {
    enum class Kind { kAtom, kString, kNil, kList };
    Kind kind = Kind::kAtom;
    std::string text;
    std::vector<Value> items;
    bool IsAtom(std::string_view word) const;  // case-insensitive
  };
  struct ListEntry {
    std::set<std::string> attributes;  // upper-cased, backslash kept
    char delimiter = 0;                // 0 for NIL: a flat name space
    std::string name;
    bool Has(const std::string& attribute) const;
  };
  struct Namespace {
    bool known = false;
    std::string prefix;
    char delimiter = 0;
  };
  struct Quota {
    bool has_storage = false;
    uint64_t used_bytes = 0;
    uint64_t limit_bytes = 0;
  };

  // The tokens of text (one response line with its literals); trailing CR LF
  // ignored. False on text that breaks the grammar.
  static bool Parse(std::string_view text, std::vector<Value>& out);
  // The response code of a status line ("tag OK [CODE args] text", also
  // untagged): "CODE args" without brackets, or empty.
  static std::string ResponseCode(std::string_view line);
  // The status word and what follows it, without the tag or CR LF:
  // "NO [OVERQUOTA] Quota exceeded".
  static std::string StatusText(std::string_view line);
  // The upper-cased capability names of a space-separated list.
  static std::set<std::string> Capabilities(std::string_view list);
  // "* LIST (attributes) delimiter name".
  static bool ParseList(std::string_view line, ListEntry& entry);
  // "* NAMESPACE personal other shared": the first personal namespace.
  static bool ParseNamespace(std::string_view line, Namespace& personal);
  // "* QUOTA root (STORAGE used limit ...)": KiB turned into bytes.
  static bool ParseQuota(std::string_view line, Quota& quota);
  // "* STATUS mailbox (item value ...)": the value of item, false when absent
  // or NIL.
  static bool ParseStatusItem(std::string_view line, std::string_view item, uint64_t& value);
  // "1:3,7" into 1 2 3 7; false on anything but a UID set of numbers.
  static bool ParseUidSet(std::string_view text, std::vector<uint32_t>& uids);
  // The shortest set text of uids (sorted, ranges joined, duplicates dropped).
  static std::string FormatUidSet(std::vector<uint32_t> uids);
  static bool ParseNumber(std::string_view text, uint64_t& value);
};
