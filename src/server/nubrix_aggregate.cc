#include "server/nubrix_aggregate.h"

#include "server/server_module.h"

namespace velquor {

NubrixAggregate::NubrixAggregate(IUnknown* outer) : contained_(outer) { LockModule(); }

HRESULT STDMETHODCALLTYPE NubrixAggregate::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (IsEqualGUID(riid, IID_IUnknown)) {
    AddRef();
    *ppv = static_cast<IUnknown*>(this);
    return S_OK;
  }
  return contained_.InternalQueryInterface(riid, ppv);
}

ULONG STDMETHODCALLTYPE NubrixAggregate::AddRef() { return ++ref_; }

ULONG STDMETHODCALLTYPE NubrixAggregate::Release() {
  ULONG count = --ref_;
  if (count == 0) {
    delete this;
    UnlockModule();
  }
  return count;
}

HRESULT CreateFilterAggregate(IUnknown* outer, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  NubrixAggregate* aggregate = nullptr;
  try {
    aggregate = new NubrixAggregate(outer);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  HRESULT hr = aggregate->QueryInterface(riid, ppv);
  if (FAILED(hr)) {
    aggregate->AddRef();
    aggregate->Release();
  }
  return hr;
}

HRESULT CreateFilterInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (outer != nullptr) return CreateFilterAggregate(outer, riid, ppv);
  NubrixFilter* filter = nullptr;
  try {
    filter = new NubrixFilter(nullptr);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  HRESULT hr = filter->InternalQueryInterface(riid, ppv);
  if (FAILED(hr)) {
    // Count 0: one reference and its release run the normal destruction.
    filter->AddRef();
    filter->Release();
  }
  return hr;
}

}  // namespace velquor
