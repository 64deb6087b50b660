#pragma once

#include <string>
#include <vector>

#include "message/EmlWriter.h"
#include "platform/FileHelpers.h"
#include "store/MetaStore.h"
#include "sync/PartHeaders.h"

// Writes the part messages of a whole file, cut and written as the program
// does, to dir/raw1.eml, dir/raw2.eml, ...: what the benchmarks APPEND raw
// as the baseline. md5 is the file's digest. One thread per call.
inline bool WritePartMessages(const std::string& file, const std::string& name, int file_id,
                              const std::string& user, const std::string& dir,
                              std::vector<std::string>& emls, std::string& md5) {
  int64_t size = 0;
  int time_stamp = 0;
  if (!GetFileMd5(file, size, time_stamp, md5)) return false;
  int parts = MetaStore::PartCount(size);
  for (int part = 1; part <= parts; ++part) {
    FileRecord r;
    r.name = name;
    r.kind = RecordKind::kFilePart;
    r.from = r.to = user;
    r.cache_path = file;
    r.file_id = file_id;
    r.part = part;
    r.total_part = parts;
    r.total_size = size;
    r.size = MetaStore::PartSize(size, part, parts);
    r.md5 = md5;
    std::string eml = dir + "/raw" + std::to_string(part) + ".eml";
    int length = 0;
    EmlWriter writer(PartHeaders::ToMessage(r, r.cache_path));
    if (!writer.SaveToEml(eml, length)) return false;
    emls.push_back(eml);
  }
  return true;
}
