// The URL-loading layer's protocol contracts that a MIME filter implements
// and calls: IInternetProtocolRoot, IInternetProtocol, IInternetProtocolSink,
// IInternetProtocolInfo, and the records passed with them.
#ifndef VELQUOR_URLMON_H_
#define VELQUOR_URLMON_H_

#include "velquor/unknwn.h"

#if defined(_WIN32)
#include <urlmon.h>
#else
inline constexpr IID IID_IInternetProtocolRoot = {
    0x79EAC9E3, 0xBAF9, 0x11CE, {0x8C, 0x82, 0x00, 0xAA, 0x00, 0x4B, 0xA9, 0x0B}};
inline constexpr IID IID_IInternetProtocol = {
    0x79EAC9E4, 0xBAF9, 0x11CE, {0x8C, 0x82, 0x00, 0xAA, 0x00, 0x4B, 0xA9, 0x0B}};
inline constexpr IID IID_IInternetProtocolSink = {
    0x79EAC9E5, 0xBAF9, 0x11CE, {0x8C, 0x82, 0x00, 0xAA, 0x00, 0x4B, 0xA9, 0x0B}};
inline constexpr IID IID_IInternetProtocolInfo = {
    0x79EAC9EC, 0xBAF9, 0x11CE, {0x8C, 0x82, 0x00, 0xAA, 0x00, 0x4B, 0xA9, 0x0B}};

typedef uint32_t PARSEACTION;
typedef uint32_t QUERYOPTION;

struct IInternetBindInfo;  // passed through, never called
struct IInternetProtocolSink;
struct IInternetProtocol;

struct PROTOCOLDATA {
  DWORD grfFlags;
  DWORD dwState;
  LPVOID pData;
  ULONG cbData;
};

// What the URL-loading layer passes as the last argument of a filter's
// Start, as a HANDLE_PTR.
struct PROTOCOLFILTERDATA {
  DWORD cbSize;
  IInternetProtocolSink* pProtocolSink;
  IInternetProtocol* pProtocol;
  IUnknown* pUnk;
  DWORD dwFilterFlags;
};

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

struct IInternetProtocolRoot : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Start(LPCWSTR url, IInternetProtocolSink* sink,
                                          IInternetBindInfo* bind_info, DWORD flags,
                                          HANDLE_PTR reserved) = 0;
  virtual HRESULT STDMETHODCALLTYPE Continue(PROTOCOLDATA* data) = 0;
  virtual HRESULT STDMETHODCALLTYPE Abort(HRESULT reason, DWORD options) = 0;
  virtual HRESULT STDMETHODCALLTYPE Terminate(DWORD options) = 0;
  virtual HRESULT STDMETHODCALLTYPE Suspend() = 0;
  virtual HRESULT STDMETHODCALLTYPE Resume() = 0;
};

struct IInternetProtocol : IInternetProtocolRoot {
  virtual HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG count, ULONG* read) = 0;
  virtual HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                         ULARGE_INTEGER* new_position) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockRequest(DWORD options) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnlockRequest() = 0;
};

struct IInternetProtocolSink : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Switch(PROTOCOLDATA* data) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReportProgress(ULONG status, LPCWSTR status_text) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReportData(DWORD flags, ULONG progress, ULONG progress_max) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReportResult(HRESULT result, DWORD error,
                                                 LPCWSTR result_text) = 0;
};

struct IInternetProtocolInfo : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE ParseUrl(LPCWSTR url, PARSEACTION action, DWORD flags,
                                             LPWSTR result, DWORD result_size, DWORD* result_length,
                                             DWORD reserved) = 0;
  virtual HRESULT STDMETHODCALLTYPE CombineUrl(LPCWSTR base_url, LPCWSTR relative_url, DWORD flags,
                                               LPWSTR result, DWORD result_size,
                                               DWORD* result_length, DWORD reserved) = 0;
  virtual HRESULT STDMETHODCALLTYPE CompareUrl(LPCWSTR url1, LPCWSTR url2, DWORD flags) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryInfo(LPCWSTR url, QUERYOPTION option, DWORD flags,
                                              LPVOID buffer, DWORD buffer_size,
                                              DWORD* buffer_length, DWORD reserved) = 0;
};

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#endif  // _WIN32

#endif  // VELQUOR_URLMON_H_
