#include "reg_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/ascii.h"
#include "platform/reg_transaction.h"

namespace velquor::host {
namespace {

constexpr char kHeader[] = "REGEDIT4";
constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxValueName = 16383;
constexpr size_t kHexLineWidth = 76;

struct RootName {
  const char* name;
  const char* short_name;
  HKEY root;
};
const RootName kRoots[] = {
    {"HKEY_CURRENT_USER", "HKCU", HKEY_CURRENT_USER},
    {"HKEY_CLASSES_ROOT", "HKCR", HKEY_CLASSES_ROOT},
};

bool EqualNoCase(const std::string& a, const char* b) { return AsciiEqualsNoCase(a, b); }

// Orders as the registry enumerates: letters folded to lower case.
bool LessNoCase(const std::string& a, const std::string& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(AsciiLower(a[i]));
    unsigned char y = static_cast<unsigned char>(AsciiLower(b[i]));
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

const char* RootText(HKEY root) {
  return root == HKEY_CLASSES_ROOT ? kRoots[1].name : kRoots[0].name;
}

std::string TrimLeft(const std::string& s) {
  size_t i = s.find_first_not_of(" \t");
  return i == std::string::npos ? "" : s.substr(i);
}

std::string TrimRight(const std::string& s) {
  size_t i = s.find_last_not_of(" \t");
  return i == std::string::npos ? "" : s.substr(0, i + 1);
}

// Reads a quoted string starting at text[*pos] == '"'; leaves *pos after the
// closing quote.
bool ReadQuoted(const std::string& text, size_t* pos, std::string* out, std::string* problem) {
  out->clear();
  size_t i = *pos + 1;
  while (i < text.size()) {
    char c = text[i];
    if (c == '"') {
      *pos = i + 1;
      return true;
    }
    if (c == '\\') {
      if (i + 1 >= text.size() || (text[i + 1] != '\\' && text[i + 1] != '"')) {
        *problem = "bad escape in quoted text (only \\\\ and \\\" are allowed)";
        return false;
      }
      out->push_back(text[i + 1]);
      i += 2;
      continue;
    }
    out->push_back(c);
    ++i;
  }
  *problem = "quoted text without its closing quote";
  return false;
}

bool ParseHexList(const std::string& list, std::string* out, std::string* problem) {
  out->clear();
  std::string rest = TrimRight(TrimLeft(list));
  if (rest.empty()) return true;
  size_t start = 0;
  while (true) {
    size_t comma = rest.find(',', start);
    std::string item = TrimRight(TrimLeft(
        rest.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
    if (item.empty() || item.size() > 2 || AsciiHexDigit(item[0]) < 0 ||
        (item.size() == 2 && AsciiHexDigit(item[1]) < 0)) {
      *problem = "bad byte '" + item + "' in hex list";
      return false;
    }
    int value = AsciiHexDigit(item[0]);
    if (item.size() == 2) value = value * 16 + AsciiHexDigit(item[1]);
    out->push_back(static_cast<char>(value));
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

bool ParseData(const std::string& text, RegFileValue* value, std::string* problem) {
  if (text == "-") {
    value->remove = true;
    return true;
  }
  if (!text.empty() && text[0] == '"') {
    size_t pos = 0;
    std::string s;
    if (!ReadQuoted(text, &pos, &s, problem)) return false;
    if (!TrimRight(text.substr(pos)).empty()) {
      *problem = "unexpected text after the quoted value";
      return false;
    }
    value->type = REG_SZ;
    value->data = s;
    value->data.push_back('\0');
    return true;
  }
  std::string lower;
  for (char c : text) lower.push_back(AsciiLower(c));
  if (lower.rfind("dword:", 0) == 0) {
    std::string digits = TrimRight(text.substr(6));
    if (digits.empty() || digits.size() > 8) {
      *problem = "dword: needs 1 to 8 hex digits";
      return false;
    }
    uint32_t v = 0;
    for (char c : digits) {
      int d = AsciiHexDigit(c);
      if (d < 0) {
        *problem = "bad hex digit in dword value";
        return false;
      }
      v = v << 4 | static_cast<uint32_t>(d);
    }
    value->type = REG_DWORD;
    value->data = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                   static_cast<char>(v >> 24)};
    return true;
  }
  if (lower.rfind("hex:", 0) == 0) {
    value->type = REG_BINARY;
    return ParseHexList(text.substr(4), &value->data, problem);
  }
  if (lower.rfind("hex(", 0) == 0) {
    size_t close = text.find(')');
    if (close == std::string::npos || close == 4 || close > 12 || close + 1 >= text.size() ||
        text[close + 1] != ':') {
      *problem = "hex(N): needs a hex type number";
      return false;
    }
    uint32_t type = 0;
    for (size_t i = 4; i < close; ++i) {
      int d = AsciiHexDigit(text[i]);
      if (d < 0) {
        *problem = "bad hex digit in hex(N) type";
        return false;
      }
      type = type << 4 | static_cast<uint32_t>(d);
    }
    value->type = type;
    return ParseHexList(text.substr(close + 2), &value->data, problem);
  }
  *problem = "unknown value data (expected \"text\", dword:, hex:, hex(N): or -)";
  return false;
}

bool ParseKeyLine(const std::string& line, RegFileKey* key, std::string* problem) {
  std::string inner = line.substr(1, line.size() - 2);
  if (!inner.empty() && inner[0] == '-') {
    key->remove = true;
    inner.erase(0, 1);
  }
  size_t slash = inner.find('\\');
  std::string root = inner.substr(0, slash);
  bool found = false;
  for (const RootName& r : kRoots) {
    if (EqualNoCase(root, r.name) || EqualNoCase(root, r.short_name)) {
      key->root = r.root;
      found = true;
    }
  }
  if (!found) {
    *problem = "unknown root '" + root + "' (expected HKEY_CURRENT_USER or HKEY_CLASSES_ROOT)";
    return false;
  }
  key->path.clear();
  if (slash != std::string::npos) {
    std::string rest = inner.substr(slash + 1);
    size_t start = 0;
    size_t depth = 0;
    while (start <= rest.size()) {
      size_t next = rest.find('\\', start);
      if (next == std::string::npos) next = rest.size();
      std::string part = rest.substr(start, next - start);
      if (part.size() > kMaxKeyName) {
        *problem = "key name longer than 255 bytes";
        return false;
      }
      // The registry takes key names as C strings: a zero byte would cut the
      // path short, and a deletion would then walk the wrong tree.
      if (part.find('\0') != std::string::npos) {
        *problem = "key name holds a zero byte";
        return false;
      }
      if (!part.empty()) {
        if (++depth > kMaxKeyDepth) {
          *problem = "key more than " + std::to_string(kMaxKeyDepth) + " levels deep";
          return false;
        }
        key->path += (key->path.empty() ? "" : "\\") + part;
      }
      start = next + 1;
    }
  }
  if (key->remove && key->path.empty()) {
    *problem = "a root cannot be deleted";
    return false;
  }
  return true;
}

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

bool IsPlainText(const std::string& data) {
  if (data.empty() || data.back() != '\0') return false;
  for (size_t i = 0; i + 1 < data.size(); ++i) {
    char c = data[i];
    if (c == '\0' || c == '\r' || c == '\n') return false;
  }
  return true;
}

void AppendHex(std::string* out, const std::string& prefix, const std::string& data) {
  std::string line = prefix;
  size_t on_line = 0;
  for (size_t i = 0; i < data.size(); ++i) {
    char piece[4];
    std::snprintf(piece, sizeof piece, "%02x%s", static_cast<unsigned char>(data[i]),
                  i + 1 < data.size() ? "," : "");
    if (on_line > 0 && line.size() + std::strlen(piece) > kHexLineWidth) {
      *out += line + "\\\n";
      line = "  ";
      on_line = 0;
    }
    line += piece;
    ++on_line;
  }
  *out += line + "\n";
}

bool HasLineBreak(const std::string& s) {
  return s.find('\n') != std::string::npos || s.find('\r') != std::string::npos;
}

std::string StatusText(LSTATUS s) {
  switch (s) {
    case ERROR_ACCESS_DENIED:
      return "access denied";
    case ERROR_BADDB:
      return "the store is not a registry database";
    case ERROR_CANTOPEN:
      return "the store cannot be opened";
    case ERROR_CANTWRITE:
      return "the store cannot be written";
    case ERROR_CANTREAD:
      return "the store cannot be read";
    case ERROR_INVALID_PARAMETER:
      return "invalid name";
    default:
      return "registry error " + std::to_string(s);
  }
}

std::string Explain(LSTATUS s) {
  std::string problem = StoreProblem();
  return problem.empty() ? StatusText(s) : problem;
}

// Collects `path` and every key below it.
bool CollectKeys(HKEY root, const std::string& path, std::vector<std::string>* paths,
                 std::vector<std::string>* skipped, std::string* error) {
  HKEY key = nullptr;
  LSTATUS s = RegOpenKeyExA(root, path.empty() ? nullptr : path.c_str(), 0, KEY_READ, &key);
  if (s == ERROR_FILE_NOT_FOUND) return true;
  if (s != ERROR_SUCCESS) {
    *error = Explain(s);
    return false;
  }
  std::vector<std::string> children;
  char name[kMaxKeyName + 2];
  for (DWORD i = 0;; ++i) {
    DWORD size = sizeof name;
    s = RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (s == ERROR_NO_MORE_ITEMS) break;
    if (s != ERROR_SUCCESS) {
      RegCloseKey(key);
      *error = Explain(s);
      return false;
    }
    children.emplace_back(name, size);
  }
  RegCloseKey(key);
  for (const std::string& child : children) {
    std::string full = path.empty() ? child : path + "\\" + child;
    if (HasLineBreak(child)) {
      skipped->push_back(std::string(RootText(root)) + "\\" + full);
      continue;
    }
    paths->push_back(full);
    if (!CollectKeys(root, full, paths, skipped, error)) return false;
  }
  return true;
}

bool ReadValues(HKEY root, RegFileKey* out, std::vector<std::string>* skipped, std::string* error) {
  HKEY key = nullptr;
  LSTATUS s =
      RegOpenKeyExA(root, out->path.empty() ? nullptr : out->path.c_str(), 0, KEY_READ, &key);
  if (s == ERROR_FILE_NOT_FOUND) return true;  // gone meanwhile
  if (s != ERROR_SUCCESS) {
    *error = Explain(s);
    return false;
  }
  std::vector<char> name(kMaxValueName + 1);
  for (DWORD i = 0;; ++i) {
    DWORD name_size = static_cast<DWORD>(name.size());
    DWORD data_size = 0;
    s = RegEnumValueA(key, i, name.data(), &name_size, nullptr, nullptr, nullptr, &data_size);
    if (s == ERROR_NO_MORE_ITEMS) break;
    RegFileValue v;
    std::string data(data_size, '\0');
    if (s == ERROR_SUCCESS) {
      name_size = static_cast<DWORD>(name.size());
      s = RegEnumValueA(key, i, name.data(), &name_size, nullptr, &v.type,
                        reinterpret_cast<BYTE*>(data.data()), &data_size);
    }
    if (s != ERROR_SUCCESS) {
      RegCloseKey(key);
      *error = Explain(s);
      return false;
    }
    v.name.assign(name.data(), name_size);
    v.data = data.substr(0, data_size);
    if (HasLineBreak(v.name)) {
      skipped->push_back(std::string(RootText(root)) + "\\" + out->path + " value " +
                         Quote(v.name));
      continue;
    }
    out->values.push_back(std::move(v));
  }
  RegCloseKey(key);
  return true;
}

}  // namespace

bool ParseRegFile(const std::string& text, std::vector<RegFileKey>* keys, RegFileError* error) {
  keys->clear();
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  auto fail = [&](int line, const std::string& message) {
    error->line = line;
    error->message = message;
    return false;
  };
  size_t i = 0;
  while (i < lines.size() && TrimRight(TrimLeft(lines[i])).empty()) ++i;
  std::string first = i < lines.size() ? TrimRight(lines[i]) : "";
  if (first.rfind("\xEF\xBB\xBF", 0) == 0) first.erase(0, 3);
  if (first != kHeader) {
    return fail(i < lines.size() ? static_cast<int>(i) + 1 : 1,
                "not a REGEDIT4 file: the first line must be REGEDIT4");
  }
  RegFileKey* current = nullptr;
  for (++i; i < lines.size(); ++i) {
    int number = static_cast<int>(i) + 1;
    std::string line = TrimRight(TrimLeft(lines[i]));
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.back() != ']') return fail(number, "key line without its closing ]");
      RegFileKey key;
      key.line = number;
      std::string problem;
      if (!ParseKeyLine(line, &key, &problem)) return fail(number, problem);
      keys->push_back(std::move(key));
      current = &keys->back();
      continue;
    }
    if (line[0] != '"' && line[0] != '@') {
      return fail(number, "expected a [key], a \"name\"= or @= value, or a ; comment");
    }
    // A value line ending in a backslash goes on in the next line.
    while (!line.empty() && line.back() == '\\' && i + 1 < lines.size()) {
      line.pop_back();
      line += TrimRight(TrimLeft(lines[++i]));
    }
    if (!current) return fail(number, "value before any [key] line");
    if (current->remove) return fail(number, "value under a key being deleted");
    RegFileValue value;
    value.line = number;
    size_t pos = 0;
    std::string problem;
    if (line[0] == '@') {
      pos = 1;
    } else {
      if (!ReadQuoted(line, &pos, &value.name, &problem)) return fail(number, problem);
      if (value.name.size() > kMaxValueName)
        return fail(number, "value name longer than 16383 bytes");
      if (value.name.find('\0') != std::string::npos)
        return fail(number, "value name holds a zero byte");
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size() || line[pos] != '=') return fail(number, "expected = after the name");
    std::string data = TrimLeft(line.substr(pos + 1));
    if (!ParseData(data, &value, &problem)) return fail(number, problem);
    current->values.push_back(std::move(value));
  }
  return true;
}

std::string FormatRegFile(const std::vector<RegFileKey>& keys) {
  std::string out = std::string(kHeader) + "\n\n";
  for (const RegFileKey& key : keys) {
    out += "[";
    if (key.remove) out += "-";
    out += RootText(key.root);
    if (!key.path.empty()) out += "\\" + key.path;
    out += "]\n";
    for (const RegFileValue& v : key.values) {
      std::string name = v.name.empty() ? "@" : Quote(v.name);
      if (v.remove) {
        out += name + "=-\n";
      } else if (v.type == REG_SZ && IsPlainText(v.data)) {
        out += name + "=" + Quote(v.data.substr(0, v.data.size() - 1)) + "\n";
      } else if (v.type == REG_DWORD && v.data.size() == 4) {
        uint32_t n = 0;
        for (size_t i = 4; i-- > 0;) n = n << 8 | static_cast<unsigned char>(v.data[i]);
        char buffer[24];
        std::snprintf(buffer, sizeof buffer, "=dword:%08x\n", n);
        out += name + buffer;
      } else if (v.type == REG_BINARY) {
        AppendHex(&out, name + "=hex:", v.data);
      } else {
        char prefix[24];
        std::snprintf(prefix, sizeof prefix, "=hex(%x):", v.type);
        AppendHex(&out, name + prefix, v.data);
      }
    }
    out += "\n";
  }
  return out;
}

bool ReadRegistry(std::vector<RegFileKey>* keys, std::vector<std::string>* skipped,
                  std::string* error) {
  keys->clear();
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_CLASSES_ROOT}) {
    std::vector<std::string> paths;
    if (!CollectKeys(root, "", &paths, skipped, error)) return false;
    std::sort(paths.begin(), paths.end(), LessNoCase);
    RegFileKey top;
    top.root = root;
    if (!ReadValues(root, &top, skipped, error)) return false;
    if (!top.values.empty()) keys->push_back(std::move(top));
    for (const std::string& path : paths) {
      RegFileKey key;
      key.root = root;
      key.path = path;
      if (!ReadValues(root, &key, skipped, error)) return false;
      keys->push_back(std::move(key));
    }
  }
  return true;
}

bool ApplyRegFile(const std::vector<RegFileKey>& keys, RegFileError* error) {
  ScopedRegTransaction transaction;
  if (!transaction.owned()) {
    error->line = 0;
    error->message = Explain(transaction.begin_status());
    return false;
  }
  // Every failure below leaves the scope without a commit: nothing lands.
  LSTATUS s = ERROR_SUCCESS;
  auto fail = [&](int line, const std::string& what, LSTATUS status) {
    error->line = line;
    error->message = what + ": " + Explain(status);
    return false;
  };
  for (const RegFileKey& key : keys) {
    if (key.remove) {
      // A key that is not there is no failure.
      s = RegDeleteTreeA(key.root, key.path.c_str());
      if (s != ERROR_SUCCESS && s != ERROR_FILE_NOT_FOUND) {
        return fail(key.line, "cannot delete the key", s);
      }
      continue;
    }
    HKEY handle = nullptr;
    s = RegCreateKeyExA(key.root, key.path.empty() ? nullptr : key.path.c_str(), 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &handle, nullptr);
    if (s != ERROR_SUCCESS) return fail(key.line, "cannot create the key", s);
    for (const RegFileValue& v : key.values) {
      if (v.remove) {
        s = RegDeleteValueA(handle, v.name.c_str());
        if (s == ERROR_FILE_NOT_FOUND) s = ERROR_SUCCESS;
      } else {
        s = RegSetValueExA(handle, v.name.c_str(), 0, v.type,
                           reinterpret_cast<const BYTE*>(v.data.data()),
                           static_cast<DWORD>(v.data.size()));
      }
      if (s != ERROR_SUCCESS) {
        RegCloseKey(handle);
        return fail(v.line, "cannot write the value", s);
      }
    }
    RegCloseKey(handle);
  }
  s = transaction.Commit();
  if (s != ERROR_SUCCESS) {
    error->line = 0;
    error->message = "cannot commit: " + Explain(s);
    return false;
  }
  return true;
}

}  // namespace velquor::host
