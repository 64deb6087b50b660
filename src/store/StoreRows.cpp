#include "store/StoreRows.h"

#include "store/StoreStatement.h"

const char* const kInsertPartSql =
    "insert into mail(mail_id,file_id, name,size,time,md5,total_size,part,total_part, "
    "local_fn,stat) values(?,?,?,?,?,?,?,?,?, ?,?)";

void InsertPartRow(StoreStatement& insert, const FileRecord& r, const std::string& mail_id,
                   PartState state) {
  insert.bind(1, mail_id);
  insert.bind(2, r.file_id);
  insert.bind(3, r.name);
  insert.bind(4, r.size);
  insert.bind(5, r.time);
  insert.bind(6, r.md5);
  insert.bind(7, r.total_size);
  insert.bind(8, r.part);
  insert.bind(9, r.total_part);
  insert.bind(10, r.cache_path);
  insert.bind(11, StoredState(state));
  insert.exec();
}

const char* const kInsertFileSql =
    "insert into ftable(file_id, folder_id, file_name, origin) values(?,?,?,?)";

void InsertFileRow(StoreStatement& insert, const FileRecord& r) {
  insert.bind(1, r.file_id);
  insert.bind(2, r.folder_id);
  insert.bind(3, r.name);
  insert.bind(4, r.Origin());
  insert.exec();
}

void InsertFileRow(CppSQLite3DB& db, const FileRecord& r) {
  StoreStatement insert(db, kInsertFileSql);
  InsertFileRow(insert, r);
}

void ReplaceTreeRows(CppSQLite3DB& db, const std::vector<FolderRecord>& folders,
                     const std::vector<FileRecord>& files) {
  db.RunStatement("delete from folder");
  db.RunStatement("delete from ftable");
  StoreStatement folder(db, "insert into folder(id, parent_id, name, full_name) values(?,?,?,?)");
  for (const FolderRecord& f : folders) {
    folder.bind(1, f.id);
    folder.bind(2, f.parent_id);
    folder.bind(3, f.name);
    folder.bind(4, f.full_name);
    folder.exec();
  }
  StoreStatement file(db, kInsertFileSql);
  for (const FileRecord& f : files) InsertFileRow(file, f);
}
