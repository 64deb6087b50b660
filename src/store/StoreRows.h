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
// The folder and ftable tables replaced by folders and files.
void ReplaceTreeRows(CppSQLite3DB& db, const std::vector<FolderRecord>& folders,
                     const std::vector<FileRecord>& files);
