// The type-library services: loading the library's type library (resource
// "TYPELIB" 1 of the binary, or a ".tlb" file in the same text
// representation), registering it under HKEY_CLASSES_ROOT, loading it back
// by identifier, and the ITypeLib and ITypeInfo objects that answer the
// filter object's automation calls. DllRegisterServer loads and registers;
// the filter object's type-information holder loads by identifier.
//
// Representation (src/resources/typelib/nubrix.tlb): a strict line format.
// The first line is "VELQUOR-TYPELIB 1"; then blank lines, '#' comments and
// sections "library NAME", "interface NAME", "dispinterface NAME" and
// "coclass NAME", each followed by attribute lines (uuid, version, lcid,
// syskind, helpstring, importlib, flags, inherits, default); the last line
// is "end". Anything else, or a missing attribute, makes the file invalid.
//
// Type libraries and type information objects are immutable once loaded and
// their reference counts are atomic, so they may be used from any thread.
// A type information object keeps its library alive while anyone holds it.
#ifndef VELQUOR_PLATFORM_TYPELIB_H_
#define VELQUOR_PLATFORM_TYPELIB_H_

#include <string>

#include "platform/guid_text.h"
#include "velquor/oaidl.h"

// On Windows these services, strings included, are oleaut32's own.
#if !defined(_WIN32)
#include "platform/bstr.h"

constexpr HRESULT TYPE_E_REGISTRYACCESS = static_cast<HRESULT>(0x8002801Cu);
constexpr LCID LOCALE_NEUTRAL = 0;
constexpr MEMBERID MEMBERID_NIL = -1;
constexpr WORD LIBFLAG_FRESTRICTED = 0x1;
constexpr WORD LIBFLAG_FCONTROL = 0x2;
constexpr WORD LIBFLAG_FHIDDEN = 0x4;

// The proxy of dual and automation interfaces.
inline constexpr CLSID CLSID_PSOAInterface = {
    0x00020424, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// Loads a type library. `file` names either a binary (the one these services
// are linked into: its resource "TYPELIB" 1) or a file ending in ".tlb"
// (letter case ignored). TYPE_E_CANTLOADLIBRARY for anything else: another
// binary, a missing or unreadable file, a malformed representation.
// E_POINTER for a null `lib` or `file`. On success *lib holds one reference.
HRESULT LoadTypeLib(LPCOLESTR file, ITypeLib** lib);

// Registers `lib` as loaded from `full_path`, with help directory `help_dir`
// (null: empty), under HKEY_CLASSES_ROOT: TypeLib\{LIBID}\MAJ.MIN with the
// help string, its LCID\win32 (the path), FLAGS and HELPDIR, and an
// Interface\{IID} key for each dual or automation interface. One registry
// transaction: on failure nothing is written. E_INVALIDARG for null args.
HRESULT RegisterTypeLib(ITypeLib* lib, LPCOLESTR full_path, LPCOLESTR help_dir);

// Loads the registered type library `libid` with major version `major` and
// the highest minor version >= `minor`, for locale `lcid`, falling back to
// its primary language and then to locale 0. TYPE_E_LIBNOTREGISTERED when no
// such registration exists; the loader's failure when its path does not load.
HRESULT LoadRegTypeLib(REFGUID libid, WORD major, WORD minor, LCID lcid, ITypeLib** lib);

// Removes the registration that RegisterTypeLib wrote for this version and
// locale (the version key itself once no locale is left) and the Interface
// keys that name the library. TYPE_E_LIBNOTREGISTERED when absent.
HRESULT UnRegisterTypeLib(REFGUID libid, WORD major, WORD minor, LCID lcid, SYSKIND syskind);

namespace velquor {

// Loads a type library from its representation `text` (as held in a .tlb
// file). TYPE_E_CANTLOADLIBRARY when the text is malformed.
HRESULT LoadTypeLibFromText(const std::string& text, ITypeLib** lib);

}  // namespace velquor
#endif  // !_WIN32

#endif  // VELQUOR_PLATFORM_TYPELIB_H_
