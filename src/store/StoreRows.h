#pragma once

#include <string>
#include <vector>

#include "store/FileRecord.h"
#include "store/FolderRecord.h"
#include "store/PartState.h"

class CppSQLite3DB;
class StoreStatement;

// Rows that more than one store operation writes. Each throws the SQL
// layer's exception; callers run them inside RunStoreBody.
// Thread contract: the caller's connection, on the caller's thread.

// The text to prepare for InsertPartRow.
extern const char* const kInsertPartSql;
// One mail row of r under mail_id at state, through insert (prepared from
// kInsertPartSql).
void InsertPartRow(StoreStatement& insert, const FileRecord& r, const std::string& mail_id,
                   PartState state);
// The text to prepare for InsertFileRow.
extern const char* const kInsertFileSql;
// The ftable row of r through insert (prepared from kInsertFileSql); its
// origin is r's, or its own file id for a new file.
void InsertFileRow(StoreStatement& insert, const FileRecord& r);
// The same, prepared for this one row.
void InsertFileRow(CppSQLite3DB& db, const FileRecord& r);
// The folder and ftable tables replaced by folders and files.
void ReplaceTreeRows(CppSQLite3DB& db, const std::vector<FolderRecord>& folders,
                     const std::vector<FileRecord>& files);
