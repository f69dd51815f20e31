// The browser's side of one download for the benchmarks and the corpus
// tests: an inner protocol that serves a page from memory (or from an open
// file) in reads of at most the count asked for, a sink that accepts every
// report, and the read loop that pulls a page through a filter object.
// Header-only so that benchmarks and tests share it without a library.
// Single-threaded; the objects live on the caller's stack and their
// reference counts are nominal (a filter holds its partners without
// references).
#ifndef VELQUOR_BENCH_MEMORY_PROTOCOL_H_
#define VELQUOR_BENCH_MEMORY_PROTOCOL_H_

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "inner_protocol.h"
#include "velquor/urlmon.h"

namespace velquor::bench {

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

// Serves `page` (which must outlive it), or the bytes of an open file. The
// read that delivers the last bytes returns S_FALSE, as a network protocol
// does; with `separate_end` the last bytes come with S_OK and the next read
// returns S_FALSE with none.
class MemoryProtocol : public IInternetProtocol {
 public:
  explicit MemoryProtocol(std::string_view page, bool separate_end = false)
      : page_(page), separate_end_(separate_end) {}
  MemoryProtocol(std::FILE* file, bool separate_end = false)
      : file_(file), separate_end_(separate_end) {}
  MemoryProtocol(const MemoryProtocol&) = delete;
  MemoryProtocol& operator=(const MemoryProtocol&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    if (ppv) *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE Start(LPCWSTR, IInternetProtocolSink*, IInternetBindInfo*, DWORD,
                                  HANDLE_PTR) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Continue(PROTOCOLDATA*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Abort(HRESULT, DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Terminate(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Suspend() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Resume() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG count, ULONG* read) override {
    std::size_t n = 0;
    bool at_end = false;
    if (file_ != nullptr) {
      n = count > 0 ? std::fread(buffer, 1, count, file_) : 0;
      if (n < count) {
        at_end = true;
      } else {
        const int c = std::getc(file_);
        at_end = c == EOF;
        if (!at_end) std::ungetc(c, file_);
      }
    } else {
      n = std::min<std::size_t>(count, page_.size() - position_);
      if (n > 0) std::memcpy(buffer, page_.data() + position_, n);
      position_ += n;
      at_end = position_ == page_.size();
    }
    *read = static_cast<ULONG>(n);
    if (!at_end) return S_OK;
    if (separate_end_ && n > 0) return S_OK;
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE LockRequest(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE UnlockRequest() override { return S_OK; }

 private:
  std::string_view page_;
  std::size_t position_ = 0;
  std::FILE* file_ = nullptr;
  bool separate_end_;
};

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// Starts `filter` on `inner` and reads it through with reads of `read_size`
// until a read returns S_FALSE with nothing handed out (or fails). Each
// piece handed out is passed to `consume(const char*, size_t)`. Returns the
// result of Start or of the read that failed; S_OK when the page went
// through whole.
template <typename Filter, typename Consume>
HRESULT PullPage(Filter& filter, IInternetProtocol& inner, ULONG read_size, Consume consume) {
  host::NullSink sink;
  PROTOCOLFILTERDATA data{sizeof(PROTOCOLFILTERDATA), nullptr, &inner, nullptr, 0};
  HRESULT hr = filter.Start(u"text/html", &sink, nullptr, 0,
                            reinterpret_cast<HANDLE_PTR>(&data));
  if (FAILED(hr)) return hr;
  std::string buffer(read_size, '\0');
  for (;;) {
    ULONG got = 0;
    hr = filter.Read(buffer.data(), read_size, &got);
    if (got > read_size) return E_UNEXPECTED;
    if (got > 0) consume(buffer.data(), static_cast<std::size_t>(got));
    if (FAILED(hr)) return hr;
    if (hr == S_FALSE && got == 0) return S_OK;
  }
}

}  // namespace velquor::bench

#endif  // VELQUOR_BENCH_MEMORY_PROTOCOL_H_
