#pragma once

// Whether a folder is the root of a mount, as the kernel's mount table says.
// Thread contract: a free function without shared state; any thread.

#include <string>

// True when native_path (resolved through links) is the root of a mount.
bool IsMountPoint(const std::string& native_path);
