#pragma once

// File, path and text helpers shared by every subsystem.
// Thread contract: free functions without shared state; any thread.
//
// Paths inside the program are backslash-separated, as the drive and the
// folder index have them; NativePath is the one conversion applied at every
// OS call. Doubled separators are harmless.

#include <sys/types.h>
#include <cstdint>
#include <string>
#include <vector>

// The program's path in the form the OS takes: every "\" becomes "/".
std::string NativePath(const std::string& path);

// True when the directory exists; otherwise creates it with every missing
// parent. The result of the creation itself is not reported.
bool MakeDir(const std::string& path, mode_t mode = 0755);

bool DirExists(const std::string& path);
bool FileExists(const std::string& path);

// Cuts after the last "\": folder keeps the backslash. False without one.
bool SplitPath(const std::string& path, std::string& folder, std::string& name);
// The drive path ("\a\b") of a local path below mount_point, repeated and
// trailing "/" dropped; empty when it lies elsewhere.
std::string DrivePathUnder(const std::string& path, const std::string& mount_point);
// A drive path as people write it: "a/b" for "\a\b".
std::string DrivePathText(const std::string& drive_path);
// A name that stays one component of a path: not empty, not "." or "..",
// without '/', '\\' or NUL. Account names become file and folder names.
bool IsSingleName(const std::string& name);

std::string NumberToText(uint64_t n);

// Appends every run between separators, and the (possibly empty) last run.
void SplitAt(const std::string& text, char sep, std::vector<std::string>& out);

// The characters from pos up to the next LF, without CR and LF; pos is left
// at that LF (or at the end).
std::string ReadLine(const std::string& buffer, size_t& pos);

// Moves a file or folder to dest: a rename, or copy and delete when the two
// lie on different file systems. True on success.
bool MoveByShell(const std::string& dest, const std::string& source);

// Digest text of the file ("%0x" per byte: 16 to 32 characters), its size
// and the current time in seconds. False when the file cannot be read.
bool GetFileMd5(const std::string& path, int64_t& size, int& time_stamp, std::string& md5);
