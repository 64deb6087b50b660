#pragma once

#include <string>

// Where the store's database files live, and how they are created.
// Thread contract: free functions reading the environment; any thread.

// data_dir + "\tandrel.db"; empty when data_dir is. Without data_dir: the
// program's DataDir().
std::string MainDbPath(const std::string& data_dir);
std::string MainDbPath();
// data_dir + "\" + user + ".db"; empty when data_dir is.
std::string AccountDbPath(const std::string& data_dir, const std::string& user);
std::string AccountDbPath(const std::string& user);

// Creates an empty file readable by the owner only (0600) when nothing is at
// path, so that the engine's own creation does not widen the mode: the
// databases hold passwords. True when a file is there afterwards.
bool EnsurePrivateFile(const std::string& path);
