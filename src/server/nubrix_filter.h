// The filter object: one instance of the filter class IENubrix, created by
// the class object for each HTML download. It answers for four entry points
// (IIENubrix, which also stands for IUnknown and IDispatch,
// IInternetProtocolSink, IInternetProtocolInfo, IInternetProtocol) that share
// one reference count, forwards every protocol operation to its FilterStream,
// and answers the automation operations from the type information holder.
// Inside an aggregate (see nubrix_aggregate.h) its IUnknown operations
// delegate to the controlling outer object instead.
//
// Threading: apartment model. The object is called on the one thread that
// owns it and counts references with a plain integer. While it lives, a plain
// filter object holds one library lock and one type-information user.
#ifndef VELQUOR_SERVER_NUBRIX_FILTER_H_
#define VELQUOR_SERVER_NUBRIX_FILTER_H_

#include "filter/filter_stream.h"
#include "velquor/velquor.h"

namespace velquor {

class NubrixAggregate;

class NubrixFilter final : public IIENubrix,
                           public IInternetProtocolSink,
                           public IInternetProtocolInfo,
                           public IInternetProtocol {
 public:
  NubrixFilter(const NubrixFilter&) = delete;
  NubrixFilter& operator=(const NubrixFilter&) = delete;

  // IUnknown, on every entry point. Plain object: the interface table below,
  // one plain count. Contained in an aggregate: the outer object's
  // operation, its result returned unchanged.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // Looks `riid` up in the interface table (IUnknown: the first row) and adds
  // one reference through the entry point found. E_POINTER for a null place;
  // E_NOINTERFACE with the place null when no row matches.
  HRESULT InternalQueryInterface(REFIID riid, void** ppv);

  // IDispatch through IIENubrix: one type information, served by the holder.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID riid, LCID lcid, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                                   UINT* arg_err) override;

  // IInternetProtocol: the filter stream's operations.
  HRESULT STDMETHODCALLTYPE Start(LPCWSTR url, IInternetProtocolSink* sink,
                                  IInternetBindInfo* bind_info, DWORD flags,
                                  HANDLE_PTR reserved) override;
  HRESULT STDMETHODCALLTYPE Continue(PROTOCOLDATA* data) override;
  HRESULT STDMETHODCALLTYPE Abort(HRESULT reason, DWORD options) override;
  HRESULT STDMETHODCALLTYPE Terminate(DWORD options) override;
  HRESULT STDMETHODCALLTYPE Suspend() override;
  HRESULT STDMETHODCALLTYPE Resume() override;
  HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG count, ULONG* read) override;
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                 ULARGE_INTEGER* new_position) override;
  HRESULT STDMETHODCALLTYPE LockRequest(DWORD options) override;
  HRESULT STDMETHODCALLTYPE UnlockRequest() override;

  // IInternetProtocolSink: the inner protocol's reports. Switch is answered
  // by this object's own Continue.
  HRESULT STDMETHODCALLTYPE Switch(PROTOCOLDATA* data) override;
  HRESULT STDMETHODCALLTYPE ReportProgress(ULONG status, LPCWSTR status_text) override;
  HRESULT STDMETHODCALLTYPE ReportData(DWORD flags, ULONG progress, ULONG progress_max) override;
  HRESULT STDMETHODCALLTYPE ReportResult(HRESULT result, DWORD error, LPCWSTR result_text) override;

  // IInternetProtocolInfo: URL handling is left to the platform.
  HRESULT STDMETHODCALLTYPE ParseUrl(LPCWSTR url, PARSEACTION action, DWORD flags, LPWSTR result,
                                     DWORD result_size, DWORD* result_length,
                                     DWORD reserved) override;
  HRESULT STDMETHODCALLTYPE CombineUrl(LPCWSTR base_url, LPCWSTR relative_url, DWORD flags,
                                       LPWSTR result, DWORD result_size, DWORD* result_length,
                                       DWORD reserved) override;
  HRESULT STDMETHODCALLTYPE CompareUrl(LPCWSTR url1, LPCWSTR url2, DWORD flags) override;
  HRESULT STDMETHODCALLTYPE QueryInfo(LPCWSTR url, QUERYOPTION option, DWORD flags, LPVOID buffer,
                                      DWORD buffer_size, DWORD* buffer_length,
                                      DWORD reserved) override;

 private:
  friend class NubrixAggregate;
  // The instance creator (beside the aggregate) makes plain objects.
  friend HRESULT CreateFilterInstance(IUnknown* outer, REFIID riid, void** ppv);

  // outer null: a plain object holding its own library lock; otherwise the
  // contained object of an aggregate, whose lock the aggregate holds.
  explicit NubrixFilter(IUnknown* outer);
  ~NubrixFilter();

  ULONG ref_ = 0;
  IUnknown* outer_;
  FilterStream stream_;
};

}  // namespace velquor

#endif  // VELQUOR_SERVER_NUBRIX_FILTER_H_
