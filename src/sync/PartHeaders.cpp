#include "sync/PartHeaders.h"

namespace {

MessageKind ToMessageKind(int kind) {
  switch (kind) {
    case 1:
      return MessageKind::kFilePart;
    case 2:
      return MessageKind::kFolderIndex;
    default:
      return MessageKind::kUnknown;
  }
}

int FromMessageKind(MessageKind kind) {
  switch (kind) {
    case MessageKind::kFilePart:
      return 1;
    case MessageKind::kFolderIndex:
      return 2;
    case MessageKind::kUnknown:
      break;
  }
  return 0;
}

}  // namespace

PartHeader PartHeaders::ToMessage(const FileRecord& record, const std::string& source_path) {
  PartHeader h;
  h.name = record.name;
  h.file_id = record.file_id;
  h.time = record.time;
  h.total_part = record.total_part;
  h.part = record.part;
  h.size = record.size;
  h.total_size = record.total_size;
  h.md5 = record.md5;
  h.from = record.from;
  h.to = record.to;
  h.source_path = source_path;
  h.kind = ToMessageKind(record.kind);
  return h;
}

FileRecord PartHeaders::FromMessage(const PartHeader& header) {
  FileRecord r;
  r.name = header.name;
  r.file_id = header.file_id;
  r.time = header.time;
  r.total_part = header.total_part;
  r.part = header.part;
  r.size = header.size;
  r.total_size = header.total_size;
  r.md5 = header.md5;
  r.kind = FromMessageKind(header.kind);
  return r;
}
