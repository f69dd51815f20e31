// The registry: keys and typed values under the roots HKEY_CURRENT_USER and
// HKEY_CLASSES_ROOT, under the platform's published names and result codes.
// Callers: the settings store (settings and totals), the registrar
// (registration under HKEY_CLASSES_ROOT) and the `velquor` host (config,
// stats, reg export/import).
//
// The registry lives in one SQLite database, "registry.db", in the profile
// directory ($VELQUOR_HOME, else $XDG_CONFIG_HOME/velquor when that is an
// absolute path, else $HOME/.config/velquor). The database and its directory
// are created at the first write; a read never creates anything, but a
// profile path that names a file is reported as a problem. Key paths and value names
// compare without regard to ASCII case and keep the case they were created
// with; values keep their type and raw bytes. A store that cannot be opened,
// is not a database or stays locked past the busy timeout (2 s) yields
// failure codes: reads fail and writes are dropped, never a crash or a hang.
//
// Threading: every function is safe on any thread. Connections are pooled
// (one in use per calling thread at a time); a transaction pins one to its
// thread. Handles are entries of a process-wide table: a closed or made-up
// handle yields ERROR_INVALID_HANDLE. CloseRegistry() empties the pool at
// shut-down; the registry reopens lazily afterwards. A connection is never
// used in a child after fork(): the child opens its own.
#ifndef VELQUOR_PLATFORM_REGISTRY_H_
#define VELQUOR_PLATFORM_REGISTRY_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/win_error.h"
#include "velquor/types.h"

// On Windows the registry is the system's; the declarations below are the
// stand-in's.
#if !defined(_WIN32)
typedef struct HKEY__* HKEY;
#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001u)))

typedef uint32_t REGSAM;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Opens `subkey` (a "\"-separated path; null or empty: `key` itself again)
// below `key` with the access `sam`. ERROR_FILE_NOT_FOUND when it does not
// exist (or there is no store yet). `*result` is set only on success.
LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subkey, DWORD options, REGSAM sam, HKEY* result);

// Opens `subkey` below `key`, creating it and every missing key on its path
// (and the store). `*disposition`, when given, tells REG_CREATED_NEW_KEY or
// REG_OPENED_EXISTING_KEY. `klass` and `security` are ignored.
LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subkey, DWORD reserved, LPSTR klass, DWORD options,
                        REGSAM sam, void* security, HKEY* result, DWORD* disposition);

// Reads value `name` (null or empty: the key's default value) as raw bytes.
// With `data` null only the type and size are told. A buffer smaller than the
// data gets ERROR_MORE_DATA, is left untouched, and `*size` tells the size
// needed. A REG_SZ value's size includes its terminating zero when it was
// stored with one.
LSTATUS RegQueryValueExA(HKEY key, LPCSTR name, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* size);

// Stores `size` raw bytes of `data` as value `name` with `type`, replacing
// any value of that name (whose name keeps its case).
LSTATUS RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD size);

// Closes a handle from RegOpenKeyExA/RegCreateKeyExA. Closing a root is a
// no-op; a closed or unknown handle yields ERROR_INVALID_HANDLE.
LSTATUS RegCloseKey(HKEY key);

// Deletes value `name`; ERROR_FILE_NOT_FOUND when there is none.
LSTATUS RegDeleteValueA(HKEY key, LPCSTR name);

// Deletes `subkey` (empty: the key of the handle) with its values. A key that
// has subkeys is refused with ERROR_ACCESS_DENIED, as is a root.
LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subkey);

// Deletes `subkey` with every key below it and all their values, deepest keys
// first. ERROR_FILE_NOT_FOUND when it does not exist; ERROR_INVALID_PARAMETER
// for a null or empty subkey (this stand-in never empties the key of the
// handle itself). A failure part way leaves the keys not yet reached; run it
// inside a transaction to make it all or nothing.
LSTATUS RegDeleteTreeA(HKEY key, LPCSTR subkey);

// The name of the `index`th subkey, in order of names compared without regard
// to ASCII case (letters as lower case, so "_" comes before them). `*name_size` is the buffer's
// size in bytes and becomes the name's length without its zero; a buffer too small gets
// ERROR_MORE_DATA and
// `*name_size` tells the size needed. ERROR_NO_MORE_ITEMS past the last.
LSTATUS RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, DWORD* name_size, DWORD* reserved,
                      LPSTR klass, DWORD* class_size, void* last_write_time);

// The `index`th value (the default value, named "", comes first), name as in
// RegEnumKeyExA, type and data as in RegQueryValueExA. Both enumerations cost
// the same for every index when a handle asks for the indexes in order (the
// same index again, or the next) while the store is unchanged.
LSTATUS RegEnumValueA(HKEY key, DWORD index, LPSTR name, DWORD* name_size, DWORD* reserved,
                      DWORD* type, BYTE* data, DWORD* data_size);
#endif  // !_WIN32

namespace velquor {

// The most names a key path may have below its root, as on the platform: a
// deeper key is refused with ERROR_INVALID_PARAMETER, as is a name of more
// than 255 bytes.
inline constexpr size_t kMaxKeyDepth = 512;

// Atomic read-add-1-write of a 4-byte counter: one write transaction reads the
// raw bytes (data of at most 4 bytes as a little-endian number, anything
// longer or absent as 0), adds 1 modulo 2^32 and writes a REG_DWORD, creating
// the key path. Returns ERROR_SUCCESS and `*new_value` (when given), or a
// failure code with nothing written. No increment is lost between threads or
// processes. Inside the thread's transaction, an increment of a total that
// other processes count too may be seen by them before the commit; a rollback
// takes it back. On Windows, where the registry has no atomic add, one named
// mutex shared by every process of the session guards each read-add-write.
LSTATUS RegIncrementValue(HKEY root, const char* subkey, const char* name, DWORD* new_value);

#if !defined(_WIN32)
// A write transaction on the calling thread: everything the thread writes
// between Begin and Commit lands at once; Rollback undoes it. Other writers
// wait (up to the busy timeout) meanwhile. Not nested: a second Begin, or a
// Commit/Rollback without Begin, yields ERROR_INVALID_PARAMETER. Begin creates
// the store when there is none.
LSTATUS RegBeginTransaction();
LSTATUS RegCommitTransaction();
LSTATUS RegRollbackTransaction();
#endif  // !_WIN32

// Reads value `name` of key `subkey` below `root` without a handle, as
// RegOpenKeyExA(KEY_QUERY_VALUE) + RegQueryValueExA + RegCloseKey would, into
// `*data` (`*size` tells the full size; at most `limit` bytes are copied, and
// only when the whole value fits, otherwise ERROR_MORE_DATA). When no write
// has been made to the store since the same value was last read, it is
// answered from a per-process cache without touching the database.
// On Windows it always reads the system registry.
LSTATUS RegReadValueFast(HKEY root, const char* subkey, const char* name, BYTE* data, DWORD limit,
                         DWORD* size);

// The store's change serial: it moves with every write made to the store by
// any process, so a reader that saw the same nonzero serial before its reads
// and again now knows nothing has been written since (totals counted in the
// shared file aside). 0 when that cannot be known: no store yet, a write in
// flight, or Windows, whose registry has no such serial. One atomic load once
// the store is mapped.
uint64_t RegChangeSerial();

// Closes every connection, cached statement and mapping (nothing to do on
// Windows). Call at shut-down
// with no registry call running; the registry works again afterwards and
// re-reads the profile location from the environment.
void CloseRegistry();

#if !defined(_WIN32)
// The profile directory and store file in use.
std::string ProfileDirectory();

// Why $VELQUOR_HOME names no profile when it is set to a relative path ("" when
// it is unset or absolute): such a value is refused rather than taken from
// whatever directory a program happens to run in.
std::string RelativeProfileProblem();
std::string StoreFilePath();
#endif  // !_WIN32

// Why the store could not be used at the last failure, naming the file and the
// reason; "" while it is fine (always "" on Windows).
std::string StoreProblem();

// An open key that is closed when the object goes. Pass Out() to the call
// that opens the key.
class ScopedKey {
 public:
  ScopedKey() = default;
  ~ScopedKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;
  HKEY* Out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

}  // namespace velquor

#endif  // VELQUOR_PLATFORM_REGISTRY_H_
