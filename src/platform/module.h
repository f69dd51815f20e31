// Module handles and file names. A module handle stands for one loaded binary
// (the program or a shared library) and is the address where that binary is
// mapped; null stands for the main program. The server takes its own
// instance handle from ModuleOfAddress and its registered path from
// GetModuleFileNameA; the registrar and the type library loader use both to
// tell whether a path names the binary they are linked into.
// Stateless; safe on any thread.
#ifndef VELQUOR_PLATFORM_MODULE_H_
#define VELQUOR_PLATFORM_MODULE_H_

#include <string>

#include "platform/resources.h"
#include "velquor/types.h"

// Longest path this platform hands out, terminating zero included; callers
// size their path buffers with it.
constexpr DWORD kMaxPathBuffer = 4096;

#if !defined(_WIN32)
// Writes the full, absolute path of the binary that `module` names (null: the
// main program) and a terminating zero to `buffer`; returns its length
// without the zero. Returns 0 when it fails: GetLastError gives
// ERROR_INSUFFICIENT_BUFFER when the path and its zero do not fit in `size`
// bytes (the buffer then holds the empty text, never a cut path), and
// ERROR_MOD_NOT_FOUND when `module` names no loaded binary.
DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);
#endif  // !_WIN32

namespace velquor {

// The handle of the loaded binary that contains `address` (code or data);
// null when no loaded binary contains it.
HMODULE ModuleOfAddress(const void* address);

// The full path of `module`, "" when it names no loaded binary.
std::string ModuleFileName(HMODULE module);

// True when `path` (a file path in the ANSI code page) names the same file as
// the binary that contains `address`.
bool PathNamesModuleOf(const std::string& path, const void* address);

}  // namespace velquor

#endif  // VELQUOR_PLATFORM_MODULE_H_
