#include "platform/registrar.h"

#include "velquor/types.h"

HRESULT CoCreateInstance(REFCLSID, IUnknown*, DWORD, REFIID, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  return REGDB_E_CLASSNOTREG;
}

namespace velquor {

void ReplacementMap::Add(const std::string& name, const std::string& value) {
  entries_.emplace_back(name, value);
}

const std::string* ReplacementMap::Find(const std::string&) const { return nullptr; }

bool ExpandReplacements(const std::string& script, const ReplacementMap&,
                        std::string* out, std::string*) {
  *out = script;
  return true;
}

bool ParseRegistrarScript(const std::string&, std::vector<RegistrarRoot>*,
                          std::string*) {
  return false;
}

HRESULT RunRegistrarScript(const std::string&, const ReplacementMap&, bool) {
  return E_NOTIMPL;
}

}  // namespace velquor
