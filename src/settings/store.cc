#include "settings/store.h"

#include <cstring>

#include "platform/ascii.h"
#if !defined(_WIN32)
#include "platform/reg_transaction.h"
#endif

namespace velquor {

const StoreValue kStoreValues[] = {
    kImages,    kApplets,  kScore,      kReplace,      kReplaceHtml, kInstallDir, kTest,
    kAddModify, kAddStats, kExceptions, kInspectHttps, kTunnelHosts, kKilled,     kPages,
};
const size_t kStoreValueCount = sizeof(kStoreValues) / sizeof(kStoreValues[0]);

namespace {

constexpr DWORD kTextBufferSize = 1024;

// The number rules of ReadStoreNumber over plain texts, so that a setting read
// from the table builds no std::string.
uint32_t ReadNumber(HKEY root, const char* key, const char* name, uint32_t default_value) {
  BYTE bytes[4] = {0, 0, 0, 0};
  DWORD size = 0;
  if (RegReadValueFast(root, key, name, bytes, sizeof bytes, &size) != ERROR_SUCCESS) {
    return default_value;
  }
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

}  // namespace

std::string ReadStoreString(HKEY root, const std::string& key, const std::string& name,
                            const std::string& default_value) {
  BYTE buffer[kTextBufferSize];
  DWORD size = 0;
  if (RegReadValueFast(root, key.c_str(), name.c_str(), buffer, kTextBufferSize, &size) !=
      ERROR_SUCCESS) {
    return default_value;
  }
  // Data that fills the buffer without a zero byte ends at the buffer's end.
  const void* zero = std::memchr(buffer, 0, size);
  size_t length = zero ? static_cast<size_t>(static_cast<const BYTE*>(zero) - buffer) : size;
  return std::string(reinterpret_cast<const char*>(buffer), length);
}

uint32_t ReadStoreNumber(HKEY root, const std::string& key, const std::string& name,
                         uint32_t default_value) {
  return ReadNumber(root, key.c_str(), name.c_str(), default_value);
}

void WriteStoreNumber(HKEY root, const std::string& key, const std::string& name, uint32_t value) {
  HKEY handle = nullptr;
  if (RegCreateKeyExA(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle,
                      nullptr) != ERROR_SUCCESS) {
    return;
  }
  const BYTE bytes[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                         static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)};
  RegSetValueExA(handle, name.c_str(), 0, REG_DWORD, bytes, sizeof bytes);
  RegCloseKey(handle);
}

void IncrementStoreNumber(HKEY root, const std::string& key, const std::string& name) {
  RegIncrementValue(root, key.c_str(), name.c_str(), nullptr);
}

const StoreValue* FindStoreValue(const std::string& name) {
  for (size_t i = 0; i < kStoreValueCount; ++i) {
    if (AsciiEqualsNoCase(kStoreValues[i].name, name)) return &kStoreValues[i];
  }
  return nullptr;
}

uint32_t ReadSetting(const StoreValue& v) {
  return ReadNumber(HKEY_CURRENT_USER, v.key, v.name, v.number_default);
}

std::string ReadTextSetting(const StoreValue& v, const std::string& default_value) {
  return ReadStoreString(HKEY_CURRENT_USER, v.key, v.name, default_value);
}

void SettingsSnapshot::Refresh() {
  const uint64_t serial = RegChangeSerial();
  if (serial != 0 && serial == serial_) return;
  images = ReadSetting(kImages);
  applets = ReadSetting(kApplets);
  score = ReadSetting(kScore);
  replace = ReadSetting(kReplace);
  test = ReadSetting(kTest);
  add_modify = ReadSetting(kAddModify);
  add_stats = ReadSetting(kAddStats);
  serial_ = serial;
}

void IncrementCounter(const StoreValue& v) {
  // Straight to the store: a total is counted once per removal, and copies
  // of its key and name would cost more than the increment.
  RegIncrementValue(HKEY_CURRENT_USER, v.key, v.name, nullptr);
}

namespace {

LSTATUS WriteSettingBytes(const StoreValue& v, DWORD type, const BYTE* data, DWORD size) {
  ScopedKey key;
  LSTATUS s = RegCreateKeyExA(HKEY_CURRENT_USER, v.key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key.Out(), nullptr);
  if (s != ERROR_SUCCESS) return s;
  return RegSetValueExA(key.get(), v.name, 0, type, data, size);
}

}  // namespace

LSTATUS WriteSettingNumber(const StoreValue& v, uint32_t value) {
  const BYTE bytes[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                         static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)};
  return WriteSettingBytes(v, REG_DWORD, bytes, sizeof bytes);
}

LSTATUS WriteSettingText(const StoreValue& v, const std::string& text) {
  return WriteSettingBytes(v, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>(text.size() + 1));
}

LSTATUS DeleteSetting(const StoreValue& v) {
  ScopedKey key;
  LSTATUS s = RegOpenKeyExA(HKEY_CURRENT_USER, v.key, 0, KEY_SET_VALUE, key.Out());
  if (s == ERROR_SUCCESS) s = RegDeleteValueA(key.get(), v.name);
  return s == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : s;
}

LSTATUS StoredSettingSize(const StoreValue& v, DWORD* size) {
  ScopedKey key;
  LSTATUS s = RegOpenKeyExA(HKEY_CURRENT_USER, v.key, 0, KEY_QUERY_VALUE, key.Out());
  if (s != ERROR_SUCCESS) return s;
  return RegQueryValueExA(key.get(), v.name, nullptr, nullptr, nullptr, size);
}

#if !defined(_WIN32)
LSTATUS ResetTotals() {
  ScopedRegTransaction transaction;
  if (!transaction.owned()) return transaction.begin_status();
  LSTATUS s = ERROR_SUCCESS;
  for (const StoreValue* v : {&kPages, &kKilled}) {
    if (s == ERROR_SUCCESS) s = WriteSettingNumber(*v, 0);
  }
  if (s != ERROR_SUCCESS) return s;  // the scope rolls the writes back
  return transaction.Commit();
}

std::string StoreWriteProblem() {
  { ScopedRegTransaction probe; }  // begun and rolled back at once
  return StoreProblem();
}
#endif  // !_WIN32

}  // namespace velquor
