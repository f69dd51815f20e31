// Resource loading over the table of resources compiled into this binary:
// the string table (footers, default replacement template), the registry
// script, the type library and the version information. Callers: the page
// scanner and the replacement markup (strings), the registrar and the type
// library loader (named resources). Every binary holds exactly its own table,
// so a module handle is accepted as given and null means "this module".
// The table is constant data: every function here is safe on any thread, and
// the memory handed out lives as long as the binary and is never freed.
#ifndef VELQUOR_PLATFORM_RESOURCES_H_
#define VELQUOR_PLATFORM_RESOURCES_H_

#include <cstdint>
#include <string>

#include "velquor/types.h"

// On Windows resources are the system's, found in the module's resource
// section; LoadResourceString below then reads this library's own table.
#if !defined(_WIN32)
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HRSRC__* HRSRC;
typedef void* HGLOBAL;

#define MAKEINTRESOURCEA(i) (reinterpret_cast<LPSTR>(static_cast<uintptr_t>(static_cast<WORD>(i))))
#define IS_INTRESOURCE(p) ((reinterpret_cast<uintptr_t>(p) >> 16) == 0)
#define RT_STRING MAKEINTRESOURCEA(6)

// Finds the resource `name` of `type`. Both are numeric ids made with
// MAKEINTRESOURCEA or type/name texts compared without regard to ASCII case
// ("REGISTRY", "TYPELIB"); a text "#123" stands for the id 123. RT_STRING
// finds string table entries by their id. Null when there is no such resource.
HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type);

// The handle of a found resource's data (null for a null `res`).
HGLOBAL LoadResource(HMODULE module, HRSRC res);

// The first byte of the resource's data; the data is followed by one zero
// byte that SizeofResource does not count. Null for a null `mem`.
LPVOID LockResource(HGLOBAL mem);

// The resource's size in bytes; 0 for a null `res`.
DWORD SizeofResource(HMODULE module, HRSRC res);

// Copies string table entry `id` into `buffer`: at most buffer_size - 1 bytes
// and a terminating zero. Returns the number of bytes copied without the
// zero; 0 when the entry is absent, `buffer` is null or buffer_size < 1.
int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int buffer_size);
#endif  // !_WIN32

namespace velquor {

// The whole string table entry `id`, zero bytes included; "" when absent.
std::string LoadResourceString(UINT id);

}  // namespace velquor

#endif  // VELQUOR_PLATFORM_RESOURCES_H_
