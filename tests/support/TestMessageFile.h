#pragma once

#include <cstddef>
#include <string>

// Writes a MIME message like the program's own: a short header block and one
// base64 attachment of part_size pseudo-random bytes (seeded), CR LF lines.
// Returns false when the file cannot be written. One thread per call.
bool WriteTestMessage(const std::string& path, size_t part_size, unsigned seed = 1);
