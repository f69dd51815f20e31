// Typed access to the settings and the two running totals, and the table of
// every value the system keeps, with its type and default, in one place.
// Callers: the judges, the page scanner, the replacement markup and the filter
// stream (reads and the totals' increments), start-up ("InstallDir"), and the
// `velquor` host (config, stats).
//
// Each read passes its own default and yields it whenever the key or value is
// missing or unreadable; a write that the store cannot take is dropped
// silently. Nothing is kept between calls except the registry's own read
// cache, which a write from any process invalidates before its next read, so a
// change made from outside takes effect at the next use. Every function is
// safe on any thread; an increment is one atomic step of the store, so none
// is lost between threads or processes.
#ifndef VELQUOR_SETTINGS_STORE_H_
#define VELQUOR_SETTINGS_STORE_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/registry.h"

namespace velquor {

inline constexpr char kConfigKey[] = "Software\\Morvanet\\Velquor\\Config";
inline constexpr char kStatsKey[] = "Software\\Morvanet\\Velquor\\Stats";

// The text of `name` under `key` (up to its first zero byte), read with a
// 1024-byte buffer; `default_value` when the key or value is missing or the
// data is longer than 1024 bytes. A stored empty text yields "".
std::string ReadStoreString(HKEY root, const std::string& key, const std::string& name,
                            const std::string& default_value);

// The 4-byte number `name` under `key`, its raw bytes read little-endian (data
// shorter than 4 bytes as the number of the bytes it has); `default_value`
// when missing or when the data is longer than 4 bytes.
uint32_t ReadStoreNumber(HKEY root, const std::string& key, const std::string& name,
                         uint32_t default_value);

// Stores `value` as a REG_DWORD, creating the key path; dropped silently when
// the store cannot take it.
void WriteStoreNumber(HKEY root, const std::string& key, const std::string& name, uint32_t value);

// Adds 1 (modulo 2^32) to the number `name` under `key` as one atomic step;
// dropped silently when the store cannot take it.
void IncrementStoreNumber(HKEY root, const std::string& key, const std::string& name);

enum class StoreType { kNumber, kText };

struct StoreValue {
  const char* key;
  const char* name;
  StoreType type;
  uint32_t number_default;
  // For kText: the default text; nullptr means string 109 of the string
  // table (the default replacement template).
  const char* text_default;
  const char* meaning;
};

// Every value of the system, settings first, then the totals.
extern const StoreValue kStoreValues[];
extern const size_t kStoreValueCount;

inline constexpr StoreValue kImages{
    kConfigKey, "Images", StoreType::kNumber,
    1,          nullptr,  "nonzero: link segments are judged; zero: they pass unchanged"};
inline constexpr StoreValue kApplets{
    kConfigKey, "Applets", StoreType::kNumber,
    1,          nullptr,   "nonzero: applet segments are judged; zero: they pass unchanged"};
inline constexpr StoreValue kScore{
    kConfigKey, "Score", StoreType::kNumber,
    100,        nullptr, "threshold: a segment scoring at least this is an advertisement"};
inline constexpr StoreValue kReplace{
    kConfigKey,
    "Replace",
    StoreType::kNumber,
    0,
    nullptr,
    "nonzero: a removed advertisement is replaced by the ReplaceHtml markup"};
inline constexpr StoreValue kReplaceHtml{
    kConfigKey, "ReplaceHtml", StoreType::kText, 0, nullptr, "template of the replacement markup"};
inline constexpr StoreValue kInstallDir{
    kConfigKey, "InstallDir", StoreType::kText,
    0,          "",           "installation directory, where the user rules file MYRULES.TXT lies"};
inline constexpr StoreValue kTest{
    kConfigKey, "Test",  StoreType::kNumber,
    0,          nullptr, "nonzero: both footers are added to every page"};
inline constexpr StoreValue kAddModify{
    kConfigKey, "AddModify", StoreType::kNumber,
    1,          nullptr,     "nonzero: the modification footer is added to a modified page"};
inline constexpr StoreValue kAddStats{
    kConfigKey, "AddStats", StoreType::kNumber,
    1,          nullptr,    "nonzero: the statistics footer is added to a page with removals"};
inline constexpr StoreValue kExceptions{
    kConfigKey,
    "Exceptions",
    StoreType::kText,
    0,
    "",
    "hosts the proxy never filters (and their subdomains), separated by spaces"};
inline constexpr StoreValue kInspectHttps{
    kConfigKey, "InspectHttps", StoreType::kNumber,
    0,          nullptr,        "nonzero: velquor proxy filters HTTPS pages through its local CA"};
inline constexpr StoreValue kTunnelHosts{
    kConfigKey,
    "TunnelHosts",
    StoreType::kText,
    0,
    "",
    "hosts whose HTTPS the proxy tunnels without inspection, separated by spaces"};
inline constexpr StoreValue kKilled{kStatsKey, "Killed", StoreType::kNumber,
                                    0,         nullptr,  "total number of advertisements removed"};
inline constexpr StoreValue kPages{kStatsKey, "Pages", StoreType::kNumber,
                                   0,         nullptr, "total number of pages filtered"};

// The entry named `name` (compared without regard to ASCII case); nullptr
// when there is none.
const StoreValue* FindStoreValue(const std::string& name);

// ReadStoreNumber of `v` under HKEY_CURRENT_USER with its table default.
uint32_t ReadSetting(const StoreValue& v);

// ReadStoreString of `v` under HKEY_CURRENT_USER with `default_value`.
std::string ReadTextSetting(const StoreValue& v, const std::string& default_value);

// IncrementStoreNumber of `v` under HKEY_CURRENT_USER.
void IncrementCounter(const StoreValue& v);

// The number settings that the filter reads for each segment and at the end
// of a page, read together. A filter refreshes its snapshot once per chunk,
// so a change made from outside takes effect at the next chunk; while the
// store's change serial stays the same a refresh is one atomic load. Not
// shared between threads: each filter keeps its own.
class SettingsSnapshot {
 public:
  // Reads every setting unless the store is known unchanged since the last
  // read.
  void Refresh();

  uint32_t images = 1;
  uint32_t applets = 1;
  uint32_t score = 100;
  uint32_t replace = 0;
  uint32_t test = 0;
  uint32_t add_modify = 1;
  uint32_t add_stats = 1;

 private:
  uint64_t serial_ = 0;  // the change serial the values were read at; 0: none
};

// For the configuration program, which must tell the user when a write fails
// (StoreProblem() then says why): stores `v` as a REG_DWORD number or as a
// REG_SZ text with its terminating zero, creating the key path.
LSTATUS WriteSettingNumber(const StoreValue& v, uint32_t value);
LSTATUS WriteSettingText(const StoreValue& v, const std::string& text);

// Deletes the stored `v`, so that its default applies; ERROR_SUCCESS when
// nothing was stored.
LSTATUS DeleteSetting(const StoreValue& v);

// The size in bytes of the stored data of `v`; ERROR_FILE_NOT_FOUND when
// nothing is stored.
LSTATUS StoredSettingSize(const StoreValue& v, DWORD* size);

// For the velquor program, which is built on Linux alone: the store's
// transactions exist there only.
#if !defined(_WIN32)
// Sets both totals, "Pages" and "Killed", to 0 in one transaction.
LSTATUS ResetTotals();

// Whether a write to the store would go through now: begins a transaction
// and rolls it back. "" when it would, else why not, naming the file.
std::string StoreWriteProblem();
#endif  // !_WIN32

}  // namespace velquor

#endif  // VELQUOR_SETTINGS_STORE_H_
