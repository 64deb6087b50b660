#pragma once

// Where the program's files live.
// Thread contract: free functions reading the environment; any thread.

#include <string>

// Directory of the running executable, with its trailing separator.
std::string ProgramDir();

// $XDG_DATA_HOME/tandrel, default ~/.local/share/tandrel; empty when no home
// directory is known.
std::string DataDir();

// $XDG_CONFIG_HOME/tandrel, default ~/.config/tandrel; empty when no home
// directory is known.
std::string ConfigDir();

// The XDG documents directory (from user-dirs.dirs), else ~/Documents;
// without a trailing separator.
std::string DocumentsDir();

// data_dir + "\Tandrel\" + user + "\"; empty when data_dir is empty.
std::string CacheDir(const std::string& data_dir, const std::string& user);
