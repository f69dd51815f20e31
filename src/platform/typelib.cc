#include "platform/typelib.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "platform/codepage.h"
#include "platform/error_info.h"
#include "platform/module.h"
#include "platform/registry.h"
#include "platform/resources.h"

namespace velquor {
namespace {

constexpr char kMagic[] = "VELQUOR-TYPELIB 1";
// Limits that no real description comes near; they bound work on bad input.
constexpr std::size_t kMaxText = 64 * 1024;
constexpr std::size_t kMaxTypes = 256;
constexpr long kMaxFile = 1 << 20;

constexpr INT IMPLTYPEFLAG_FDEFAULT = 1;

// ---------------------------------------------------------------------------
// The parsed description.

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
  std::string inherits;        // interfaces
  std::string default_iface;   // classes
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

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

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
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                    (c >= '0' && c <= '9') || c == '_';
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

bool ParseUnsigned(const std::string& s, uint32_t max, uint32_t* out) {
  if (s.empty()) return false;
  uint64_t value = 0;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    for (std::size_t i = 2; i < s.size(); ++i) {
      int d = -1;
      const char c = s[i];
      if (c >= '0' && c <= '9') d = c - '0';
      if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
      if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
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

bool ParseTypeFlags(const std::string& s, unsigned* flags) {
  struct Name {
    const char* text;
    unsigned flag;
  };
  static constexpr Name kNames[] = {
      {"dual", kDual},           {"oleautomation", kOleAutomation},
      {"dispatchable", kDispatchable}, {"creatable", kCreatable},
      {"hidden", kHidden},       {"nonextensible", kNonExtensible},
      {"restricted", kRestricted}};
  *flags = 0;
  std::size_t pos = 0;
  bool any = false;
  while (pos < s.size()) {
    while (pos < s.size() && IsSpace(s[pos])) ++pos;
    std::size_t end = pos;
    while (end < s.size() && !IsSpace(s[end])) ++end;
    if (end == pos) break;
    const std::string word = s.substr(pos, end - pos);
    bool known = false;
    for (const Name& n : kNames) {
      if (word == n.text) {
        *flags |= n.flag;
        known = true;
      }
    }
    if (!known) return false;
    any = true;
    pos = end;
  }
  return any;
}

bool ParseLibFlags(const std::string& s, WORD* flags) {
  *flags = 0;
  std::size_t pos = 0;
  bool any = false;
  while (pos < s.size()) {
    while (pos < s.size() && IsSpace(s[pos])) ++pos;
    std::size_t end = pos;
    while (end < s.size() && !IsSpace(s[end])) ++end;
    if (end == pos) break;
    const std::string word = s.substr(pos, end - pos);
    if (word == "restricted") {
      *flags |= LIBFLAG_FRESTRICTED;
    } else if (word == "control") {
      *flags |= LIBFLAG_FCONTROL;
    } else if (word == "hidden") {
      *flags |= LIBFLAG_FHIDDEN;
    } else {
      return false;
    }
    any = true;
    pos = end;
  }
  return any;
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
  if (keyword == "version") return (lib->has_version = ParseVersion(rest, &lib->major, &lib->minor));
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

int FindType(const LibDesc& lib, const std::string& name) {
  for (std::size_t i = 0; i < lib.types.size(); ++i) {
    if (lib.types[i].name == name) return static_cast<int>(i);
  }
  return -1;
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
      type.kind = (type.section == "dispinterface" || (type.flags & kDual) != 0)
                      ? TKIND_DISPATCH
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

bool ParseDescription(const std::string& text, LibDesc* lib) {
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

// ---------------------------------------------------------------------------
// Objects.

class TypeLib;

class TypeInfo final : public ITypeInfo {
 public:
  TypeInfo(TypeLib* lib, UINT index) : lib_(lib), index_(index) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  HRESULT STDMETHODCALLTYPE GetTypeAttr(TYPEATTR** attr) override {
    if (attr != nullptr) *attr = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** comp) override {
    if (comp != nullptr) *comp = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetFuncDesc(UINT, FUNCDESC** desc) override {
    if (desc == nullptr) return E_INVALIDARG;
    *desc = nullptr;
    return TYPE_E_ELEMENTNOTFOUND;  // the described types add no members
  }
  HRESULT STDMETHODCALLTYPE GetVarDesc(UINT, VARDESC** desc) override {
    if (desc == nullptr) return E_INVALIDARG;
    *desc = nullptr;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetNames(MEMBERID, BSTR* names, UINT, UINT* count) override {
    if (names == nullptr || count == nullptr) return E_INVALIDARG;
    *count = 0;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetRefTypeOfImplType(UINT index, HREFTYPE* ref) override;
  HRESULT STDMETHODCALLTYPE GetImplTypeFlags(UINT index, INT* flags) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(LPOLESTR* names, UINT count, MEMBERID* ids) override {
    if (count > 0 && (names == nullptr || ids == nullptr)) return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(PVOID instance, MEMBERID, WORD, DISPPARAMS*, VARIANT*,
                                   EXCEPINFO*, UINT*) override {
    if (instance == nullptr) return E_INVALIDARG;
    return DISP_E_MEMBERNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc,
                                             DWORD* help_context, BSTR* help_file) override;
  HRESULT STDMETHODCALLTYPE GetDllEntry(MEMBERID, INVOKEKIND, BSTR* dll_name, BSTR* name,
                                        WORD* ordinal) override {
    if (dll_name != nullptr) *dll_name = nullptr;
    if (name != nullptr) *name = nullptr;
    if (ordinal != nullptr) *ordinal = 0;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetRefTypeInfo(HREFTYPE ref, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE AddressOfMember(MEMBERID, INVOKEKIND, PVOID* address) override {
    if (address != nullptr) *address = nullptr;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, PVOID* object) override {
    if (object == nullptr) return E_INVALIDARG;
    *object = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetMops(MEMBERID, BSTR* mops) override {
    if (mops == nullptr) return E_INVALIDARG;
    *mops = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetContainingTypeLib(ITypeLib** lib, UINT* index) override;
  void STDMETHODCALLTYPE ReleaseTypeAttr(TYPEATTR*) override {}
  void STDMETHODCALLTYPE ReleaseFuncDesc(FUNCDESC*) override {}
  void STDMETHODCALLTYPE ReleaseVarDesc(VARDESC*) override {}

  const TypeDesc& Desc() const;

 private:
  TypeLib* lib_;
  UINT index_;
  std::atomic<ULONG> count_{0};
};

class TypeLib final : public ITypeLib {
 public:
  explicit TypeLib(LibDesc desc) : desc_(std::move(desc)) {
    for (UINT i = 0; i < desc_.types.size(); ++i) {
      infos_.push_back(std::make_unique<TypeInfo>(this, i));
    }
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_ITypeLib)) {
      return E_NOINTERFACE;
    }
    AddRef();
    *ppv = static_cast<ITypeLib*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG count = --count_;
    if (count == 0) delete this;
    return count;
  }

  UINT STDMETHODCALLTYPE GetTypeInfoCount() override {
    return static_cast<UINT>(infos_.size());
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, ITypeInfo** info) override {
    if (info == nullptr) return E_INVALIDARG;
    *info = nullptr;
    if (index >= infos_.size()) return TYPE_E_ELEMENTNOTFOUND;
    *info = HandOut(index);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoType(UINT index, TYPEKIND* kind) override {
    if (kind == nullptr) return E_INVALIDARG;
    if (index >= infos_.size()) return TYPE_E_ELEMENTNOTFOUND;
    *kind = desc_.types[index].kind;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** info) override {
    if (info == nullptr) return E_INVALIDARG;
    *info = nullptr;
    for (UINT i = 0; i < desc_.types.size(); ++i) {
      if (IsEqualGUID(desc_.types[i].guid, guid)) {
        *info = HandOut(i);
        return S_OK;
      }
    }
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetLibAttr(TLIBATTR** attr) override {
    if (attr == nullptr) return E_INVALIDARG;
    *attr = new (std::nothrow) TLIBATTR{desc_.guid,  desc_.lcid,  desc_.syskind,
                                        desc_.major, desc_.minor, desc_.lib_flags};
    return *attr != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** comp) override {
    if (comp != nullptr) *comp = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetDocumentation(INT index, BSTR* name, BSTR* doc,
                                             DWORD* help_context, BSTR* help_file) override {
    if (index < -1 || (index >= 0 && static_cast<std::size_t>(index) >= infos_.size())) {
      return TYPE_E_ELEMENTNOTFOUND;
    }
    const std::string& n = index < 0 ? desc_.name : desc_.types[static_cast<std::size_t>(index)].name;
    const std::string& d = index < 0 ? desc_.help : desc_.types[static_cast<std::size_t>(index)].help;
    return Document(n, d, name, doc, help_context, help_file);
  }
  HRESULT STDMETHODCALLTYPE IsName(LPOLESTR name, ULONG, BOOL* found) override {
    if (name == nullptr || found == nullptr) return E_INVALIDARG;
    const std::string wanted = AnsiFromWide(name);
    *found = EqualsNoCase(wanted, desc_.name) ? 1 : 0;
    for (const TypeDesc& type : desc_.types) {
      if (EqualsNoCase(wanted, type.name)) *found = 1;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE FindName(LPOLESTR name, ULONG, ITypeInfo** infos, MEMBERID* ids,
                                     USHORT* found) override {
    if (name == nullptr || infos == nullptr || ids == nullptr || found == nullptr ||
        *found == 0) {
      return E_INVALIDARG;
    }
    const std::string wanted = AnsiFromWide(name);
    USHORT n = 0;
    for (UINT i = 0; i < desc_.types.size() && n < *found; ++i) {
      if (EqualsNoCase(wanted, desc_.types[i].name)) {
        infos[n] = HandOut(i);
        ids[n] = MEMBERID_NIL;
        ++n;
      }
    }
    *found = n;
    return S_OK;
  }
  void STDMETHODCALLTYPE ReleaseTLibAttr(TLIBATTR* attr) override { delete attr; }

  const LibDesc& Desc() const { return desc_; }

  static HRESULT Document(const std::string& n, const std::string& d, BSTR* name, BSTR* doc,
                          DWORD* help_context, BSTR* help_file) {
    if (name != nullptr) *name = SysAllocString(WideFromAnsi(n).c_str());
    if (doc != nullptr) *doc = SysAllocString(WideFromAnsi(d).c_str());
    if (help_context != nullptr) *help_context = 0;
    if (help_file != nullptr) *help_file = nullptr;
    if ((name != nullptr && *name == nullptr) || (doc != nullptr && *doc == nullptr)) {
      if (name != nullptr) {
        SysFreeString(*name);
        *name = nullptr;
      }
      if (doc != nullptr) {
        SysFreeString(*doc);
        *doc = nullptr;
      }
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }

  ITypeInfo* HandOut(UINT index) {
    TypeInfo* info = infos_[index].get();
    info->AddRef();
    return info;
  }

 private:
  std::atomic<ULONG> count_{0};
  LibDesc desc_;
  std::vector<std::unique_ptr<TypeInfo>> infos_;
};

HRESULT TypeInfo::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_ITypeInfo)) {
    return E_NOINTERFACE;
  }
  AddRef();
  *ppv = static_cast<ITypeInfo*>(this);
  return S_OK;
}

// A type information object in use keeps its library alive: the first
// reference takes one on the library, the last gives it back.
ULONG TypeInfo::AddRef() {
  const ULONG count = ++count_;
  if (count == 1) lib_->AddRef();
  return count;
}

ULONG TypeInfo::Release() {
  const ULONG count = --count_;
  if (count == 0) lib_->Release();
  return count;
}

const TypeDesc& TypeInfo::Desc() const { return lib_->Desc().types[index_]; }

HRESULT TypeInfo::GetRefTypeOfImplType(UINT index, HREFTYPE* ref) {
  if (ref == nullptr) return E_INVALIDARG;
  const TypeDesc& desc = Desc();
  const std::string& target = desc.kind == TKIND_COCLASS ? desc.default_iface : desc.inherits;
  const int found = index == 0 ? FindType(lib_->Desc(), target) : -1;
  if (found < 0) return TYPE_E_ELEMENTNOTFOUND;
  *ref = static_cast<HREFTYPE>(found);
  return S_OK;
}

HRESULT TypeInfo::GetImplTypeFlags(UINT index, INT* flags) {
  if (flags == nullptr) return E_INVALIDARG;
  if (Desc().kind != TKIND_COCLASS || index != 0) return TYPE_E_ELEMENTNOTFOUND;
  *flags = IMPLTYPEFLAG_FDEFAULT;
  return S_OK;
}

HRESULT TypeInfo::GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc, DWORD* help_context,
                                   BSTR* help_file) {
  if (memid != MEMBERID_NIL) return TYPE_E_ELEMENTNOTFOUND;
  return TypeLib::Document(Desc().name, Desc().help, name, doc, help_context, help_file);
}

HRESULT TypeInfo::GetRefTypeInfo(HREFTYPE ref, ITypeInfo** info) {
  if (info == nullptr) return E_INVALIDARG;
  *info = nullptr;
  if (ref >= lib_->GetTypeInfoCount()) return TYPE_E_ELEMENTNOTFOUND;
  *info = lib_->HandOut(ref);
  return S_OK;
}

HRESULT TypeInfo::GetContainingTypeLib(ITypeLib** lib, UINT* index) {
  if (lib == nullptr) return E_INVALIDARG;
  lib_->AddRef();
  *lib = lib_;
  if (index != nullptr) *index = index_;
  return S_OK;
}

// ---------------------------------------------------------------------------
// Registry helpers.

LSTATUS WriteString(const std::string& path, const char* name, const std::string& value) {
  ScopedKey key;
  LSTATUS status = RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0,
                                   KEY_ALL_ACCESS, nullptr, key.Out(), nullptr);
  if (status != ERROR_SUCCESS) return status;
  return RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1));
}

// The text of a REG_SZ value without its terminating zero; false if absent.
bool ReadString(const std::string& path, const char* name, std::string* value) {
  ScopedKey key;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE, key.Out()) !=
      ERROR_SUCCESS) {
    return false;
  }
  std::string buffer(kMaxPathBuffer, '\0');
  DWORD size = static_cast<DWORD>(buffer.size());
  if (RegQueryValueExA(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()),
                       &size) != ERROR_SUCCESS) {
    return false;
  }
  buffer.resize(size);
  while (!buffer.empty() && buffer.back() == '\0') buffer.pop_back();
  *value = buffer;
  return true;
}

std::vector<std::string> Subkeys(const std::string& path) {
  std::vector<std::string> names;
  ScopedKey key;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.Out()) != ERROR_SUCCESS) {
    return names;
  }
  for (DWORD index = 0;; ++index) {
    char name[1024];
    DWORD size = sizeof name;
    if (RegEnumKeyExA(key.get(), index, name, &size, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    names.emplace_back(name, size);
  }
  return names;
}

// Deletes `path` below HKEY_CLASSES_ROOT with everything beneath it; a key
// that is not there is no failure.
LSTATUS DeleteTree(const std::string& path) {
  const LSTATUS status = RegDeleteTreeA(HKEY_CLASSES_ROOT, path.c_str());
  return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", value);
  return text;
}

std::string VersionKey(const GUID& libid, WORD major, WORD minor) {
  return "TypeLib\\" + GuidToString(libid) + "\\" + Hex(major) + "." + Hex(minor);
}

const char* SysKindName(SYSKIND kind) {
  switch (kind) {
    case 0: return "win16";
    case 2: return "mac";
    case 3: return "win64";
    default: return "win32";
  }
}

std::string FromBstr(BSTR text) {
  std::string out = AnsiFromWide(text);
  SysFreeString(text);
  return out;
}

// True for the interfaces that get an Interface key: dispatch interfaces
// (dual ones included) and automation-compatible vtable interfaces.
bool IsAutomationInterface(ITypeLib* lib, UINT index) {
  TYPEKIND kind = TKIND_COCLASS;
  if (FAILED(lib->GetTypeInfoType(index, &kind))) return false;
  if (kind == TKIND_DISPATCH) return true;
  if (kind != TKIND_INTERFACE) return false;
  auto* ours = dynamic_cast<TypeLib*>(lib);
  return ours != nullptr && (ours->Desc().types[index].flags & kOleAutomation) != 0;
}

bool EndsWithNoCase(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && EqualsNoCase(text.substr(text.size() - tail.size()), tail);
}

HRESULT LoadFromFile(const std::string& path, ITypeLib** lib) {
  FILE* f = std::fopen(path.c_str(), "rbe");
  if (f == nullptr) return TYPE_E_CANTLOADLIBRARY;
  std::string text;
  char buffer[4096];
  std::size_t n = 0;
  bool ok = true;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
    text.append(buffer, n);
    if (text.size() > static_cast<std::size_t>(kMaxFile)) {
      ok = false;
      break;
    }
  }
  if (std::ferror(f)) ok = false;
  std::fclose(f);
  if (!ok) return TYPE_E_CANTLOADLIBRARY;
  return LoadTypeLibFromText(text, lib);
}

}  // namespace

HRESULT LoadTypeLibFromText(const std::string& text, ITypeLib** lib) {
  if (lib == nullptr) return E_POINTER;
  *lib = nullptr;
  LibDesc desc;
  if (!ParseDescription(text, &desc)) return TYPE_E_CANTLOADLIBRARY;
  auto* loaded = new (std::nothrow) TypeLib(std::move(desc));
  if (loaded == nullptr) return E_OUTOFMEMORY;
  loaded->AddRef();
  *lib = loaded;
  return S_OK;
}

std::string GuidToString(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

bool ParseGuid(const std::string& text, GUID* guid) {
  std::string s = text;
  if (s.size() == 38 && s.front() == '{' && s.back() == '}') s = s.substr(1, 36);
  if (s.size() != 36 || s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') {
    return false;
  }
  uint8_t bytes[16];
  int n = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) continue;
    int d = -1;
    const char c = s[i];
    if (c >= '0' && c <= '9') d = c - '0';
    if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    if (d < 0) return false;
    if (n % 2 == 0) {
      bytes[n / 2] = static_cast<uint8_t>(d << 4);
    } else {
      bytes[n / 2] = static_cast<uint8_t>(bytes[n / 2] | d);
    }
    ++n;
  }
  guid->Data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) |
                (uint32_t{bytes[2]} << 8) | bytes[3];
  guid->Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  guid->Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
  std::memcpy(guid->Data4, bytes + 8, 8);
  return true;
}

}  // namespace velquor

using velquor::AnsiFromWide;

HRESULT LoadTypeLib(LPCOLESTR file, ITypeLib** lib) {
  if (lib == nullptr) return E_POINTER;
  *lib = nullptr;
  if (file == nullptr) return E_POINTER;
  const std::string path = AnsiFromWide(file);
  const void* self = reinterpret_cast<const void*>(&LoadTypeLib);
  if (velquor::PathNamesModuleOf(path, self)) {
    const HMODULE module = velquor::ModuleOfAddress(self);
    HRSRC res = FindResourceA(module, MAKEINTRESOURCEA(1), "TYPELIB");
    const void* data = res != nullptr ? LockResource(LoadResource(module, res)) : nullptr;
    if (data == nullptr) return TYPE_E_CANTLOADLIBRARY;
    return velquor::LoadTypeLibFromText(
        std::string(static_cast<const char*>(data), SizeofResource(module, res)), lib);
  }
  if (velquor::EndsWithNoCase(path, ".tlb")) return velquor::LoadFromFile(path, lib);
  return TYPE_E_CANTLOADLIBRARY;
}

HRESULT RegisterTypeLib(ITypeLib* lib, LPCOLESTR full_path, LPCOLESTR help_dir) {
  using velquor::WriteString;
  if (lib == nullptr || full_path == nullptr) return E_INVALIDARG;
  TLIBATTR* attr = nullptr;
  HRESULT hr = lib->GetLibAttr(&attr);
  if (FAILED(hr)) return hr;
  const TLIBATTR a = *attr;
  lib->ReleaseTLibAttr(attr);
  BSTR name = nullptr;
  BSTR doc = nullptr;
  hr = lib->GetDocumentation(-1, &name, &doc, nullptr, nullptr);
  if (FAILED(hr)) return hr;
  const std::string lib_name = velquor::FromBstr(name);
  const std::string lib_doc = velquor::FromBstr(doc);

  const std::string libid = velquor::GuidToString(a.guid);
  const std::string version = velquor::Hex(a.wMajorVerNum) + "." + velquor::Hex(a.wMinorVerNum);
  const std::string base = velquor::VersionKey(a.guid, a.wMajorVerNum, a.wMinorVerNum);

  // Inside a caller's transaction the caller decides what is kept.
  const bool own_transaction = velquor::RegBeginTransaction() == ERROR_SUCCESS;
  LSTATUS status = WriteString(base, nullptr, lib_doc.empty() ? lib_name : lib_doc);
  if (status == ERROR_SUCCESS) {
    status = WriteString(base + "\\" + velquor::Hex(a.lcid) + "\\" + velquor::SysKindName(a.syskind),
                         nullptr, AnsiFromWide(full_path));
  }
  if (status == ERROR_SUCCESS) {
    status = WriteString(base + "\\FLAGS", nullptr, std::to_string(a.wLibFlags));
  }
  if (status == ERROR_SUCCESS) {
    status = WriteString(base + "\\HELPDIR", nullptr, AnsiFromWide(help_dir));
  }
  for (UINT i = 0; status == ERROR_SUCCESS && i < lib->GetTypeInfoCount(); ++i) {
    if (!velquor::IsAutomationInterface(lib, i)) continue;
    ITypeInfo* info = nullptr;
    if (FAILED(lib->GetTypeInfo(i, &info))) continue;
    BSTR type_name = nullptr;
    const HRESULT doc_hr = info->GetDocumentation(MEMBERID_NIL, &type_name, nullptr, nullptr, nullptr);
    info->Release();
    if (FAILED(doc_hr)) continue;
    // The interface identifier is not on the public interface without the
    // type attributes; take it from the description when it is ours.
    auto* ours = dynamic_cast<velquor::TypeLib*>(lib);
    if (ours == nullptr) {
      SysFreeString(type_name);
      continue;
    }
    const std::string key = "Interface\\" + velquor::GuidToString(ours->Desc().types[i].guid);
    status = WriteString(key, nullptr, velquor::FromBstr(type_name));
    if (status == ERROR_SUCCESS) {
      status = WriteString(key + "\\ProxyStubClsid32", nullptr,
                           velquor::GuidToString(CLSID_PSOAInterface));
    }
    if (status == ERROR_SUCCESS) status = WriteString(key + "\\TypeLib", nullptr, libid);
    if (status == ERROR_SUCCESS) status = WriteString(key + "\\TypeLib", "Version", version);
  }
  if (own_transaction) {
    if (status == ERROR_SUCCESS) {
      status = velquor::RegCommitTransaction();
      if (status != ERROR_SUCCESS) velquor::RegRollbackTransaction();
    } else {
      velquor::RegRollbackTransaction();
    }
  }
  return status == ERROR_SUCCESS ? S_OK : TYPE_E_REGISTRYACCESS;
}

namespace {

// The registered version key of `libid` with `major` and the highest minor
// version >= `minor`; "" when none.
std::string FindVersionKey(REFGUID libid, WORD major, WORD minor) {
  const std::string lib_key = "TypeLib\\" + velquor::GuidToString(libid);
  int best = -1;
  for (const std::string& name : velquor::Subkeys(lib_key)) {
    WORD maj = 0;
    WORD min = 0;
    const std::size_t dot = name.find('.');
    if (dot == std::string::npos) continue;
    uint32_t a = 0;
    uint32_t b = 0;
    if (!velquor::ParseUnsigned("0x" + name.substr(0, dot), 0xFFFF, &a) ||
        !velquor::ParseUnsigned("0x" + name.substr(dot + 1), 0xFFFF, &b)) {
      continue;
    }
    maj = static_cast<WORD>(a);
    min = static_cast<WORD>(b);
    if (maj == major && min >= minor && static_cast<int>(min) > best) best = min;
  }
  if (best < 0) return std::string();
  return velquor::VersionKey(libid, major, static_cast<WORD>(best));
}

// The registered path for `lcid` under `version_key`, trying the locale, its
// primary language, then locale 0.
bool FindRegisteredPath(const std::string& version_key, LCID lcid, std::string* path,
                        std::string* lcid_key) {
  const LCID candidates[] = {lcid, lcid & 0x3FFu, 0};
  for (const LCID candidate : candidates) {
    for (const char* kind : {"win32", "win64"}) {
      const std::string key = version_key + "\\" + velquor::Hex(candidate);
      if (velquor::ReadString(key + "\\" + kind, nullptr, path) && !path->empty()) {
        if (lcid_key != nullptr) *lcid_key = key;
        return true;
      }
    }
  }
  return false;
}

}  // namespace

HRESULT LoadRegTypeLib(REFGUID libid, WORD major, WORD minor, LCID lcid, ITypeLib** lib) {
  if (lib == nullptr) return E_POINTER;
  *lib = nullptr;
  const std::string version_key = FindVersionKey(libid, major, minor);
  std::string path;
  if (version_key.empty() || !FindRegisteredPath(version_key, lcid, &path, nullptr)) {
    return TYPE_E_LIBNOTREGISTERED;
  }
  ITypeLib* loaded = nullptr;
  const HRESULT hr = LoadTypeLib(velquor::WideFromAnsi(path).c_str(), &loaded);
  if (FAILED(hr)) return hr;
  TLIBATTR* attr = nullptr;
  bool same = false;
  if (SUCCEEDED(loaded->GetLibAttr(&attr))) {
    same = IsEqualGUID(attr->guid, libid) && attr->wMajorVerNum == major;
    loaded->ReleaseTLibAttr(attr);
  }
  if (!same) {
    // The registration points at a file that holds another library.
    loaded->Release();
    return TYPE_E_LIBNOTREGISTERED;
  }
  *lib = loaded;
  return S_OK;
}

HRESULT UnRegisterTypeLib(REFGUID libid, WORD major, WORD minor, LCID lcid, SYSKIND) {
  const std::string version_key = velquor::VersionKey(libid, major, minor);
  std::string path;
  std::string lcid_key;
  if (!FindRegisteredPath(version_key, lcid, &path, &lcid_key)) return TYPE_E_LIBNOTREGISTERED;
  const std::string libid_text = velquor::GuidToString(libid);
  const bool own_transaction = velquor::RegBeginTransaction() == ERROR_SUCCESS;
  // The interfaces that name this library and version, whether or not the
  // registered file can still be loaded.
  const std::string version = velquor::Hex(major) + "." + velquor::Hex(minor);
  for (const std::string& iid : velquor::Subkeys("Interface")) {
    const std::string key = "Interface\\" + iid;
    std::string owner;
    std::string owner_version;
    if (velquor::ReadString(key + "\\TypeLib", nullptr, &owner) &&
        velquor::EqualsNoCase(owner, libid_text) &&
        velquor::ReadString(key + "\\TypeLib", "Version", &owner_version) &&
        owner_version == version) {
      velquor::DeleteTree(key);
    }
  }
  LSTATUS status = velquor::DeleteTree(lcid_key);
  bool other_locales = false;
  for (const std::string& name : velquor::Subkeys(version_key)) {
    if (!velquor::EqualsNoCase(name, "FLAGS") && !velquor::EqualsNoCase(name, "HELPDIR")) {
      other_locales = true;
    }
  }
  if (status == ERROR_SUCCESS && !other_locales) status = velquor::DeleteTree(version_key);
  const std::string lib_key = "TypeLib\\" + libid_text;
  if (status == ERROR_SUCCESS && velquor::Subkeys(lib_key).empty()) {
    status = RegDeleteKeyA(HKEY_CLASSES_ROOT, lib_key.c_str());
    if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
  }
  if (own_transaction) {
    if (status == ERROR_SUCCESS) {
      status = velquor::RegCommitTransaction();
      if (status != ERROR_SUCCESS) velquor::RegRollbackTransaction();
    } else {
      velquor::RegRollbackTransaction();
    }
  }
  return status == ERROR_SUCCESS ? S_OK : TYPE_E_REGISTRYACCESS;
}

// Text strings: a 32-bit byte count, the units, and a zero unit, as the
// original platform lays them out; the handle points at the first unit.
BSTR SysAllocString(const OLECHAR* text) {
  if (text == nullptr) return nullptr;
  std::size_t length = 0;
  while (text[length] != 0) ++length;
  if (length > 0x3FFFFFFF) return nullptr;
  const std::size_t bytes = sizeof(uint32_t) + (length + 1) * sizeof(OLECHAR);
  auto* block = static_cast<unsigned char*>(std::malloc(bytes));
  if (block == nullptr) return nullptr;
  const uint32_t count = static_cast<uint32_t>(length * sizeof(OLECHAR));
  std::memcpy(block, &count, sizeof count);
  auto* units = reinterpret_cast<OLECHAR*>(block + sizeof(uint32_t));
  std::memcpy(units, text, (length + 1) * sizeof(OLECHAR));
  return units;
}

void SysFreeString(BSTR text) {
  if (text == nullptr) return;
  std::free(reinterpret_cast<unsigned char*>(text) - sizeof(uint32_t));
}

UINT SysStringLen(BSTR text) {
  if (text == nullptr) return 0;
  uint32_t count = 0;
  std::memcpy(&count, reinterpret_cast<unsigned char*>(text) - sizeof(uint32_t), sizeof count);
  return count / sizeof(OLECHAR);
}
