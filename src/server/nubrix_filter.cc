#include "server/nubrix_filter.h"

#include <new>

#include "platform/error_info.h"
#include "server/server_module.h"
#include "server/type_info_holder.h"

namespace velquor {
namespace {

// The interface table in lookup order.
struct InterfaceRow {
  const IID* iid;
  IUnknown* (*entry)(NubrixFilter* self);
};

constexpr InterfaceRow kInterfaceTable[] = {
    {&IID_IIENubrix, [](NubrixFilter* f) -> IUnknown* { return static_cast<IIENubrix*>(f); }},
    {&IID_IDispatch, [](NubrixFilter* f) -> IUnknown* { return static_cast<IIENubrix*>(f); }},
    {&IID_IInternetProtocol,
     [](NubrixFilter* f) -> IUnknown* { return static_cast<IInternetProtocol*>(f); }},
    {&IID_IInternetProtocolSink,
     [](NubrixFilter* f) -> IUnknown* { return static_cast<IInternetProtocolSink*>(f); }},
    {&IID_IInternetProtocolInfo,
     [](NubrixFilter* f) -> IUnknown* { return static_cast<IInternetProtocolInfo*>(f); }},
};

}  // namespace

NubrixFilter::NubrixFilter(IUnknown* outer) : outer_(outer) {
  AddTypeInfoUser();
  if (outer_ == nullptr) LockModule();
}

NubrixFilter::~NubrixFilter() { ReleaseTypeInfoUser(); }

HRESULT STDMETHODCALLTYPE NubrixFilter::QueryInterface(REFIID riid, void** ppv) {
  if (outer_ != nullptr) return outer_->QueryInterface(riid, ppv);
  return InternalQueryInterface(riid, ppv);
}

ULONG STDMETHODCALLTYPE NubrixFilter::AddRef() {
  if (outer_ != nullptr) return outer_->AddRef();
  return ++ref_;
}

ULONG STDMETHODCALLTYPE NubrixFilter::Release() {
  if (outer_ != nullptr) return outer_->Release();
  ULONG count = --ref_;
  if (count == 0) {
    delete this;
    // The lock goes last, once no code of this object runs any more, so an
    // unload that the lock count now allows cannot pull the code away.
    UnlockModule();
  }
  return count;
}

HRESULT NubrixFilter::InternalQueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  IUnknown* entry = nullptr;
  if (IsEqualGUID(riid, IID_IUnknown)) {
    entry = kInterfaceTable[0].entry(this);
  } else {
    for (const InterfaceRow& row : kInterfaceTable) {
      if (IsEqualGUID(riid, *row.iid)) {
        entry = row.entry(this);
        break;
      }
    }
    if (entry == nullptr) return E_NOINTERFACE;
  }
  entry->AddRef();
  *ppv = entry;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE NubrixFilter::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE NubrixFilter::GetTypeInfo(UINT, LCID lcid, ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  return GetNubrixTypeInfo(lcid, info);
}

HRESULT STDMETHODCALLTYPE NubrixFilter::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count,
                                                      LCID lcid, DISPID* ids) {
  ITypeInfo* info = nullptr;
  HRESULT hr = GetNubrixTypeInfo(lcid, &info);
  if (FAILED(hr)) return hr;
  hr = info->GetIDsOfNames(names, count, ids);
  info->Release();
  return hr;
}

HRESULT STDMETHODCALLTYPE NubrixFilter::Invoke(DISPID member, REFIID, LCID lcid, WORD flags,
                                               DISPPARAMS* params, VARIANT* result,
                                               EXCEPINFO* excep, UINT* arg_err) {
  SetErrorInfo(0, nullptr);
  ITypeInfo* info = nullptr;
  HRESULT hr = GetNubrixTypeInfo(lcid, &info);
  if (FAILED(hr)) return hr;
  hr = info->Invoke(static_cast<IIENubrix*>(this), member, flags, params, result, excep, arg_err);
  info->Release();
  return hr;
}

// Start and Read work on the heap; nothing may leave the component as an
// exception, so a failed allocation becomes a result code.
HRESULT STDMETHODCALLTYPE NubrixFilter::Start(LPCWSTR url, IInternetProtocolSink* sink,
                                              IInternetBindInfo* bind_info, DWORD flags,
                                              HANDLE_PTR reserved) {
  try {
    return stream_.Start(url, sink, bind_info, flags, reserved);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT STDMETHODCALLTYPE NubrixFilter::Continue(PROTOCOLDATA* data) {
  return stream_.Continue(data);
}

HRESULT STDMETHODCALLTYPE NubrixFilter::Abort(HRESULT reason, DWORD options) {
  return stream_.Abort(reason, options);
}

HRESULT STDMETHODCALLTYPE NubrixFilter::Terminate(DWORD options) {
  return stream_.Terminate(options);
}

HRESULT STDMETHODCALLTYPE NubrixFilter::Suspend() { return stream_.Suspend(); }

HRESULT STDMETHODCALLTYPE NubrixFilter::Resume() { return stream_.Resume(); }

HRESULT STDMETHODCALLTYPE NubrixFilter::Read(void* buffer, ULONG count, ULONG* read) {
  try {
    return stream_.Read(buffer, count, read);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT STDMETHODCALLTYPE NubrixFilter::Seek(LARGE_INTEGER move, DWORD origin,
                                             ULARGE_INTEGER* new_position) {
  return stream_.Seek(move, origin, new_position);
}

HRESULT STDMETHODCALLTYPE NubrixFilter::LockRequest(DWORD options) {
  return stream_.LockRequest(options);
}

HRESULT STDMETHODCALLTYPE NubrixFilter::UnlockRequest() { return stream_.UnlockRequest(); }

HRESULT STDMETHODCALLTYPE NubrixFilter::Switch(PROTOCOLDATA* data) { return Continue(data); }

HRESULT STDMETHODCALLTYPE NubrixFilter::ReportProgress(ULONG status, LPCWSTR status_text) {
  return stream_.ReportProgress(status, status_text);
}

HRESULT STDMETHODCALLTYPE NubrixFilter::ReportData(DWORD flags, ULONG progress,
                                                   ULONG progress_max) {
  return stream_.ReportData(flags, progress, progress_max);
}

HRESULT STDMETHODCALLTYPE NubrixFilter::ReportResult(HRESULT result, DWORD error,
                                                     LPCWSTR result_text) {
  return stream_.ReportResult(result, error, result_text);
}

HRESULT STDMETHODCALLTYPE NubrixFilter::ParseUrl(LPCWSTR url, PARSEACTION action, DWORD flags,
                                                 LPWSTR result, DWORD result_size,
                                                 DWORD* result_length, DWORD reserved) {
  return stream_.ParseUrl(url, action, flags, result, result_size, result_length, reserved);
}

HRESULT STDMETHODCALLTYPE NubrixFilter::CombineUrl(LPCWSTR base_url, LPCWSTR relative_url,
                                                   DWORD flags, LPWSTR result, DWORD result_size,
                                                   DWORD* result_length, DWORD reserved) {
  return stream_.CombineUrl(base_url, relative_url, flags, result, result_size, result_length,
                            reserved);
}

HRESULT STDMETHODCALLTYPE NubrixFilter::CompareUrl(LPCWSTR url1, LPCWSTR url2, DWORD flags) {
  return stream_.CompareUrl(url1, url2, flags);
}

HRESULT STDMETHODCALLTYPE NubrixFilter::QueryInfo(LPCWSTR url, QUERYOPTION option, DWORD flags,
                                                  LPVOID buffer, DWORD buffer_size,
                                                  DWORD* buffer_length, DWORD reserved) {
  return stream_.QueryInfo(url, option, flags, buffer, buffer_size, buffer_length, reserved);
}

}  // namespace velquor
