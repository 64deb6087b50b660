#include "sync/PartHeaders.h"

namespace {

MessageKind ToMessageKind(RecordKind kind) {
  switch (kind) {
    case RecordKind::kFilePart:
      return MessageKind::kFilePart;
    case RecordKind::kFolderIndex:
      return MessageKind::kFolderIndex;
    case RecordKind::kUnknown:
      break;
  }
  return MessageKind::kUnknown;
}

RecordKind FromMessageKind(MessageKind kind) {
  switch (kind) {
    case MessageKind::kFilePart:
      return RecordKind::kFilePart;
    case MessageKind::kFolderIndex:
      return RecordKind::kFolderIndex;
    case MessageKind::kUnknown:
      break;
  }
  return RecordKind::kUnknown;
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
