// The platform's error codes under their published names and values, shared
// by the stand-ins that report them: the registry functions return them, the
// file functions leave them in the thread's last error (files.h). One header,
// so that a unit may use both families without two definitions of a name.
// Constants only; nothing to own, safe everywhere.
#ifndef VELQUOR_PLATFORM_WIN_ERRORS_H_
#define VELQUOR_PLATFORM_WIN_ERRORS_H_

#include "velquor/types.h"

// Published as long literals, hence LONG; compare freely with a DWORD code.
constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG NO_ERROR = 0;
constexpr LONG ERROR_INVALID_FUNCTION = 1;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_PATH_NOT_FOUND = 3;
constexpr LONG ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr LONG ERROR_OUTOFMEMORY = 14;
constexpr LONG ERROR_WRITE_FAULT = 29;
constexpr LONG ERROR_READ_FAULT = 30;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_NEGATIVE_SEEK = 131;
constexpr LONG ERROR_FILENAME_EXCED_RANGE = 206;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr LONG ERROR_NO_MORE_ITEMS = 259;
constexpr LONG ERROR_CANT_ACCESS_FILE = 1920;

#endif  // VELQUOR_PLATFORM_WIN_ERRORS_H_
