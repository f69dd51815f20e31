#include "platform/error_info.h"

namespace {

// Plain pointer and integer: no destructor runs at thread exit, so the
// library can still be unloaded.
thread_local IErrorInfo* t_error_info = nullptr;
thread_local DWORD t_last_error = 0;

}  // namespace

HRESULT SetErrorInfo(DWORD reserved, IErrorInfo* info) {
  if (reserved != 0) return E_INVALIDARG;
  if (info != nullptr) info->AddRef();
  IErrorInfo* previous = t_error_info;
  t_error_info = info;
  if (previous != nullptr) previous->Release();
  return S_OK;
}

HRESULT GetErrorInfo(DWORD reserved, IErrorInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  if (reserved != 0) return E_INVALIDARG;
  *info = t_error_info;
  t_error_info = nullptr;
  return *info != nullptr ? S_OK : S_FALSE;
}

DWORD GetLastError() { return t_last_error; }

void SetLastError(DWORD code) { t_last_error = code; }
