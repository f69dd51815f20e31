#include "proxy/page_filter.h"

#include <algorithm>
#include <cstring>

#include "library_loader.h"

namespace velquor::host {
namespace {

// Told to a filter whose page was cut short.
constexpr HRESULT kAborted = static_cast<HRESULT>(0x80004004u);  // E_ABORT

// The filter's own buffer per read: a chunk grown by replacement markup or
// footers still comes out in one read (what does not fit waits in the
// filter and goes out with the next read).
constexpr std::size_t kReadSize = PageFilter::kChunk + 16 * 1024;

}  // namespace

HRESULT BodyProtocol::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IInternetProtocolRoot || riid == IID_IInternetProtocol) {
    *ppv = static_cast<IInternetProtocol*>(this);
    return S_OK;
  }
  return E_NOINTERFACE;
}

HRESULT BodyProtocol::Read(void* buffer, ULONG count, ULONG* read) {
  if (read == nullptr || (buffer == nullptr && count > 0)) return E_POINTER;
  ++reads_;
  const std::size_t n = std::min({static_cast<std::size_t>(count), waiting(), PageFilter::kChunk});
  if (n > 0) std::memcpy(buffer, pending_.data() + pos_, n);
  pos_ += n;
  if (pos_ == pending_.size()) {
    pending_.clear();
    pos_ = 0;
  }
  *read = static_cast<ULONG>(n);
  if (ended_ && waiting() == 0) return S_FALSE;
  // Only reached with nothing waiting when the driver breaks its own rule.
  return n > 0 ? S_OK : E_PENDING;
}

PageFilter::~PageFilter() {
  if (filter_sink_ != nullptr) filter_sink_->Release();
  if (filter_ != nullptr) {
    if (!done_) filter_->Abort(kAborted, 0);
    filter_->Release();
  }
}

bool PageFilter::Start(IClassFactory* factory, std::string* error) {
  HRESULT hr =
      factory->CreateInstance(nullptr, IID_IInternetProtocol, reinterpret_cast<void**>(&filter_));
  if (SUCCEEDED(hr)) {
    hr =
        filter_->QueryInterface(IID_IInternetProtocolSink, reinterpret_cast<void**>(&filter_sink_));
  }
  if (FAILED(hr)) {
    *error = "the library made no filter object (" + FormatResult(hr) + ")";
    return false;
  }
  inner_.Start(u"text/html", filter_sink_, nullptr, 0, 0);
  data_ = PROTOCOLFILTERDATA{sizeof(PROTOCOLFILTERDATA), nullptr, &inner_, nullptr, 0};
  hr = filter_->Start(u"text/html", &sink_, nullptr, 0, reinterpret_cast<HANDLE_PTR>(&data_));
  if (FAILED(hr)) {
    *error = "the filter did not start (" + FormatResult(hr) + ")";
    return false;
  }
  buffer_.resize(kReadSize);
  return true;
}

std::size_t PageFilter::room() const {
  const std::size_t waiting = inner_.waiting();
  return waiting >= kChunk ? 0 : kChunk - waiting;
}

bool PageFilter::Run(std::string* out, std::string* error) {
  while (!done_) {
    // A read when nothing waits and the body goes on would make the filter
    // let held-back text out unfiltered. Filtered text left over from a
    // read that filled the buffer goes out with the next one.
    if (inner_.waiting() == 0 && !inner_.ended()) return true;
    ULONG got = 0;
    const HRESULT hr = filter_->Read(buffer_.data(), static_cast<ULONG>(buffer_.size()), &got);
    got = std::min<ULONG>(got, static_cast<ULONG>(buffer_.size()));
    out->append(buffer_.data(), got);
    if (FAILED(hr)) {
      *error = "the filter failed (" + FormatResult(hr) + ")";
      return false;
    }
    if (hr == S_FALSE && got == 0) done_ = true;
  }
  return true;
}

}  // namespace velquor::host
