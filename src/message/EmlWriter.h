#pragma once

#include <cstdint>
#include <string>

#include "message/PartHeader.h"

class DriveKey;

// Writes one file part, or the folder index, as a MIME message file: the
// header with the X-tdr-info object, then the part's bytes as one base64
// attachment. With a drive key, the object travels sealed (X-tdr-sealed)
// and the attachment is an age file to the drive's recipient, bound to its
// file and part; subject and attachment name name nothing.
// Thread contract: one thread only (a value on the caller's stack).
class EmlWriter {
 public:
  explicit EmlWriter(const PartHeader& record);
  virtual ~EmlWriter() = default;

  // Creates or truncates path and writes the whole message; length gets the
  // file's final size. False when either file cannot be opened, read or
  // written; the message file may then hold a partial message, which the
  // caller removes.
  bool SaveToEml(const std::string& path, int& length);
  // The same into an open file, from its current offset.
  bool WriteTo(int fd, int& length);

  // Stamps the message with this time instead of the clock (reproducible
  // output).
  void SetTime(int64_t seconds_since_epoch) {
    fixed_time_ = seconds_since_epoch;
    has_fixed_time_ = true;
  }

  // Seals what it writes with key, which must outlive the writer.
  void SetKey(const DriveKey* key) { key_ = key; }

  // Everything before the first body line, for the given time; empty when
  // a key could not seal the object.
  std::string Header(int64_t now) const;
  // The object carried, in base64, by the X-tdr-info header.
  std::string InfoObject(int64_t now) const;

  static constexpr const char* kBoundary = "next-part-23b23mb3tsfd1dfasdf";
  static constexpr size_t kReadBlock = 102400;

 private:
  bool IsFilePart() const { return record_.kind == MessageKind::kFilePart; }
  std::string Subject() const;
  std::string EncodedFileName() const;
  std::string AttachmentName() const;
  std::string InfoField(int64_t now) const;
  bool WriteBody(int eml_fd, int64_t& written) const;

  PartHeader record_;
  const DriveKey* key_ = nullptr;
  int64_t fixed_time_ = 0;
  bool has_fixed_time_ = false;
};
