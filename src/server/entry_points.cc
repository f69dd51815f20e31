#include "server/entry_points.h"

#include "server/class_factory.h"
#include "server/nubrix_aggregate.h"
#include "server/registration.h"

namespace velquor {
namespace {

constinit ObjectMapEntry g_object_map[] = {
    {&CLSID_IENubrix, UpdateRegistryFromResource, CreateClassFactory, CreateFilterInstance,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

ObjectMapEntry* LibraryObjectMap() { return g_object_map; }

}  // namespace velquor

#if defined(_WIN32)
// Exported by name through velquor.def.
#define VELQUOR_EXPORT extern "C"
#else
#define VELQUOR_EXPORT extern "C" __attribute__((visibility("default")))
#endif

VELQUOR_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  return velquor::ModuleGetClassObject(clsid, riid, ppv);
}

VELQUOR_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow() { return velquor::ModuleCanUnloadNow(); }

// Registration builds paths and scripts on the heap; nothing may leave the
// library as an exception, so a failed allocation becomes a result code.
VELQUOR_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer() {
  try {
    for (velquor::ObjectMapEntry* e = velquor::Module().object_map;
         e != nullptr && e->clsid != nullptr; ++e) {
      HRESULT hr = e->update_registry(true);
      if (FAILED(hr)) return hr;
    }
    return velquor::RegisterServerTypeLib();
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

VELQUOR_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer() {
  for (velquor::ObjectMapEntry* e = velquor::Module().object_map;
       e != nullptr && e->clsid != nullptr; ++e) {
    try {
      e->update_registry(false);
    } catch (...) {
      // Unregistration ignores every failure.
    }
  }
  return S_OK;
}
