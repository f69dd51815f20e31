// The registry's private parts, shared by the files that make it up:
// registry_profile.cc (where the profile is), registry_shared_file.cc (the
// change serial and the live totals in the shared file),
// registry_connections.cc (the SQLite connection pool and the operations run
// on it), registry_keys.cc (handles, key paths, values in the database),
// registry_counters.cc (counters, transactions, the read cache and
// shut-down) and registry.cc (the published Reg*A calls). Nothing outside
// these files includes it.
//
// Locks: g_mu guards the profile location and the connection pool,
// g_handle_mu the handle table, g_cache_mu the read cache; none is held while
// another is taken.
#ifndef VELQUOR_PLATFORM_REGISTRY_INTERNAL_H_
#define VELQUOR_PLATFORM_REGISTRY_INTERNAL_H_

#include <pthread.h>
#include <sqlite3.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/ascii.h"
#include "platform/never_destroyed.h"
#include "platform/registry.h"

static_assert(sizeof(uintptr_t) == 8, "handles encode a generation above bit 32");

namespace velquor::registry_internal {

constexpr int kBusyTimeoutMs = 2000;
constexpr char kStoreFileName[] = "registry.db";
// The change serial: a tiny shared file that every writer of the store bumps,
// so that a process can tell without asking the database that nothing it
// cached has changed.
constexpr char kSerialFileName[] = "registry.serial";
constexpr size_t kSerialFileSize = 64;
// The same file, in its current layout, also carries the live totals: a small
// table of 4-byte counters (such as "Pages" and "Killed") that an increment
// changes with one atomic operation instead of a database commit. Readers in
// every process see a live slot's value in place of the database's; whichever
// process next commits anything writes the live values through.
constexpr uint64_t kLiveMagic = 0x31304556494C5156ull;  // "VQLIVE01"
constexpr size_t kLiveSlotCount = 16;
constexpr size_t kLiveKeyBytes = 102;
// A slot's word: the value in bits 0-31, "live" in bit 32 and a generation,
// bumped at each start from the database, in bits 33-63.
constexpr uint64_t kLiveBit = uint64_t{1} << 32;
constexpr int kGenerationShift = 33;
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;
// Values up to this size are kept whole in the read cache.
constexpr DWORD kCachedBytes = 1024;
constexpr size_t kMaxCacheEntries = 4096;

struct LiveSlot {
  uint64_t word;
  uint64_t hash;     // of the key; 0 while unbound; published after the key
  uint64_t flushed;  // the word last written through to the database
  uint16_t key_length;
  char key[kLiveKeyBytes];  // root digit, lower-case path, zero, lower-case name
};
static_assert(sizeof(LiveSlot) == 128, "a slot is two cache lines");

struct LiveTable {
  uint64_t serial;  // the change serial, where the older layout has it
  uint64_t magic;
  uint32_t bindings;  // slots bound so far; they are bound in order, for good
  char padding[44];
  LiveSlot slots[kLiveSlotCount];
};
constexpr size_t kLiveFileSize = sizeof(LiveTable);
static_assert(offsetof(LiveTable, slots) == kSerialFileSize,
              "the serial stays where the older layout has it");

constexpr int64_t kClassesRootId = 1;
constexpr int64_t kCurrentUserId = 2;

enum StatementId {
  kFindKey,
  kKeyExists,
  kGetValue,
  kSetValue,
  kDeleteValue,
  kInsertKey,
  kHasChildren,
  kDeleteKey,
  kDeleteKeyValues,
  kEnumKey,
  kEnumValue,
  kEnumKeyAfter,
  kEnumValueAfter,
  kEnumKeyFrom,
  kEnumValueFrom,
  kBegin,
  kCommit,
  kRollback,
  kFlushLive,
  kStatementCount
};

struct Connection {
  sqlite3* db = nullptr;
  pid_t pid = 0;
  bool schema_ok = false;
  bool broken = false;  // closed instead of going back to the pool
  sqlite3_stmt* statements[kStatementCount] = {};
  // The transaction this connection is pinned to, if any.
  bool pinned = false;
  pthread_t owner{};
  uint64_t serial_mark = 0;
  // Live slots whose value this connection's transaction has written: each
  // with the word's generation then. They stop being live at commit.
  std::vector<std::pair<size_t, uint64_t>> touched;
  // Increments that this connection's transaction has counted in live slots,
  // by slot and generation: taken back if it rolls back.
  struct Counted {
    size_t slot;
    uint64_t generation;
    uint32_t count;
  };
  std::vector<Counted> counted;
  Connection* next = nullptr;
};

// A key as an operation sees it.
struct KeyRef {
  int root = 0;
  int64_t id = 0;
  std::string path;
  REGSAM sam = 0;
};

// Where an enumeration in index order stands: the name it gave for `index`,
// while the store has not changed since (`serial`, even). The next index then
// continues after that name instead of counting from the first.
struct EnumCursor {
  DWORD index = 0;
  uint64_t serial = 1;  // odd: no cursor
  std::string name;
};

struct HandleSlot {
  uint32_t generation = 0;
  bool used = false;
  int root = 0;
  int64_t id = 0;
  std::string path;
  REGSAM sam = 0;
  EnumCursor subkeys;
  EnumCursor values;
};

// ---- Process-wide state (defined in the file of its job) --------------------

// registry_profile.cc.
extern std::mutex g_mu;
extern bool g_resolved;

// Where the profile is and why the store last failed. Made at first use and
// deleted by CloseRegistry(), never a static object: shut-down may run after
// the static destructors, and other threads may still call in at exit.
struct ProfileTexts {
  std::string dir;
  std::string file;
  std::string serial_file;
  std::string problem;
};
// Both require g_mu.
ProfileTexts& TextsLocked();
void ReleaseTextsLocked();

// registry_connections.cc. The connection lists are intrusive so that nothing
// owns memory through a destructor: a connection left open at exit stays
// reachable from these pointers.
extern Connection* g_idle;
extern Connection* g_pinned;
extern pid_t g_pool_pid;
// Transactions open in this process, so that an increment can tell cheaply
// that its thread has none.
extern std::atomic<int> g_open_transactions;

// registry_shared_file.cc. The mapped change serial: odd while a write is in
// flight (or after a writer died between its commit and its finish); each
// finished write leaves it at a new even number.
extern std::atomic<uint64_t*> g_serial;
extern std::atomic<bool> g_serial_writable;
extern size_t g_map_size;
// The live totals, when the mapped file has the current layout.
extern std::atomic<LiveTable*> g_live;
extern std::atomic<bool> g_live_writable;

// registry_keys.cc.
extern std::mutex g_handle_mu;
extern std::vector<HandleSlot>& g_handles;
extern std::vector<uint32_t>& g_free_handles;

// ---- The profile (registry_profile.cc) ---------------------------------------

// Reads the profile location from the environment once. Requires g_mu.
void ResolveLocked();
// Records why the store failed, for StoreProblem().
void SetProblem(const std::string& problem);
// The store file's path.
std::string StoreFile();

// ---- The shared file (registry_shared_file.cc) -------------------------------

// Maps the serial file; with `create`, makes it first. Returns the mapping or
// null. Safe to call from several threads: the first mapping wins.
uint64_t* MapSerial(bool create);
// Marks a write as in flight (under the database's write lock); returns the
// mark to end it with.
uint64_t SerialBeginWrite(uint64_t* serial);
// Marks the write finished after its commit or rollback.
void SerialEndWrite(uint64_t* serial, uint64_t mark);

//
// A slot is bound to one value for good (slots are never reused for another
// value, so a bound key never changes under a reader). Binding a slot and
// starting it from the database happen only while holding the database's
// write lock, an fcntl lock that dies with its holder; so do the writes that
// end a slot's life (a value set, deleted or its key deleted through the
// API), which take effect when their transaction commits. Increments of a
// live slot take no lock at all: one compare-and-swap of its word.

struct LiveKey {
  char bytes[kLiveKeyBytes];
  size_t length = 0;
  uint64_t hash = 0;
};

// The slot key of value `name` of the key `base_path` + `subkey` of root
// `root` (0: classes, 1: current user). False when it is too long for a slot.
bool MakeLiveKey(int root, const char* base_path, const char* subkey, const char* name,
                 LiveKey* out);
uint32_t LiveBindings(LiveTable* t);
// The slot bound to `key`, or -1.
int FindLiveSlot(LiveTable* t, const LiveKey& key);
// The slot bound to `key`, binding the next free one; -1 when the table is
// full. Under the database's write lock.
int BindLiveSlot(LiveTable* t, const LiveKey& key);
uint64_t LiveWord(LiveTable* t, size_t i);
// The value of slot `i` when it is live.
bool LiveValue(LiveTable* t, size_t i, uint32_t* value);
// Adds `delta` to slot `i` while it is live (and of `generation` when that
// is given); false when it is not. `counted_in` gets the generation counted in.
bool AddLive(LiveTable* t, size_t i, uint32_t delta, const uint64_t* generation, uint32_t* value,
             uint64_t* counted_in = nullptr);
bool IncrementLive(LiveTable* t, size_t i, uint32_t* value);
void LiveBytes(uint32_t v, BYTE out[4]);

// ---- Connections (registry_connections.cc) -----------------------------------

void CloseConnection(Connection* c);
LSTATUS MapError(int rc, bool writing);
// Records why the store failed, and marks the connection for closing when
// the failure is about the file itself rather than this one operation.
LSTATUS Fail(Connection* c, int rc, bool writing);
sqlite3_stmt* Statement(Connection* c, StatementId id, int* rc);
int ExecSimple(Connection* c, StatementId id);
// Opens a new connection. Without `create`, a store that does not exist
// yields ERROR_FILE_NOT_FOUND and nothing is made.
LSTATUS OpenConnection(bool create, Connection** out);
// Whether the tables exist; a store file without them reads as empty.
int CheckSchema(Connection* c, bool* present);
// Makes the tables; inside a write transaction.
int EnsureSchema(Connection* c);
// Requires g_mu.
Connection* FindPinnedLocked(pthread_t self);
// After fork() a child abandons the connections it inherited. Requires g_mu.
void ForgetInheritedLocked();
// Whether the calling thread has a transaction open.
bool InTransaction();
bool TouchedBy(const Connection* c, size_t slot);
// Puts the live value of value `name` of key `path` over what the database
// answered, unless this connection's own transaction has written that value.
void OverlayLive(const Connection* c, int root, const std::string& path, const char* name,
                 LSTATUS* status, DWORD* type, std::string* bytes);
// Records that this connection's transaction writes value `name` of key
// `path` (or, for MarkTouchedKey, every value of it): its live slot, if any,
// ends when the transaction commits.
void MarkTouchedValue(Connection* c, int root, const std::string& path, const char* name);
void MarkTouchedKey(Connection* c, int root, const std::string& path);
// Writes every live value the database does not hold yet through to it,
// inside the transaction about to commit.
LSTATUS FlushLive(Connection* c, uint64_t written[kLiveSlotCount]);
// After a commit: records what was written through, and ends the life of
// every slot the transaction wrote.
void FinishLive(Connection* c, const uint64_t written[kLiveSlotCount]);
// Takes back what a transaction that rolls back counted in live slots.
void TakeBackCounted(Connection* c);

// Resets a statement as soon as its step is done, so that it never holds a
// read snapshot past the operation.
class StepScope {
 public:
  explicit StepScope(sqlite3_stmt* s) : s_(s) {}
  ~StepScope() {
    if (s_) sqlite3_reset(s_);
  }
  StepScope(const StepScope&) = delete;
  StepScope& operator=(const StepScope&) = delete;

 private:
  sqlite3_stmt* s_;
};

// One operation's use of a connection: the calling thread's transaction
// connection if it has one, else one from the pool, else a new one.
class Session {
 public:
  Session() = default;
  ~Session() {
    if (!c_ || c_->pinned) return;
    if (c_->broken) {
      CloseConnection(c_);
      return;
    }
    std::lock_guard<std::mutex> lock(g_mu);
    if (c_->pid != g_pool_pid) return;  // forked meanwhile: abandon
    c_->next = g_idle;
    g_idle = c_;
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  LSTATUS Open(bool create) {
    {
      std::lock_guard<std::mutex> lock(g_mu);
      ForgetInheritedLocked();
      c_ = FindPinnedLocked(pthread_self());
      if (!c_ && g_idle) {
        c_ = g_idle;
        g_idle = c_->next;
        c_->next = nullptr;
      }
    }
    if (c_) return ERROR_SUCCESS;
    return OpenConnection(create, &c_);
  }

  Connection* get() const { return c_; }
  bool in_transaction() const { return c_ && c_->pinned; }

 private:
  Connection* c_ = nullptr;
};

// Runs `body` in a write transaction of its own, or inside the calling
// thread's transaction. A failure of `body` rolls its own transaction back.
template <typename Body>
LSTATUS WriteOperation(Body body) {
  Session session;
  LSTATUS status = session.Open(true);
  if (status != ERROR_SUCCESS) return status;
  Connection* c = session.get();
  if (session.in_transaction()) return body(c);
  uint64_t* serial = MapSerial(true);
  if (!serial || !g_serial_writable.load(std::memory_order_acquire)) {
    SetProblem(ProfileDirectory() + "/" + kSerialFileName + ": cannot be created or written");
    return ERROR_CANTWRITE;
  }
  int rc = ExecSimple(c, kBegin);
  if (rc != SQLITE_OK) return Fail(c, rc, true);
  uint64_t mark = SerialBeginWrite(serial);
  c->touched.clear();
  uint64_t written[kLiveSlotCount] = {};
  rc = EnsureSchema(c);
  if (rc != SQLITE_OK) {
    status = Fail(c, rc, true);
  } else {
    status = body(c);
  }
  if (status == ERROR_SUCCESS) status = FlushLive(c, written);
  if (status == ERROR_SUCCESS) {
    rc = ExecSimple(c, kCommit);
    if (rc != SQLITE_OK) {
      status = Fail(c, rc, true);
      ExecSimple(c, kRollback);
    } else {
      FinishLive(c, written);
    }
  } else {
    ExecSimple(c, kRollback);
  }
  c->touched.clear();
  SerialEndWrite(serial, mark);
  return status;
}

// Runs `body` on a connection for reading; a store that does not exist or has
// no tables yields ERROR_FILE_NOT_FOUND.
template <typename Body>
LSTATUS ReadOperation(Body body) {
  Session session;
  LSTATUS status = session.Open(false);
  if (status != ERROR_SUCCESS) return status;
  Connection* c = session.get();
  bool present = false;
  int rc = CheckSchema(c, &present);
  if (rc != SQLITE_OK) return Fail(c, rc, false);
  if (!present) return ERROR_FILE_NOT_FOUND;
  return body(c);
}

// ---- Keys and handles (registry_keys.cc) ------------------------------------

bool RootOf(HKEY key, KeyRef* ref);
LSTATUS ResolveHandle(HKEY key, KeyRef* ref);
HKEY NewHandle(const KeyRef& ref);
// The handle's slot, or null for a root or a handle not open. Requires
// g_handle_mu.
HandleSlot* OpenSlotLocked(HKEY key);
// The store's change serial now; odd when it cannot vouch that nothing changed.
uint64_t ChangeMark();
enum class CursorUse { kNone, kSame, kNext };
CursorUse CursorFor(HKEY key, bool values, DWORD index, uint64_t mark, std::string* name);
void RememberCursor(HKEY key, bool values, DWORD index, uint64_t mark, const std::string& name);
StatementId EnumStatement(bool values, CursorUse use);
// Splits a subkey of `base` into its names; false for a name or a depth
// beyond the platform's limits.
bool SplitPath(const KeyRef& base, const char* subkey, std::vector<std::string>* parts);
std::string JoinPath(const std::string& base, const std::string& name);
// Finds the key `path` of `root`; SQLITE_DONE when there is none.
int FindKey(Connection* c, int root, const std::string& path, int64_t* id);
// SQLITE_ROW when key `id` exists, SQLITE_DONE when it has been deleted.
int KeyExists(Connection* c, int64_t id);
// ERROR_FILE_NOT_FOUND for something missing in a key that exists, else
// ERROR_KEY_DELETED.
LSTATUS MissingIn(Connection* c, int64_t key_id);
LSTATUS GetValue(Connection* c, int64_t key_id, const char* name, DWORD* type, std::string* bytes);
// Creates every missing key of `parts` below `base`.
LSTATUS CreatePath(Connection* c, const KeyRef& base, const std::vector<std::string>& parts,
                   KeyRef* out, bool* created);
LSTATUS SetValue(Connection* c, int64_t key_id, const char* name, DWORD type, const void* data,
                 size_t size);
// Copies to a caller's buffer with the platform's size rules.
LSTATUS CopyOut(const std::string& bytes, BYTE* data, DWORD* size);
LSTATUS CopyName(const std::string& name, LPSTR buffer, DWORD* size);
LSTATUS OpenPath(const KeyRef& base, const std::vector<std::string>& parts, KeyRef* out);

}  // namespace velquor::registry_internal

#endif  // VELQUOR_PLATFORM_REGISTRY_INTERNAL_H_
