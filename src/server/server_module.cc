#include "server/server_module.h"

namespace velquor {
namespace {

constinit ModuleRecord g_module{};

}  // namespace

ModuleRecord& Module() { return g_module; }

HRESULT ModuleStartup(ObjectMapEntry* object_map, HINSTANCE instance) {
  g_module.lock_count = 0;
  g_module.object_map = object_map;
  g_module.instance = instance;
  g_module.resource_instance = instance;
  g_module.typelib_instance = instance;
  InitializeCriticalSection(&g_module.typeinfo_lock);
  InitializeCriticalSection(&g_module.object_map_lock);
  g_module.started = true;
  return S_OK;
}

void ModuleShutdown() {
  if (!g_module.started) return;
  for (ObjectMapEntry* e = g_module.object_map; e != nullptr && e->clsid != nullptr; ++e) {
    if (e->class_object != nullptr) {
      IUnknown* cached = e->class_object;
      e->class_object = nullptr;
      cached->Release();
    }
  }
  DeleteCriticalSection(&g_module.typeinfo_lock);
  DeleteCriticalSection(&g_module.object_map_lock);
  g_module.object_map = nullptr;
  g_module.started = false;
}

LONG LockModule() { return InterlockedIncrement(&g_module.lock_count); }

LONG UnlockModule() { return InterlockedDecrement(&g_module.lock_count); }

LONG ModuleLockCount() { return __atomic_load_n(&g_module.lock_count, __ATOMIC_SEQ_CST); }

HRESULT ModuleGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  ObjectMapEntry* entry = nullptr;
  for (ObjectMapEntry* e = g_module.object_map; e != nullptr && e->clsid != nullptr; ++e) {
    if (IsEqualGUID(*e->clsid, clsid)) {
      entry = e;
      break;
    }
  }
  if (entry == nullptr) return CLASS_E_CLASSNOTAVAILABLE;

  HRESULT hr = S_OK;
  // The cache is read without the lock first; the second test under the lock
  // makes two racing first requests create one class object.
  IUnknown* cached = __atomic_load_n(&entry->class_object, __ATOMIC_ACQUIRE);
  if (cached == nullptr) {
    EnterCriticalSection(&g_module.object_map_lock);
    if (entry->class_object == nullptr) {
      void* created = nullptr;
      hr = entry->create_class_object(entry->create_instance, IID_IUnknown, &created);
      if (SUCCEEDED(hr)) {
        __atomic_store_n(&entry->class_object, static_cast<IUnknown*>(created), __ATOMIC_RELEASE);
      }
    }
    cached = entry->class_object;
    LeaveCriticalSection(&g_module.object_map_lock);
  }
  if (cached != nullptr) hr = cached->QueryInterface(riid, ppv);
  return hr;
}

HRESULT ModuleCanUnloadNow() { return ModuleLockCount() == 0 ? S_OK : S_FALSE; }

}  // namespace velquor
