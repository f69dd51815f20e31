#include "server/type_info_holder.h"

#include "platform/typelib.h"
#include "server/server_module.h"
#include "velquor/velquor.h"

namespace velquor {
namespace {

struct TypeInfoHolder {
  const IID* iid;
  const GUID* libid;
  WORD major;
  WORD minor;
  ITypeInfo* info;
  LONG users;
};

constinit TypeInfoHolder g_holder{&IID_IIENubrix, &LIBID_NUBRIXLib, 1, 0, nullptr, 0};

// Loads the type library and caches the type information; the caller holds
// the lock.
HRESULT LoadTypeInfoLocked(LCID lcid) {
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadRegTypeLib(*g_holder.libid, g_holder.major, g_holder.minor, lcid, &lib);
  if (FAILED(hr)) return hr;
  ITypeInfo* info = nullptr;
  hr = lib->GetTypeInfoOfGuid(*g_holder.iid, &info);
  if (SUCCEEDED(hr)) g_holder.info = info;
  lib->Release();
  return hr;
}

}  // namespace

void AddTypeInfoUser() {
  EnterCriticalSection(&Module().typeinfo_lock);
  ++g_holder.users;
  LeaveCriticalSection(&Module().typeinfo_lock);
}

void ReleaseTypeInfoUser() {
  EnterCriticalSection(&Module().typeinfo_lock);
  if (--g_holder.users == 0 && g_holder.info != nullptr) {
    g_holder.info->Release();
    g_holder.info = nullptr;
  }
  LeaveCriticalSection(&Module().typeinfo_lock);
}

HRESULT GetNubrixTypeInfo(LCID lcid, ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  EnterCriticalSection(&Module().typeinfo_lock);
  HRESULT hr = S_OK;
  if (g_holder.info == nullptr) hr = LoadTypeInfoLocked(lcid);
  if (g_holder.info != nullptr) {
    g_holder.info->AddRef();
    *info = g_holder.info;
    hr = S_OK;
  }
  LeaveCriticalSection(&Module().typeinfo_lock);
  return hr;
}

LONG TypeInfoUserCount() {
  EnterCriticalSection(&Module().typeinfo_lock);
  LONG users = g_holder.users;
  LeaveCriticalSection(&Module().typeinfo_lock);
  return users;
}

bool TypeInfoCached() {
  EnterCriticalSection(&Module().typeinfo_lock);
  bool cached = g_holder.info != nullptr;
  LeaveCriticalSection(&Module().typeinfo_lock);
  return cached;
}

}  // namespace velquor
