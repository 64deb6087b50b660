#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

#include "message/PartHeader.h"

class DriveKey;

// Reads a fetched message (or its header alone): the top-level header
// fields, the X-tdr-info part header into info, and each base64 attachment
// by file name. Names come back in UTF-8. Hostile text yields empty or
// partial members, never a read past the input; memory stays proportional
// to the input. With a drive key only sealed messages count: the object is
// opened, and the attachment decrypted and checked to belong to the
// object's file and part; anything else leaves info and the attachments
// empty.
// Thread contract: one thread only; one parser per message.
class MailParser {
 public:
  MailParser() = default;
  virtual ~MailParser() = default;
  MailParser(const MailParser&) = delete;
  MailParser& operator=(const MailParser&) = delete;

  // Opens sealed messages with key, which must outlive the parser.
  void SetKey(const DriveKey* key) { key_ = key; }
  // Fills the members below; the text need only live during the call.
  void Parse(const std::string& text);
  // The first attachment is decoded into this buffer's memory instead of a
  // fresh allocation: a caller that parses message after message keeps one.
  void ReuseBuffer(std::string&& buffer) {
    spare_ = std::move(buffer);
    spare_given_ = true;
  }

  std::map<std::string, std::string> headers;
  std::map<std::string, std::string> attachments;
  std::string delimiter;
  PartHeader info;
  // With a key: whether the message opened, or was refused (not sealed
  // with this key, altered, cut short, or another part's content).
  enum class Sealing { kPlain, kOpened, kRefused };
  Sealing sealing = Sealing::kPlain;

 private:
  // Lines are views into the text being parsed, handed out one by one.
  bool NextLine(std::string_view& line);
  // False when the lines ran out before the end of the header.
  bool ReadHeader();
  void ReadInfo();
  void ReadInfoObject(const std::string& object);
  void OpenSealedInfo();
  // Replaces the age file of the one attachment with its plaintext.
  void DecryptAttachment();
  // False when the lines ran out.
  bool ParsePart();
  bool ReadAttachment(const std::string& name);
  bool LineHasDelimiter(std::string_view line);

  const DriveKey* key_ = nullptr;
  std::string spare_;
  bool spare_given_ = false;
  std::string_view text_;
  size_t next_ = 0;  // start of the next line; past the end when none is left
  bool lines_left_ = false;
  // First occurrence of the delimiter at or after delimiter_from_, cached so
  // that body lines need no search of their own.
  size_t delimiter_at_ = 0;
  size_t delimiter_from_ = 0;
  bool delimiter_known_ = false;
};
