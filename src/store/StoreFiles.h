#pragma once

#include <string>

// Where the store's database files live, and how they are created.
// Thread contract: free functions reading the environment; any thread.

// DataDir() + "\tandrel.db"; empty when DataDir() is.
std::string MainDbPath();
// DataDir() + "\" + user + ".db"; empty when DataDir() is.
std::string AccountDbPath(const std::string& user);

// Creates an empty file readable by the owner only (0600) when nothing is at
// path, so that the engine's own creation does not widen the mode: the
// databases hold passwords. True when a file is there afterwards.
bool EnsurePrivateFile(const std::string& path);
