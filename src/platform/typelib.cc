#include "platform/typelib.h"

HRESULT LoadTypeLib(LPCOLESTR, ITypeLib** lib) {
  if (lib == nullptr) return E_POINTER;
  *lib = nullptr;
  return TYPE_E_CANTLOADLIBRARY;
}

HRESULT RegisterTypeLib(ITypeLib*, LPCOLESTR, LPCOLESTR) { return E_NOTIMPL; }

HRESULT LoadRegTypeLib(REFGUID, WORD, WORD, LCID, ITypeLib** lib) {
  if (lib == nullptr) return E_POINTER;
  *lib = nullptr;
  return TYPE_E_LIBNOTREGISTERED;
}

HRESULT UnRegisterTypeLib(REFGUID, WORD, WORD, LCID, SYSKIND) {
  return TYPE_E_LIBNOTREGISTERED;
}

BSTR SysAllocString(const OLECHAR*) { return nullptr; }
void SysFreeString(BSTR) {}
UINT SysStringLen(BSTR) { return 0; }

namespace velquor {

HRESULT LoadTypeLibFromText(const std::string&, ITypeLib** lib) {
  if (lib == nullptr) return E_POINTER;
  *lib = nullptr;
  return TYPE_E_CANTLOADLIBRARY;
}

std::string GuidToString(const GUID&) { return std::string(); }
bool ParseGuid(const std::string&, GUID*) { return false; }

}  // namespace velquor
