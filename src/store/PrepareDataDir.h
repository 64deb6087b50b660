#pragma once

#include <string>

// Start-up preparation of the data directory: DataDir (private to the user)
// with its log, update and temp folders, the main database (copied from the
// template beside the executable or in ../share/tandrel/, else made from
// the compiled-in schema; mode 0600), and an empty cache setting filled with
// the documents folder plus one "/".
// Thread contract: start-up only, before any other thread uses the store.

// False when there is no data directory, or no main database could be made.
bool PrepareDataDir();
// The same with the template looked up below program_dir (which ends with
// a separator).
bool PrepareDataDir(const std::string& program_dir);
// The same for the data directory data_dir, whose cache setting, when
// empty, becomes documents_dir plus one "/" (nothing when documents_dir is
// empty): engines of one process keep their own.
bool PrepareDataDir(const std::string& data_dir, const std::string& program_dir,
                    const std::string& documents_dir);

// Makes a main database at path from the compiled-in schema, replacing an
// empty file there. True on success.
bool CreateMainDatabase(const std::string& path);
