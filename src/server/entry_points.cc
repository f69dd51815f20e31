#include "server/entry_points.h"

#include "server/class_factory.h"
#include "server/nubrix_filter.h"
#include "server/registration.h"

namespace velquor {
namespace {

constinit ObjectMapEntry g_object_map[] = {
    {&CLSID_IENubrix, UpdateRegistryFromResource, CreateClassFactory,
     CreateFilterInstance, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

ObjectMapEntry* LibraryObjectMap() { return g_object_map; }

}  // namespace velquor

#define VELQUOR_EXPORT extern "C" __attribute__((visibility("default")))

VELQUOR_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  return velquor::ModuleGetClassObject(clsid, riid, ppv);
}

VELQUOR_EXPORT HRESULT DllCanUnloadNow() { return velquor::ModuleCanUnloadNow(); }

VELQUOR_EXPORT HRESULT DllRegisterServer() {
  for (velquor::ObjectMapEntry* e = velquor::Module().object_map;
       e != nullptr && e->clsid != nullptr; ++e) {
    HRESULT hr = e->update_registry(true);
    if (FAILED(hr)) return hr;
  }
  return velquor::RegisterServerTypeLib();
}

VELQUOR_EXPORT HRESULT DllUnregisterServer() {
  for (velquor::ObjectMapEntry* e = velquor::Module().object_map;
       e != nullptr && e->clsid != nullptr; ++e) {
    e->update_registry(false);
  }
  return S_OK;
}
