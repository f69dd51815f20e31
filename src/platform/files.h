// Stand-ins for the platform's file access, under their published names and
// result conventions: CreateFileA (a read-only open of an existing file),
// SetFilePointer, ReadFile, GetFileSize, GetFileTime and CloseHandle; a failure leaves its
// reason in the thread's last error (GetLastError, error_info.h). The user
// rules loader is their caller.
//
// Paths follow the original platform: `\` is a separator like `/`, and a path
// component that does not exist as written is matched without regard to ASCII
// case within its directory (of several such names, the first in byte order).
// Only a regular file can be opened: a directory, FIFO, socket or device at
// the path counts as missing, and opening never blocks.
//
// Reads are served from a buffer of up to 64 KB of the file's bytes, read
// ahead at the file position: a change made to the file while it is open is
// seen from the next block on.
//
// Threading: every function is safe on any thread; a handle belongs to its
// opener, who must close it. The last error code is kept per thread.
#ifndef VELQUOR_PLATFORM_FILES_H_
#define VELQUOR_PLATFORM_FILES_H_

#include <cstdint>

#include "platform/error_info.h"
#include "platform/win_error.h"
#include "velquor/types.h"

// On Windows file access is the system's.
#if !defined(_WIN32)
typedef void* HANDLE;
typedef DWORD* LPDWORD;
typedef LONG* PLONG;

#ifndef INVALID_HANDLE_VALUE
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(~static_cast<uintptr_t>(0)))
#endif

// Access, sharing, disposition and attribute values that CreateFileA knows.
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD FILE_SHARE_READ = 0x00000001u;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002u;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080u;

// SetFilePointer move methods and failure values.
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFFu;
constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFFu;

// Last-error codes of the file functions are in win_error.h;
// ERROR_CANT_ACCESS_FILE tells that something other than a regular file
// (directory, FIFO, device) is there.

// Opens the existing regular file `name` for reading. Only GENERIC_READ
// access and OPEN_EXISTING are accepted (else ERROR_INVALID_PARAMETER); the
// sharing mode is granted as asked, since this platform takes no lock.
// Returns INVALID_HANDLE_VALUE on failure, with the reason in GetLastError.
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, void* security, DWORD disposition,
                   DWORD flags, HANDLE template_file);

// Moves the file position by `distance` (with `*distance_high` as the upper
// 32 bits when given, else sign-extended) from the start, the current
// position or the end. Returns the low 32 bits of the new position (the high
// ones in `*distance_high`) and sets the last error to 0, or
// INVALID_SET_FILE_POINTER with the reason and the position unmoved: a
// negative target, or one past 32 bits without `distance_high`, is refused.
DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD method);

// Reads up to `to_read` bytes at the file position into `buffer`, fewer only
// at the end of the file; `*read` gets the count (0 at the end). FALSE with
// the reason on failure (`*read` then counts what was read before it). Only
// synchronous reads: `overlapped` must be null.
BOOL ReadFile(HANDLE file, void* buffer, DWORD to_read, LPDWORD read, void* overlapped);

// The file's size: low 32 bits as the result, high ones in `*high` when
// given. INVALID_FILE_SIZE with the reason on failure (the last error is 0
// when a size's low part merely equals that value).
DWORD GetFileSize(HANDLE file, LPDWORD high);

// A point in time: 100-nanosecond intervals since 1601-01-01 UTC.
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

// The file's times, each place optional. This platform keeps no creation
// time: creation and last access get the last change of the file's status
// and its last access. FALSE with the reason for a handle that is not open.
BOOL GetFileTime(HANDLE file, FILETIME* creation, FILETIME* last_access, FILETIME* last_write);

// Closes a handle from CreateFileA. FALSE with ERROR_INVALID_HANDLE for a
// handle that is not open.
BOOL CloseHandle(HANDLE object);

namespace velquor {

// A short English description of a last-error code, worded as the C
// library's own message for the same cause ("No such file or directory",
// "Permission denied", ...; "not a regular file" has none), so that the
// command-line host reports one cause alike in every command. Never null.
const char* DescribeFileError(DWORD code);

// Test hook: after `reads` more successful ReadFile calls (any thread), every
// further ReadFile fails with ERROR_READ_FAULT, until the hook is reset with
// a negative count. Lets tests show what a reader does with a failing disk.
void SetReadFaultAfterForTesting(int reads);

// Test hook: how many reads this layer has made from the file system so far
// (any thread). Small reads are served from a buffer of the file's bytes.
uint64_t DiskReadsForTesting();

}  // namespace velquor
#endif  // !_WIN32

#endif  // VELQUOR_PLATFORM_FILES_H_
