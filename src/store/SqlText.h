#pragma once

#include <string>

// Statement text composed with sqlite3_mprintf ("%q" quotes text, "%d"
// formats integers; no compiler format check, as "%q" is the engine's own);
// the engine's buffer is released before returning.
// Thread contract: a free function; any thread.
std::string SqlText(const char* format, ...);
