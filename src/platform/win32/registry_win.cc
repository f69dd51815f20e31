// The registry helpers of registry.h over the system registry.
#include "platform/registry.h"

namespace velquor {
namespace {

// One mutex for every total, shared by all processes of the session: the
// registry has no atomic add, so each read-add-write runs under it.
constexpr char kTotalsMutexName[] = "Local\\Velquor.Totals";

// Holds the totals mutex for the lifetime of the object, or nothing when it
// could not be had; a mutex left by a process that died holding it is taken
// over (the value it guarded is whole: each write replaces it at once).
class TotalsLock {
 public:
  TotalsLock() {
    mutex_ = CreateMutexA(nullptr, FALSE, kTotalsMutexName);
    if (mutex_ == nullptr) {
      status_ = static_cast<LSTATUS>(GetLastError());
      return;
    }
    const DWORD wait = WaitForSingleObject(mutex_, INFINITE);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
      held_ = true;
    } else {
      status_ = static_cast<LSTATUS>(GetLastError());
      if (status_ == ERROR_SUCCESS) status_ = ERROR_CANTWRITE;
    }
  }
  ~TotalsLock() {
    if (held_) ReleaseMutex(mutex_);
    if (mutex_ != nullptr) CloseHandle(mutex_);
  }
  TotalsLock(const TotalsLock&) = delete;
  TotalsLock& operator=(const TotalsLock&) = delete;

  LSTATUS status() const { return held_ ? ERROR_SUCCESS : status_; }

 private:
  HANDLE mutex_ = nullptr;
  bool held_ = false;
  LSTATUS status_ = ERROR_SUCCESS;
};

}  // namespace

LSTATUS RegIncrementValue(HKEY root, const char* subkey, const char* name, DWORD* new_value) {
  TotalsLock lock;
  if (lock.status() != ERROR_SUCCESS) return lock.status();
  ScopedKey key;
  LSTATUS status = RegCreateKeyExA(root, subkey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                                   nullptr, key.Out(), nullptr);
  if (status != ERROR_SUCCESS) return status;
  BYTE bytes[4] = {0, 0, 0, 0};
  DWORD size = sizeof bytes;
  uint32_t value = 0;
  status = RegQueryValueExA(key.get(), name, nullptr, nullptr, bytes, &size);
  if (status == ERROR_SUCCESS && size <= sizeof bytes) {
    for (DWORD i = 0; i < size; ++i) value |= static_cast<uint32_t>(bytes[i]) << (8 * i);
  } else if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND &&
             status != ERROR_MORE_DATA) {
    return status;
  }
  value += 1;
  const BYTE out[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                       static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)};
  status = RegSetValueExA(key.get(), name, 0, REG_DWORD, out, sizeof out);
  if (status == ERROR_SUCCESS && new_value != nullptr) *new_value = value;
  return status;
}

LSTATUS RegReadValueFast(HKEY root, const char* subkey, const char* name, BYTE* data, DWORD limit,
                         DWORD* size) {
  ScopedKey key;
  LSTATUS status = RegOpenKeyExA(root, subkey, 0, KEY_QUERY_VALUE, key.Out());
  if (status != ERROR_SUCCESS) return status;
  DWORD got = limit;
  status = RegQueryValueExA(key.get(), name, nullptr, nullptr, data, &got);
  if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) *size = got;
  return status;
}

uint64_t RegChangeSerial() { return 0; }

void CloseRegistry() {}

std::string StoreProblem() { return std::string(); }

}  // namespace velquor
