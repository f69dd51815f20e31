#include "platform/typelib.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/ascii.h"
#include "platform/codepage.h"
#include "platform/error_info.h"
#include "platform/module.h"
#include "platform/reg_transaction.h"
#include "platform/registry.h"
#include "platform/typelib_objects.h"
#include "platform/typelib_text.h"

namespace velquor {
namespace {

LSTATUS WriteString(const std::string& path, const char* name, const std::string& value) {
  ScopedKey key;
  LSTATUS status = RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                   nullptr, key.Out(), nullptr);
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
    case 0:
      return "win16";
    case 2:
      return "mac";
    case 3:
      return "win64";
    default:
      return "win32";
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
  const LibDesc* ours = DescriptionOf(lib);
  return ours != nullptr && (ours->types[index].flags & kOleAutomation) != 0;
}

}  // namespace
}  // namespace velquor

using velquor::AnsiFromWide;

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
  velquor::ScopedRegTransaction transaction;
  LSTATUS status = WriteString(base, nullptr, lib_doc.empty() ? lib_name : lib_doc);
  if (status == ERROR_SUCCESS) {
    status =
        WriteString(base + "\\" + velquor::Hex(a.lcid) + "\\" + velquor::SysKindName(a.syskind),
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
    const HRESULT doc_hr =
        info->GetDocumentation(MEMBERID_NIL, &type_name, nullptr, nullptr, nullptr);
    info->Release();
    if (FAILED(doc_hr)) continue;
    // The interface identifier is not on the public interface without the
    // type attributes; take it from the description when it is ours.
    const velquor::LibDesc* ours = velquor::DescriptionOf(lib);
    if (ours == nullptr) {
      SysFreeString(type_name);
      continue;
    }
    const std::string key = "Interface\\" + velquor::GuidToString(ours->types[i].guid);
    status = WriteString(key, nullptr, velquor::FromBstr(type_name));
    if (status == ERROR_SUCCESS) {
      status = WriteString(key + "\\ProxyStubClsid32", nullptr,
                           velquor::GuidToString(CLSID_PSOAInterface));
    }
    if (status == ERROR_SUCCESS) status = WriteString(key + "\\TypeLib", nullptr, libid);
    if (status == ERROR_SUCCESS) status = WriteString(key + "\\TypeLib", "Version", version);
  }
  if (status == ERROR_SUCCESS) status = transaction.Commit();
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
  velquor::ScopedRegTransaction transaction;
  // The interfaces that name this library and version, whether or not the
  // registered file can still be loaded.
  const std::string version = velquor::Hex(major) + "." + velquor::Hex(minor);
  for (const std::string& iid : velquor::Subkeys("Interface")) {
    const std::string key = "Interface\\" + iid;
    std::string owner;
    std::string owner_version;
    if (velquor::ReadString(key + "\\TypeLib", nullptr, &owner) &&
        velquor::AsciiEqualsNoCase(owner, libid_text) &&
        velquor::ReadString(key + "\\TypeLib", "Version", &owner_version) &&
        owner_version == version) {
      velquor::DeleteTree(key);
    }
  }
  LSTATUS status = velquor::DeleteTree(lcid_key);
  bool other_locales = false;
  for (const std::string& name : velquor::Subkeys(version_key)) {
    if (!velquor::AsciiEqualsNoCase(name, "FLAGS") &&
        !velquor::AsciiEqualsNoCase(name, "HELPDIR")) {
      other_locales = true;
    }
  }
  if (status == ERROR_SUCCESS && !other_locales) status = velquor::DeleteTree(version_key);
  const std::string lib_key = "TypeLib\\" + libid_text;
  if (status == ERROR_SUCCESS && velquor::Subkeys(lib_key).empty()) {
    status = RegDeleteKeyA(HKEY_CLASSES_ROOT, lib_key.c_str());
    if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
  }
  if (status == ERROR_SUCCESS) status = transaction.Commit();
  return status == ERROR_SUCCESS ? S_OK : TYPE_E_REGISTRYACCESS;
}
