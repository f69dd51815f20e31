#include "platform/typelib_text.h"

#include <cstddef>

#include "platform/ascii.h"
#include "platform/typelib.h"

namespace velquor {
namespace {

constexpr char kMagic[] = "VELQUOR-TYPELIB 1";
// Limits that no real description comes near; they bound work on bad input.
constexpr std::size_t kMaxText = 64 * 1024;
constexpr std::size_t kMaxTypes = 256;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string Trim(const std::string& s) {
  std::size_t b = 0;
  std::size_t e = s.size();
  while (b < e && IsSpace(s[b])) ++b;
  while (e > b && IsSpace(s[e - 1])) --e;
  return s.substr(b, e - b);
}

bool IsIdentifier(const std::string& s) {
  if (s.empty() || s.size() > 255) return false;
  for (const char c : s) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  return !(s[0] >= '0' && s[0] <= '9');
}

// "..." with no quote inside; the whole rest of the line.
bool ParseQuoted(const std::string& s, std::string* out) {
  if (s.size() < 2 || s.front() != '"' || s.back() != '"') return false;
  *out = s.substr(1, s.size() - 2);
  return out->find('"') == std::string::npos;
}

bool ParseVersion(const std::string& s, WORD* major, WORD* minor) {
  const std::size_t dot = s.find('.');
  uint32_t a = 0;
  uint32_t b = 0;
  if (dot == std::string::npos || !ParseUnsigned(s.substr(0, dot), 0xFFFF, &a) ||
      !ParseUnsigned(s.substr(dot + 1), 0xFFFF, &b)) {
    return false;
  }
  *major = static_cast<WORD>(a);
  *minor = static_cast<WORD>(b);
  return true;
}

// Calls take(word) for each word of `s` (separated by white space); false
// when take refuses one or there is none.
template <typename Take>
bool ForEachWord(const std::string& s, Take take) {
  std::size_t pos = 0;
  bool any = false;
  while (pos < s.size()) {
    while (pos < s.size() && IsSpace(s[pos])) ++pos;
    std::size_t end = pos;
    while (end < s.size() && !IsSpace(s[end])) ++end;
    if (end == pos) break;
    if (!take(s.substr(pos, end - pos))) return false;
    any = true;
    pos = end;
  }
  return any;
}

bool ParseTypeFlags(const std::string& s, unsigned* flags) {
  struct Name {
    const char* text;
    unsigned flag;
  };
  static constexpr Name kNames[] = {{"dual", kDual},
                                    {"oleautomation", kOleAutomation},
                                    {"dispatchable", kDispatchable},
                                    {"creatable", kCreatable},
                                    {"hidden", kHidden},
                                    {"nonextensible", kNonExtensible},
                                    {"restricted", kRestricted}};
  *flags = 0;
  return ForEachWord(s, [flags](const std::string& word) {
    bool known = false;
    for (const Name& n : kNames) {
      if (word == n.text) {
        *flags |= n.flag;
        known = true;
      }
    }
    return known;
  });
}

bool ParseLibFlags(const std::string& s, WORD* flags) {
  *flags = 0;
  return ForEachWord(s, [flags](const std::string& word) {
    if (word == "restricted") {
      *flags |= LIBFLAG_FRESTRICTED;
    } else if (word == "control") {
      *flags |= LIBFLAG_FCONTROL;
    } else if (word == "hidden") {
      *flags |= LIBFLAG_FHIDDEN;
    } else {
      return false;
    }
    return true;
  });
}

// Each attribute may be given once; `seen` tracks which were.
bool Once(std::vector<std::string>* seen, const std::string& keyword) {
  for (const std::string& s : *seen) {
    if (s == keyword) return false;
  }
  seen->push_back(keyword);
  return true;
}

bool ParseLibraryAttribute(const std::string& keyword, const std::string& rest, LibDesc* lib) {
  if (keyword == "uuid") return (lib->has_guid = ParseGuid(rest, &lib->guid));
  if (keyword == "version")
    return (lib->has_version = ParseVersion(rest, &lib->major, &lib->minor));
  if (keyword == "lcid") return ParseUnsigned(rest, 0xFFFFFFFFu, &lib->lcid);
  if (keyword == "helpstring") return ParseQuoted(rest, &lib->help);
  if (keyword == "flags") return ParseLibFlags(rest, &lib->lib_flags);
  if (keyword == "syskind") {
    static constexpr const char* kKinds[] = {"win16", "win32", "mac", "win64"};
    for (int i = 0; i < 4; ++i) {
      if (rest == kKinds[i]) {
        lib->syskind = i;
        return true;
      }
    }
    return false;
  }
  return false;
}

bool ParseTypeAttribute(const std::string& keyword, const std::string& rest, TypeDesc* type) {
  if (keyword == "uuid") return (type->has_guid = ParseGuid(rest, &type->guid));
  if (keyword == "helpstring") return ParseQuoted(rest, &type->help);
  if (keyword == "flags") return ParseTypeFlags(rest, &type->flags);
  if (keyword == "inherits" && type->section != "coclass") {
    type->inherits = rest;
    return IsIdentifier(rest);
  }
  if (keyword == "default" && type->section == "coclass") {
    type->default_iface = rest;
    return IsIdentifier(rest);
  }
  return false;
}

// Checks what the line format cannot: required attributes and references.
bool Complete(LibDesc* lib) {
  if (!lib->has_guid || !lib->has_version) return false;
  for (TypeDesc& type : lib->types) {
    if (!type.has_guid) return false;
    if (type.section == "coclass") {
      type.kind = TKIND_COCLASS;
      if (type.default_iface.empty()) return false;
      const int target = FindType(*lib, type.default_iface);
      if (target < 0 || lib->types[static_cast<std::size_t>(target)].section == "coclass") {
        return false;
      }
    } else {
      type.kind = (type.section == "dispinterface" || (type.flags & kDual) != 0) ? TKIND_DISPATCH
                                                                                 : TKIND_INTERFACE;
      if (type.inherits.empty()) return false;
      if (type.inherits != "IUnknown" && type.inherits != "IDispatch") {
        const int base = FindType(*lib, type.inherits);
        if (base < 0 || lib->types[static_cast<std::size_t>(base)].section == "coclass" ||
            type.inherits == type.name) {
          return false;
        }
      }
    }
  }
  return true;
}

}  // namespace

bool ParseUnsigned(const std::string& s, uint32_t max, uint32_t* out) {
  if (s.empty()) return false;
  uint64_t value = 0;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    for (std::size_t i = 2; i < s.size(); ++i) {
      const int d = AsciiHexDigit(s[i]);
      if (d < 0) return false;
      value = value * 16 + static_cast<uint64_t>(d);
      if (value > max) return false;
    }
  } else {
    for (const char c : s) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + static_cast<uint64_t>(c - '0');
      if (value > max) return false;
    }
  }
  *out = static_cast<uint32_t>(value);
  return true;
}

int FindType(const LibDesc& lib, const std::string& name) {
  for (std::size_t i = 0; i < lib.types.size(); ++i) {
    if (lib.types[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

bool ParseTypeLibText(const std::string& text, LibDesc* lib) {
  if (text.size() > kMaxText || text.find('\0') != std::string::npos) return false;
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  if (lines.empty() || Trim(lines[0]) != kMagic) return false;
  enum { kStart, kLibrary, kType, kEnd } state = kStart;
  std::vector<std::string> seen;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string line = Trim(lines[i]);
    if (line.empty() || line[0] == '#') continue;
    if (state == kEnd) return false;  // nothing may follow "end"
    std::size_t split = 0;
    while (split < line.size() && !IsSpace(line[split])) ++split;
    const std::string keyword = line.substr(0, split);
    const std::string rest = Trim(line.substr(split));
    if (keyword == "end") {
      if (state == kStart || !rest.empty()) return false;
      state = kEnd;
      continue;
    }
    if (keyword == "library") {
      if (state != kStart || !IsIdentifier(rest)) return false;
      lib->name = rest;
      state = kLibrary;
      seen.clear();
      continue;
    }
    if (keyword == "interface" || keyword == "dispinterface" || keyword == "coclass") {
      if (state == kStart || !IsIdentifier(rest) || FindType(*lib, rest) >= 0 ||
          rest == lib->name || lib->types.size() >= kMaxTypes) {
        return false;
      }
      TypeDesc type;
      type.section = keyword;
      type.name = rest;
      lib->types.push_back(std::move(type));
      state = kType;
      seen.clear();
      continue;
    }
    if (state == kStart) return false;
    if (state == kLibrary && keyword == "importlib") {
      std::string import;
      if (!ParseQuoted(rest, &import) || import.empty()) return false;
      lib->imports.push_back(import);
      continue;
    }
    if (!Once(&seen, keyword)) return false;
    const bool ok = state == kLibrary ? ParseLibraryAttribute(keyword, rest, lib)
                                      : ParseTypeAttribute(keyword, rest, &lib->types.back());
    if (!ok) return false;
  }
  return state == kEnd && Complete(lib);
}

}  // namespace velquor
