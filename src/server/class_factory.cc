#include "server/class_factory.h"

#include <new>

namespace velquor {

ClassFactory::ClassFactory(InstanceCreator creator) : creator_(creator) {
  InitializeCriticalSection(&lock_);
}

ClassFactory::~ClassFactory() { DeleteCriticalSection(&lock_); }

HRESULT STDMETHODCALLTYPE ClassFactory::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_IClassFactory))
    return E_NOINTERFACE;
  AddRef();
  *ppv = static_cast<IClassFactory*>(this);
  return S_OK;
}

ULONG STDMETHODCALLTYPE ClassFactory::AddRef() {
  EnterCriticalSection(&lock_);
  LONG count = InterlockedIncrement(&ref_);
  if (count == 2) LockModule();
  LeaveCriticalSection(&lock_);
  return static_cast<ULONG>(count);
}

ULONG STDMETHODCALLTYPE ClassFactory::Release() {
  EnterCriticalSection(&lock_);
  LONG count = InterlockedDecrement(&ref_);
  LeaveCriticalSection(&lock_);
  if (count == 0) {
    delete this;
  } else if (count == 1) {
    UnlockModule();
  }
  return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (outer != nullptr && !IsEqualGUID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  return creator_(outer, riid, ppv);
}

HRESULT STDMETHODCALLTYPE ClassFactory::LockServer(BOOL lock) {
  if (lock)
    LockModule();
  else
    UnlockModule();
  return S_OK;
}

HRESULT CreateClassFactory(InstanceCreator creator, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  ClassFactory* factory = new (std::nothrow) ClassFactory(creator);
  if (factory == nullptr) return E_OUTOFMEMORY;
  HRESULT hr = factory->QueryInterface(riid, ppv);
  if (FAILED(hr)) {
    // Count is still 0: one reference and its release destroy it cleanly.
    factory->AddRef();
    factory->Release();
  }
  return hr;
}

}  // namespace velquor
