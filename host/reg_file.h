// The REGEDIT4 text format of the profile's registry, for `velquor reg export`
// and `velquor reg import`: a "REGEDIT4" header, "[ROOT\path]" key lines
// ("[-ROOT\path]" deletes a key with everything below it), value lines
// `"name"=...` or `@=...` (the key's default value) holding `"text"` (with
// \\ and \" escapes), `dword:%08x`, `hex:` or `hex(N):` byte lists, or `-`
// (delete the value); ";" comment lines; a value line ending in "\" goes on
// in the next line.
//
// Parsing and formatting are pure functions over text; ReadRegistry and
// ApplyRegFile talk to the registry. Single-threaded use by the host.
#ifndef VELQUOR_HOST_REG_FILE_H_
#define VELQUOR_HOST_REG_FILE_H_

#include <string>
#include <vector>

#include "platform/registry.h"

namespace velquor::host {

struct RegFileValue {
  int line = 0;      // where it was read (0 when made from the registry)
  std::string name;  // "" for the key's default value
  bool remove = false;
  DWORD type = REG_NONE;
  std::string data;  // raw bytes
};

struct RegFileKey {
  int line = 0;
  HKEY root = HKEY_CURRENT_USER;  // or HKEY_CLASSES_ROOT
  std::string path;               // below the root; "" is the root itself
  bool remove = false;
  std::vector<RegFileValue> values;
};

struct RegFileError {
  int line = 0;  // 0 when the problem has no line
  std::string message;
};

// Parses a whole REGEDIT4 text. On a bad line returns false with its number
// (the first line of a continued one) and what is wrong; `*keys` is then
// unspecified.
bool ParseRegFile(const std::string& text, std::vector<RegFileKey>* keys, RegFileError* error);

// Formats `keys` in the given order. A REG_SZ value is written as a quoted
// string only when its data is one text ended by exactly one zero byte and
// holding no CR or LF; a 4-byte REG_DWORD as dword:; REG_BINARY as hex:;
// anything else as hex(N):. Long byte lists are continued over lines.
std::string FormatRegFile(const std::vector<RegFileKey>& keys);

// Reads the whole registry for export: HKEY_CURRENT_USER, then
// HKEY_CLASSES_ROOT, keys in order of their paths compared without regard to
// case, each key's values in order of their names (the default value first).
// A root appears only when it holds values. Names that the format cannot
// carry (CR or LF in them) are left out and listed in `*skipped`.
bool ReadRegistry(std::vector<RegFileKey>* keys, std::vector<std::string>* skipped,
                  std::string* error);

// Applies parsed keys in one transaction: all of it lands or nothing does.
// On failure returns false with the line of the entry that failed.
bool ApplyRegFile(const std::vector<RegFileKey>& keys, RegFileError* error);

}  // namespace velquor::host

#endif  // VELQUOR_HOST_REG_FILE_H_
