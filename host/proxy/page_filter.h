// One HTML response on its way through the loaded library, as a browser's
// URL-loading layer drives a MIME filter: a filter object of its own from
// the class object, started with the text/html type and a
// PROTOCOLFILTERDATA whose inner protocol hands out the body as it arrives,
// then read.
//
// Two properties of the filter stream decide how it is driven. A segment
// held back at the end of a chunk is let out unfiltered when the next inner
// read brings no bytes, and a segment split across two chunks may pass
// unfiltered when the text before it is short. So the filter is read only
// when new body bytes wait or the body has ended, never to poll, and each
// read offers it everything that has arrived, up to kChunk bytes.
//
// Not thread-safe: a page is driven by one connection at a time.
#ifndef VELQUOR_HOST_PROXY_PAGE_FILTER_H_
#define VELQUOR_HOST_PROXY_PAGE_FILTER_H_

#include <cstddef>
#include <string>
#include <vector>

#include "inner_protocol.h"
#include "velquor/urlmon.h"

namespace velquor::host {

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

// The inner protocol: hands out the body bytes that have arrived, at most
// kChunk per read; S_FALSE with the read that hands out the last bytes once
// the body has ended.
class BodyProtocol : public IInternetProtocol {
 public:
  std::string& pending() { return pending_; }
  std::size_t waiting() const { return pending_.size() - pos_; }
  void End() { ended_ = true; }
  bool ended() const { return ended_; }
  // Reads made, so the driver can tell a read that reached this protocol
  // from one answered with filtered text that waited in the filter.
  unsigned long reads() const { return reads_; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE Start(LPCWSTR, IInternetProtocolSink*, IInternetBindInfo*, DWORD,
                                  HANDLE_PTR) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Continue(PROTOCOLDATA*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Abort(HRESULT, DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Terminate(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Suspend() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Resume() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG count, ULONG* read) override;
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE LockRequest(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE UnlockRequest() override { return S_OK; }

 private:
  std::string pending_;
  std::size_t pos_ = 0;
  bool ended_ = false;
  unsigned long reads_ = 0;
};

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

class PageFilter {
 public:
  // Largest piece of body handed to the filter in one read.
  static constexpr std::size_t kChunk = 64 * 1024;

  PageFilter() = default;
  ~PageFilter();
  PageFilter(const PageFilter&) = delete;
  PageFilter& operator=(const PageFilter&) = delete;

  // Creates and starts the filter object; this counts the page. False with
  // *error when the library refuses.
  bool Start(IClassFactory* factory, std::string* error);

  // Room left before the filter must be read: a caller appends at most this
  // many bytes to body() before calling Run.
  std::size_t room() const;
  std::string& body() { return inner_.pending(); }
  // The body has ended; the next Run drains the filter.
  void End() { inner_.End(); }

  // Reads the filter while body bytes wait (or, after End, until it reports
  // the end of the data), appending what it hands out to *out. False with
  // *error when the filter fails. done() tells whether the page is complete.
  bool Run(std::string* out, std::string* error);
  bool done() const { return done_; }

 private:
  IInternetProtocol* filter_ = nullptr;
  IInternetProtocolSink* filter_sink_ = nullptr;
  BodyProtocol inner_;
  NullSink sink_;
  PROTOCOLFILTERDATA data_{};
  std::vector<char> buffer_;
  bool done_ = false;
};

}  // namespace velquor::host

#endif  // VELQUOR_HOST_PROXY_PAGE_FILTER_H_
