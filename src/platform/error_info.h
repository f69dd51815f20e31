// The calling thread's error state: the automation error object that
// SetErrorInfo sets or clears, the last-error code of the kernel stand-ins
// (GetLastError/SetLastError), and the Win32 error codes those stand-ins
// report. The filter object clears the error object before each Invoke.
//
// Both pieces of state are per thread and plain pointers or integers, so no
// thread-local object has a destructor. An error object still set when its
// thread ends keeps its one reference, as on the original platform when a
// thread leaves without clearing it.
#ifndef VELQUOR_PLATFORM_ERROR_INFO_H_
#define VELQUOR_PLATFORM_ERROR_INFO_H_

#include "platform/registry.h"
#include "velquor/unknwn.h"

#include "platform/win_error.h"

// On Windows the error object and the last-error code are the system's.
#if !defined(_WIN32)
// An automation error object. The library never creates one; it only clears
// the thread's slot, so its own operations are not needed here.
struct IErrorInfo : IUnknown {};

// Replaces the calling thread's error object with `info` (null clears it).
// Takes a reference on `info` and releases the one held on the previous
// object. `reserved` must be 0, else E_INVALIDARG. Returns S_OK.
HRESULT SetErrorInfo(DWORD reserved, IErrorInfo* info);

// Hands the calling thread's error object to the caller (who then owns its
// reference) and clears the slot. S_FALSE with null when none is set.
HRESULT GetErrorInfo(DWORD reserved, IErrorInfo** info);

// The calling thread's last-error code, as the last failing stand-in set it.
DWORD GetLastError();

// Sets the calling thread's last-error code.
void SetLastError(DWORD code);
#endif  // !_WIN32

namespace velquor {

// The result code that stands for Win32 error `code`: 0 stays S_OK, others
// become 0x8007xxxx.
constexpr HRESULT HresultFromWin32(DWORD code) {
  return code == 0 ? S_OK : static_cast<HRESULT>((code & 0xFFFFu) | 0x80070000u);
}

}  // namespace velquor

#endif  // VELQUOR_PLATFORM_ERROR_INFO_H_
