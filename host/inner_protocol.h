// The host's side of a download, as the browser's URL-loading layer plays
// it: inner protocols that serve a file (or standard input) or a page in
// memory to a filter object, a sink that takes the filter's reports and
// passes nothing on, and the read loops that pull one page through a filter.
// Used by `velquor filter`, and by the tests, benchmarks and fuzz targets
// that play the browser. Single-threaded; the objects live on the caller's stack
// and their reference counts are nominal (the filter holds its partners
// without references).
#ifndef VELQUOR_HOST_INNER_PROTOCOL_H_
#define VELQUOR_HOST_INNER_PROTOCOL_H_

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "velquor/urlmon.h"

namespace velquor::host {

// How the inner protocol reports the end of the data.
enum class EndOfData {
  kWithData,  // the read that delivers the last bytes returns S_FALSE
  kSeparate,  // the last bytes come with S_OK, the next read S_FALSE with 0
};

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

// What every inner protocol here shares: nominal reference counts, and
// the operations a filter may pass down answered with success (Suspend and
// Seek are not offered). QueryInterface gives IUnknown and the two protocol
// interfaces. Subclasses serve the bytes.
class PageSource : public IInternetProtocol {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE Continue(PROTOCOLDATA*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Abort(HRESULT, DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Terminate(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Suspend() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Resume() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE LockRequest(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE UnlockRequest() override { return S_OK; }

 protected:
  PageSource() = default;
  ~PageSource() = default;
};

// Serves the bytes of an open stream: each Read hands out min(count, what is
// left) bytes, zero bytes included. The stream stays the caller's to close.
// A read error ends the data with E_FAIL; error() then tells errno.
class FileProtocol : public PageSource {
 public:
  FileProtocol(std::FILE* file, EndOfData style);
  FileProtocol(const FileProtocol&) = delete;
  FileProtocol& operator=(const FileProtocol&) = delete;

  // errno of the read error that ended the data; 0 when there was none.
  int error() const { return error_; }

  HRESULT STDMETHODCALLTYPE Start(LPCWSTR, IInternetProtocolSink*, IInternetBindInfo*, DWORD,
                                  HANDLE_PTR) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG count, ULONG* read) override;

 private:
  // Reads ahead until `target` bytes wait or the stream ends.
  void Fill(std::size_t target);

  std::FILE* file_;
  EndOfData style_;
  // Read from the stream, not yet handed out: buffer_[begin_, end_). Not
  // zero-filled, as every byte is read into before it is looked at.
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  // How far ahead of what is asked for to read: a regular file is read in
  // large blocks, with few system calls; a pipe or terminal only as far as
  // asked, so that what has arrived is filtered without waiting for more.
  std::size_t read_ahead_ = 0;
  bool ended_ = false;  // the stream reached its end or failed
  int error_ = 0;
};

// Serves `page` (which must outlive it) from memory, as FileProtocol serves
// a stream; for tests, benchmarks and fuzz targets. Strict like a test's
// fake: a call that a filter must never make (Start, since the protocol was
// handed over started; a Read without a place for the count, or without a
// buffer for a nonzero count) is reported on stderr and aborts the program.
class MemoryProtocol : public PageSource {
 public:
  explicit MemoryProtocol(std::string_view page, EndOfData style = EndOfData::kWithData)
      : page_(page), style_(style) {}
  MemoryProtocol(const MemoryProtocol&) = delete;
  MemoryProtocol& operator=(const MemoryProtocol&) = delete;

  HRESULT STDMETHODCALLTYPE Start(LPCWSTR, IInternetProtocolSink*, IInternetBindInfo*, DWORD,
                                  HANDLE_PTR) override;
  HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG count, ULONG* read) override;

 private:
  std::string_view page_;
  std::size_t position_ = 0;
  EndOfData style_;
};

// The sink above the filter: it accepts every report and passes none on.
class NullSink : public IInternetProtocolSink {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE Switch(PROTOCOLDATA*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ReportProgress(ULONG, LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ReportData(DWORD, ULONG, ULONG) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ReportResult(HRESULT, DWORD, LPCWSTR) override { return S_OK; }
};

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// What PumpPage returns when `write` refused a piece.
constexpr HRESULT kWriteRefused = static_cast<HRESULT>(0x80004004u);  // E_ABORT

// Pulls one started download through `filter` (anything with the Read of
// IInternetProtocol) with reads of `read_size` bytes, giving each piece to
// `write(const char* data, size_t size) -> bool`, until a Read returns
// S_FALSE and hands out 0 bytes. Returns S_OK then, the failure code of a
// failed Read (after writing what it handed out), or kWriteRefused.
// A read size of 0 could never make progress: E_INVALIDARG.
template <class Filter, class Write>
HRESULT PumpPage(Filter& filter, ULONG read_size, Write&& write) {
  if (read_size == 0) return E_INVALIDARG;
  std::vector<char> buffer(read_size);
  for (;;) {
    ULONG read = 0;
    const HRESULT hr = filter.Read(buffer.data(), read_size, &read);
    if (read > read_size) read = read_size;
    if (read > 0 && !write(buffer.data(), static_cast<std::size_t>(read))) return kWriteRefused;
    if (FAILED(hr)) return hr;
    if (hr == S_FALSE && read == 0) return S_OK;
  }
}

// Starts `filter` on the protocol beneath, `inner`, with a NullSink above it,
// then pulls the page through as PumpPage does, giving each piece to
// `consume(const char* data, size_t size)`. Returns the failure of Start, or
// PumpPage's result.
template <class Filter, class Consume>
HRESULT PullPage(Filter& filter, IInternetProtocol& inner, ULONG read_size, Consume&& consume) {
  NullSink sink;
  PROTOCOLFILTERDATA data{sizeof(PROTOCOLFILTERDATA), &sink, &inner, nullptr, 0};
  const HRESULT hr =
      filter.Start(u"text/html", &sink, nullptr, 0, reinterpret_cast<HANDLE_PTR>(&data));
  if (FAILED(hr)) return hr;
  return PumpPage(filter, read_size, [&consume](const char* piece, std::size_t size) {
    consume(piece, size);
    return true;
  });
}

}  // namespace velquor::host

#endif  // VELQUOR_HOST_INNER_PROTOCOL_H_
