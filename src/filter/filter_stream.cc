#include "filter/filter_stream.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "settings/store.h"

namespace velquor {

FilterStream::FilterStream(SegmentJudges judges) : judges_(judges) {}

HRESULT FilterStream::Start(LPCWSTR, IInternetProtocolSink* sink, IInternetBindInfo*, DWORD,
                            HANDLE_PTR reserved) {
  const auto* filter_data = reinterpret_cast<const PROTOCOLFILTERDATA*>(reserved);
  if (sink == nullptr || filter_data == nullptr || filter_data->pProtocol == nullptr) {
    return E_INVALIDARG;
  }
  IncrementCounter(kPages);
  inner_ = filter_data->pProtocol;
  sink_ = sink;
  removed_ = 0;
  modified_ = 0;
  footers_given_ = false;
  surplus_.clear();
  surplus_pos_ = 0;
  held_back_.clear();
  return S_OK;
}

HRESULT FilterStream::Continue(PROTOCOLDATA* data) {
  if (!started()) return E_UNEXPECTED;
  return inner_->Continue(data);
}

HRESULT FilterStream::Abort(HRESULT, DWORD) { return S_OK; }

HRESULT FilterStream::Terminate(DWORD options) {
  if (!started()) return E_UNEXPECTED;
  return inner_->Terminate(options);
}

HRESULT FilterStream::Suspend() { return S_OK; }

HRESULT FilterStream::Resume() { return S_OK; }

HRESULT FilterStream::Read(void* buffer, ULONG count, ULONG* read) {
  if (read == nullptr || (buffer == nullptr && count > 0)) return E_POINTER;
  *read = 0;
  if (!started()) return E_UNEXPECTED;
  char* out = static_cast<char*>(buffer);

  // Surplus was filtered when it was produced: it goes out as it is.
  if (surplus_pos_ < surplus_.size()) {
    const std::size_t n = std::min<std::size_t>(count, surplus_.size() - surplus_pos_);
    if (n > 0) std::memcpy(out, surplus_.data() + surplus_pos_, n);
    surplus_pos_ += n;
    if (surplus_pos_ == surplus_.size()) {
      surplus_.clear();
      surplus_pos_ = 0;
    }
    *read = static_cast<ULONG>(n);
    return S_OK;
  }

  // The caller's buffer serves as the inner protocol's buffer, so no buffer
  // of the requested size has to be allocated; a changed chunk is built
  // apart and only then written back.
  char spare = 0;
  ULONG pulled = 0;
  const HRESULT result = inner_->Read(count > 0 ? buffer : &spare, count, &pulled);
  pulled = std::min(pulled, count);

  const char* pulled_bytes = out == nullptr ? &spare : out;
  int32_t carry_over = -1;
  std::string text;
  if (held_back_.empty()) {
    // The chunk is the bytes just pulled, already where they go out: when
    // the scan changes nothing they stay there, and only a held-back tail
    // is copied.
    const std::string_view chunk(pulled_bytes, pulled);
    if (!ScanChunkInto(chunk, result == S_FALSE, modified_, removed_, footers_given_, carry_over,
                       judges_, &settings_, &text)) {
      std::size_t kept = pulled;
      if (carry_over >= 0 && static_cast<std::size_t>(carry_over) <= kept) {
        kept = static_cast<std::size_t>(carry_over);
        held_back_.assign(chunk.substr(kept));
      }
      *read = static_cast<ULONG>(kept);
      return result;
    }
  } else {
    std::string chunk = std::move(held_back_);
    held_back_.clear();
    chunk.append(pulled_bytes, pulled);
    if (!ScanChunkInto(chunk, result == S_FALSE, modified_, removed_, footers_given_, carry_over,
                       judges_, &settings_, &text)) {
      text = std::move(chunk);
    }
  }

  if (carry_over >= 0 && static_cast<std::size_t>(carry_over) <= text.size()) {
    held_back_.assign(text, static_cast<std::size_t>(carry_over), std::string::npos);
    text.resize(static_cast<std::size_t>(carry_over));
  }
  if (text.size() > count) {
    surplus_.assign(text, count, std::string::npos);
    surplus_pos_ = 0;
    text.resize(count);
  }
  if (!text.empty()) std::memcpy(out, text.data(), text.size());
  *read = static_cast<ULONG>(text.size());
  return result;
}

HRESULT FilterStream::Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) { return S_OK; }

HRESULT FilterStream::LockRequest(DWORD) { return S_OK; }

HRESULT FilterStream::UnlockRequest() { return S_OK; }

HRESULT FilterStream::Switch(PROTOCOLDATA* data) {
  if (!started()) return E_UNEXPECTED;
  return Continue(data);
}

HRESULT FilterStream::ReportProgress(ULONG status, LPCWSTR status_text) {
  if (!started()) return E_UNEXPECTED;
  return sink_->ReportProgress(status, status_text);
}

HRESULT FilterStream::ReportData(DWORD flags, ULONG progress, ULONG progress_max) {
  if (!started()) return E_UNEXPECTED;
  return sink_->ReportData(flags, progress, progress_max);
}

HRESULT FilterStream::ReportResult(HRESULT result, DWORD error, LPCWSTR result_text) {
  if (!started()) return E_UNEXPECTED;
  return sink_->ReportResult(result, error, result_text);
}

HRESULT FilterStream::ParseUrl(LPCWSTR, PARSEACTION, DWORD, LPWSTR, DWORD, DWORD*, DWORD) {
  return INET_E_DEFAULT_ACTION;
}

HRESULT FilterStream::CombineUrl(LPCWSTR, LPCWSTR, DWORD, LPWSTR, DWORD, DWORD*, DWORD) {
  return INET_E_DEFAULT_ACTION;
}

HRESULT FilterStream::CompareUrl(LPCWSTR, LPCWSTR, DWORD) { return INET_E_DEFAULT_ACTION; }

HRESULT FilterStream::QueryInfo(LPCWSTR, QUERYOPTION, DWORD, LPVOID, DWORD, DWORD*, DWORD) {
  return INET_E_QUERYOPTION_UNKNOWN;
}

}  // namespace velquor
