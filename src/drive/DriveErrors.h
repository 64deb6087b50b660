#pragma once

// The drive's negated Windows error codes, and their one mapping to errno.
// Thread contract: constants and a pure function; any thread.

constexpr int DRIVE_GENERAL_FAILURE = -1;  // ERROR_GEN_FAILURE as the drive uses it
constexpr int DRIVE_FILE_NOT_FOUND = -2;
constexpr int DRIVE_PATH_NOT_FOUND = -3;
constexpr int DRIVE_ACCESS_DENIED = -5;
constexpr int DRIVE_NOT_SUPPORTED = -50;
constexpr int DRIVE_FILE_EXISTS = -80;
constexpr int DRIVE_CANNOT_MAKE = -82;
constexpr int DRIVE_INVALID_PARAMETER = -87;
constexpr int DRIVE_DISK_FULL = -112;
constexpr int DRIVE_INVALID_NAME = -123;
constexpr int DRIVE_DIR_NOT_EMPTY = -145;
constexpr int DRIVE_BUSY = -170;
constexpr int DRIVE_ALREADY_EXISTS = -183;
constexpr int DRIVE_NAME_TOO_LONG = -206;
constexpr int DRIVE_FILE_TOO_LARGE = -223;
constexpr int DRIVE_NOT_A_FOLDER = -267;  // ERROR_DIRECTORY
constexpr int DRIVE_IS_A_FOLDER = -336;   // ERROR_DIRECTORY_NOT_SUPPORTED

// 0 for success, else a positive errno for the drive's result.
int DriveResultToErrno(int result);
