// The text representation of a type library, as the ".tlb" files and the
// library's resource "TYPELIB" 1 hold it (the line format is described with
// LoadTypeLib), and the description it parses into. Shared by the type
// library objects and their registration; private to the platform layer.
//
// Pure functions over their arguments, safe on any thread.
#ifndef VELQUOR_PLATFORM_TYPELIB_TEXT_H_
#define VELQUOR_PLATFORM_TYPELIB_TEXT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "velquor/oaidl.h"

namespace velquor {

enum TypeFlag : unsigned {
  kDual = 1u << 0,
  kOleAutomation = 1u << 1,
  kDispatchable = 1u << 2,
  kCreatable = 1u << 3,
  kHidden = 1u << 4,
  kNonExtensible = 1u << 5,
  kRestricted = 1u << 6,
};

struct TypeDesc {
  std::string section;  // "interface", "dispinterface" or "coclass"
  std::string name;
  GUID guid{};
  bool has_guid = false;
  unsigned flags = 0;
  std::string help;
  std::string inherits;       // interfaces
  std::string default_iface;  // classes
  TYPEKIND kind = TKIND_INTERFACE;
};

struct LibDesc {
  std::string name;
  GUID guid{};
  bool has_guid = false;
  bool has_version = false;
  WORD major = 0;
  WORD minor = 0;
  LCID lcid = 0;
  SYSKIND syskind = SYS_WIN32;
  WORD lib_flags = 0;
  std::string help;
  std::vector<std::string> imports;
  std::vector<TypeDesc> types;
};

// Parses `text` into `*lib`: the magic first line, the sections and their
// attributes, the closing "end", and the checks of required attributes and
// references between types. False for anything malformed or beyond the
// limits that bound work on bad input.
bool ParseTypeLibText(const std::string& text, LibDesc* lib);

// The index of the type called `name` (letter case counts); -1 for none.
int FindType(const LibDesc& lib, const std::string& name);

// A decimal or "0x" hexadecimal number of at most `max`; false for anything
// else, `*out` then unspecified.
bool ParseUnsigned(const std::string& s, uint32_t max, uint32_t* out);

}  // namespace velquor

#endif  // VELQUOR_PLATFORM_TYPELIB_TEXT_H_
