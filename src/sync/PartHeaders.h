#pragma once

#include "message/PartHeader.h"
#include "store/FileRecord.h"

// Converts between the store's part rows and the message layer's part
// headers, the two layers knowing nothing of each other.
// Thread contract: stateless; any thread.
class PartHeaders {
 public:
  // The header of the message that carries record; the content is read from
  // source_path.
  static PartHeader ToMessage(const FileRecord& record, const std::string& source_path);
  // A record holding what a message's header says; the stored-only fields
  // stay at their defaults.
  static FileRecord FromMessage(const PartHeader& header);
};
