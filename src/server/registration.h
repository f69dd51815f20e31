// Self-registration of the library: the registry update that runs the
// registry script (resource "REGISTRY" 102) through the registrar, and the
// registration of the type library (resource "TYPELIB" 1, or a ".tlb" file
// beside the library). DllRegisterServer and DllUnregisterServer call these;
// the path helpers are pure and exposed for tests.
//
// Threading: whatever thread calls the entry points; the registry stand-in
// serialises the writes. Nothing here holds state between calls.
#ifndef VELQUOR_SERVER_REGISTRATION_H_
#define VELQUOR_SERVER_REGISTRATION_H_

#include <string>

#include "platform/resources.h"
#include "velquor/types.h"

namespace velquor {

// The full file name of `module` in *path, read into a buffer of the
// platform's longest path. On failure the failure as a result code and *path
// empty: a path is never cut short.
HRESULT GetModulePath(HMODULE module, std::string* path);

// Runs the registry script of the filter class in register mode (true) or
// unregister mode, with "%MODULE%" standing for the library's full path.
// Returns the registrar's creation failure or the script's result.
HRESULT UpdateRegistryFromResource(bool register_mode);

// Loads the type library from the library file, else from the ".tlb" path
// derived from it, and registers it under the path it was loaded from with
// that path's help directory. The loader's or the registration's failure.
HRESULT RegisterServerTypeLib();

// The ".tlb" file tried when the library file holds no type library: the
// path with everything from its last "." on replaced by ".tlb", or ".tlb"
// appended when the path has no "." at all. The search covers the whole
// path: "C:\V1.0\LIB" gives "C:\V1.tlb".
std::string TypeLibFallbackPath(const std::string& path);

// The path up to and including its last "\", "/" or ":"; empty if it has
// none. "C:\APPS\FILTER.DLL" -> "C:\APPS\", "D:FILTER.DLL" -> "D:".
std::string HelpDirectoryOf(const std::string& path);

}  // namespace velquor

#endif  // VELQUOR_SERVER_REGISTRATION_H_
