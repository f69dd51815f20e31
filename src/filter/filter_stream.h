// The filter object's stream: the state of one HTML download and every
// operation of the three URL-loading interfaces that the filter object
// offers. `Start` takes the protocol beneath (the inner protocol) and the sink
// above; each `Read` pulls bytes from the inner protocol, puts the text held
// back by the previous read in front of them, passes the whole through the
// page scanner and hands out at most the count asked for. Filtered text that
// did not fit (the surplus) waits apart from the held-back tail and goes out
// first, without being scanned again. Reports of the inner protocol pass up
// to the sink unchanged; URL queries are left to the platform.
//
// The filter class wraps one FilterStream and forwards each interface call to
// the method of the same name unchanged. Partners are held without taking a
// reference. Not thread-safe: a stream is used on the thread that owns its
// filter object (Switch may come from another thread and only reaches the
// inner protocol's Continue).
#ifndef VELQUOR_FILTER_FILTER_STREAM_H_
#define VELQUOR_FILTER_FILTER_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/page_scanner.h"
#include "velquor/urlmon.h"

namespace velquor {

class FilterStream {
 public:
  explicit FilterStream(SegmentJudges judges = DefaultJudges());
  FilterStream(const FilterStream&) = delete;
  FilterStream& operator=(const FilterStream&) = delete;

  // IInternetProtocolRoot.

  // Begins a download: counts the page ("Pages" + 1), takes the inner
  // protocol from the PROTOCOLFILTERDATA record passed as `reserved` and
  // `sink` as the outer sink, and resets the page state. E_INVALIDARG, with
  // nothing counted or changed, when the sink, the record or its pProtocol is
  // missing. Does not call the inner protocol.
  HRESULT Start(LPCWSTR url, IInternetProtocolSink* sink, IInternetBindInfo* bind_info, DWORD flags,
                HANDLE_PTR reserved);
  // Passed to the inner protocol; E_UNEXPECTED before a successful Start.
  HRESULT Continue(PROTOCOLDATA* data);
  // S_OK; the inner protocol is not told.
  HRESULT Abort(HRESULT reason, DWORD options);
  // Passed to the inner protocol; E_UNEXPECTED before a successful Start.
  HRESULT Terminate(DWORD options);
  HRESULT Suspend();  // S_OK, nothing else
  HRESULT Resume();   // S_OK, nothing else

  // IInternetProtocol.

  // Hands out at most `count` filtered bytes into `buffer` and sets *read to
  // the number handed out. Waiting surplus goes first, with S_OK and no call
  // of the inner protocol; otherwise returns the inner protocol's result
  // (S_FALSE at the end of the data). E_POINTER for a null `read`, or a null
  // `buffer` with count > 0; E_UNEXPECTED (and *read = 0) before Start.
  HRESULT Read(void* buffer, ULONG count, ULONG* read);
  // S_OK; nothing is moved and the new position is not written.
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* new_position);
  HRESULT LockRequest(DWORD options);  // S_OK, not passed on
  HRESULT UnlockRequest();             // S_OK, not passed on

  // IInternetProtocolSink: the inner protocol's reports.

  // Calls this stream's own Continue with the same record before returning.
  HRESULT Switch(PROTOCOLDATA* data);
  // Passed unchanged to the outer sink; E_UNEXPECTED before Start.
  HRESULT ReportProgress(ULONG status, LPCWSTR status_text);
  HRESULT ReportData(DWORD flags, ULONG progress, ULONG progress_max);
  HRESULT ReportResult(HRESULT result, DWORD error, LPCWSTR result_text);

  // IInternetProtocolInfo: all URL handling is left to the platform; no
  // output argument is written.
  HRESULT ParseUrl(LPCWSTR url, PARSEACTION action, DWORD flags, LPWSTR result, DWORD result_size,
                   DWORD* result_length, DWORD reserved);
  HRESULT CombineUrl(LPCWSTR base_url, LPCWSTR relative_url, DWORD flags, LPWSTR result,
                     DWORD result_size, DWORD* result_length, DWORD reserved);
  HRESULT CompareUrl(LPCWSTR url1, LPCWSTR url2, DWORD flags);
  HRESULT QueryInfo(LPCWSTR url, QUERYOPTION option, DWORD flags, LPVOID buffer, DWORD buffer_size,
                    DWORD* buffer_length, DWORD reserved);

 private:
  bool started() const { return inner_ != nullptr; }

  SegmentJudges judges_;
  IInternetProtocolSink* sink_ = nullptr;  // outer sink, no reference held
  IInternetProtocol* inner_ = nullptr;     // inner protocol, no reference held
  std::string surplus_;                    // filtered, waiting to go out from surplus_pos_ on
  std::size_t surplus_pos_ = 0;
  std::string held_back_;       // not yet filtered; begins the next chunk
  int32_t removed_ = 0;         // ads removed and counted on this page
  int32_t modified_ = 0;        // 1 once a judge has changed this page
  bool footers_given_ = false;  // a chunk of this page has received footers
  SettingsSnapshot settings_;   // read again for a chunk only after a change
};

}  // namespace velquor

#endif  // VELQUOR_FILTER_FILTER_STREAM_H_
