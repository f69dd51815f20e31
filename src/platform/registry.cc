#include "platform/registry.h"

#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/never_destroyed.h"

static_assert(sizeof(uintptr_t) == 8, "handles encode a generation above bit 32");

namespace velquor {
namespace {

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

constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS keys("
    " id INTEGER PRIMARY KEY,"
    " parent INTEGER NOT NULL,"
    " root INTEGER NOT NULL,"
    " path TEXT NOT NULL COLLATE NOCASE,"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " UNIQUE(root, path));"
    "CREATE INDEX IF NOT EXISTS keys_by_parent ON keys(parent, name);"
    "CREATE TABLE IF NOT EXISTS vals("
    " key INTEGER NOT NULL,"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " PRIMARY KEY(key, name)) WITHOUT ROWID;"
    "INSERT OR IGNORE INTO keys(id, parent, root, path, name)"
    " VALUES(1, 0, 0, '', ''), (2, 0, 1, '', '');"
    "PRAGMA user_version = 1;";

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

constexpr const char* kStatementSql[kStatementCount] = {
    "SELECT id FROM keys WHERE root = ?1 AND path = ?2",
    "SELECT 1 FROM keys WHERE id = ?1",
    "SELECT type, data FROM vals WHERE key = ?1 AND name = ?2",
    ("INSERT INTO vals(key, name, type, data) VALUES(?1, ?2, ?3, ?4)"
     " ON CONFLICT(key, name) DO UPDATE SET type = excluded.type,"
     " data = excluded.data"),
    "DELETE FROM vals WHERE key = ?1 AND name = ?2",
    "INSERT INTO keys(parent, root, path, name) VALUES(?1, ?2, ?3, ?4)",
    "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1",
    "DELETE FROM keys WHERE id = ?1",
    "DELETE FROM vals WHERE key = ?1",
    "SELECT name FROM keys WHERE parent = ?1 ORDER BY name LIMIT 1 OFFSET ?2",
    "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY name LIMIT 1 OFFSET ?2",
    "SELECT name FROM keys WHERE parent = ?1 AND name > ?2 ORDER BY name LIMIT 1",
    ("SELECT name, type, data FROM vals WHERE key = ?1 AND name > ?2"
     " ORDER BY name LIMIT 1"),
    "SELECT name FROM keys WHERE parent = ?1 AND name >= ?2 ORDER BY name LIMIT 1",
    ("SELECT name, type, data FROM vals WHERE key = ?1 AND name >= ?2"
     " ORDER BY name LIMIT 1"),
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    ("UPDATE vals SET type = 4, data = ?1 WHERE name = ?2 AND key ="
     " (SELECT id FROM keys WHERE root = ?3 AND path = ?4)"),
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

// Process-wide state. The connection lists are intrusive so that nothing
// here owns memory through a destructor: a connection left open at exit
// stays reachable from these pointers.
constinit std::mutex g_mu;
constinit Connection* g_idle = nullptr;
constinit Connection* g_pinned = nullptr;
constinit pid_t g_pool_pid = 0;
constinit bool g_resolved = false;
// The texts are never destroyed: shut-down may run after the static
// destructors, and other threads may still call in at exit.
constinit NeverDestroyed<std::string> g_dir_holder;
constinit NeverDestroyed<std::string> g_file_holder;
constinit NeverDestroyed<std::string> g_serial_file_holder;
constinit NeverDestroyed<std::string> g_problem_holder;
std::string& g_dir = g_dir_holder.value;
std::string& g_file = g_file_holder.value;
std::string& g_serial_file = g_serial_file_holder.value;
std::string& g_problem = g_problem_holder.value;

// The mapped change serial. Odd while a write is in flight (or after a writer
// died between its commit and its finish); each finished write leaves it at a
// new even number.
constinit std::atomic<uint64_t*> g_serial{nullptr};
constinit std::atomic<bool> g_serial_writable{false};
constinit size_t g_map_size = 0;
// The live totals, when the mapped file has the current layout.
constinit std::atomic<LiveTable*> g_live{nullptr};
constinit std::atomic<bool> g_live_writable{false};
// Transactions open in this process, so that an increment can tell cheaply
// that its thread has none.
constinit std::atomic<int> g_open_transactions{0};

struct CacheEntry {
  uint64_t serial = 0;
  uint32_t bindings = 0;  // live slots bound when it was cached
  int slot = -1;          // the live slot of the value, if it has one
  LSTATUS status = ERROR_SUCCESS;
  DWORD size = 0;
  bool whole = false;  // bytes holds the whole value
  std::string key;     // as CacheKey() makes it, to tell hash collisions
  std::string bytes;
};
constinit std::mutex g_cache_mu;
// Made at the first entry, deleted by CloseRegistry(); never a static
// object, for the same reason as the texts above.
constinit std::unordered_map<uint64_t, CacheEntry>* g_cache = nullptr;

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
constinit std::mutex g_handle_mu;
constinit NeverDestroyed<std::vector<HandleSlot>> g_handles_holder;
constinit NeverDestroyed<std::vector<uint32_t>> g_free_handles_holder;
std::vector<HandleSlot>& g_handles = g_handles_holder.value;
std::vector<uint32_t>& g_free_handles = g_free_handles_holder.value;

// A key as an operation sees it.
struct KeyRef {
  int root = 0;
  int64_t id = 0;
  std::string path;
  REGSAM sam = 0;
};

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

std::string ComputeProfileDirectory() {
  const char* home = std::getenv("VELQUOR_HOME");
  if (home && *home) return home;
  // A relative XDG_CONFIG_HOME is invalid and ignored, as the convention says.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg == '/') return std::string(xdg) + "/velquor";
  const char* user_home = std::getenv("HOME");
  if (user_home && *user_home) return std::string(user_home) + "/.config/velquor";
  struct passwd pw;
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &pw, buffer, sizeof buffer, &found) == 0 && found &&
      found->pw_dir && *found->pw_dir) {
    return std::string(found->pw_dir) + "/.config/velquor";
  }
  return "";
}

// Requires g_mu.
void ResolveLocked() {
  if (g_resolved) return;
  g_dir = ComputeProfileDirectory();
  g_file = g_dir.empty() ? "" : g_dir + "/" + kStoreFileName;
  g_serial_file = g_dir.empty() ? "" : g_dir + "/" + kSerialFileName;
  g_resolved = true;
}

void SetProblem(const std::string& problem) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_problem = problem;
}

std::string StoreFile() {
  std::lock_guard<std::mutex> lock(g_mu);
  ResolveLocked();
  return g_file;
}

// ---- The change serial ----------------------------------------------------

// Maps the serial file; with `create`, makes it first. Returns the mapping or
// null. Safe to call from several threads: the first mapping wins. A file of
// the current layout is mapped whole, with its live totals; a file of the
// older, serial-only layout (or one cut short) is mapped for its serial alone,
// and the totals then go straight to the database.
uint64_t* MapSerial(bool create) {
  uint64_t* mapped = g_serial.load(std::memory_order_acquire);
  if (mapped && (!create || g_serial_writable.load(std::memory_order_acquire)))
    return mapped;
  std::string path;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    ResolveLocked();
    path = g_serial_file;
  }
  if (path.empty()) return nullptr;
  int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0);
  int fd = open(path.c_str(), flags, 0600);
  bool writable = fd >= 0;
  if (fd < 0 && !create) fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    close(fd);
    return nullptr;
  }
  size_t file_size = static_cast<size_t>(st.st_size);
  // An empty (new) file, or one too short even for the serial, gets the
  // current layout; zeroes are a valid starting state of every field.
  if (file_size < kSerialFileSize && writable && ftruncate(fd, kLiveFileSize) == 0)
    file_size = kLiveFileSize;
  if (file_size < kSerialFileSize) {
    close(fd);
    return nullptr;
  }
  size_t map_size = file_size >= kLiveFileSize ? kLiveFileSize : kSerialFileSize;
  void* p = mmap(nullptr, map_size,
                 writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (p == MAP_FAILED) return nullptr;
  LiveTable* live = nullptr;
  if (map_size == kLiveFileSize) {
    live = static_cast<LiveTable*>(p);
    std::atomic_ref<uint64_t> magic(live->magic);
    uint64_t seen = magic.load(std::memory_order_acquire);
    if (seen == 0 && writable) {
      magic.compare_exchange_strong(seen, kLiveMagic, std::memory_order_acq_rel,
                                    std::memory_order_acquire);
      seen = magic.load(std::memory_order_acquire);
    }
    if (seen != kLiveMagic) live = nullptr;  // a layout this build does not know
  }
  std::lock_guard<std::mutex> lock(g_mu);
  uint64_t* current = g_serial.load(std::memory_order_acquire);
  if (current && (g_serial_writable.load() || !writable)) {
    munmap(p, map_size);
    return current;
  }
  // A read-only mapping that another thread may still be reading is left in
  // place rather than unmapped under it; this happens at most once.
  g_map_size = map_size;
  g_live_writable.store(writable && live, std::memory_order_release);
  g_live.store(live, std::memory_order_release);
  g_serial_writable.store(writable, std::memory_order_release);
  g_serial.store(static_cast<uint64_t*>(p), std::memory_order_release);
  return static_cast<uint64_t*>(p);
}

// Marks a write as in flight: moves the serial to a new odd number. Called
// while holding the database's write lock.
uint64_t SerialBeginWrite(uint64_t* serial) {
  std::atomic_ref<uint64_t> s(*serial);
  uint64_t old = s.load(std::memory_order_acquire);
  uint64_t mark;
  do {
    mark = (old & 1) ? old + 2 : old + 1;
  } while (!s.compare_exchange_weak(old, mark, std::memory_order_acq_rel,
                                    std::memory_order_acquire));
  return mark;
}

// Marks the write finished after its commit or rollback. When a later writer
// has already moved the serial on, that writer finishes it instead.
void SerialEndWrite(uint64_t* serial, uint64_t mark) {
  std::atomic_ref<uint64_t> s(*serial);
  uint64_t expected = mark;
  s.compare_exchange_strong(expected, mark + 1, std::memory_order_acq_rel,
                            std::memory_order_acquire);
}

// ---- The live totals -------------------------------------------------------
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

// The slot key of value `name` of the key `base_path` + `subkey` (either may
// be empty) of root `root` (0: classes, 1: current user): path parts joined by
// one "\", letters in lower case. False when it is too long for a slot.
bool MakeLiveKey(int root, const char* base_path, const char* subkey,
                 const char* name, LiveKey* out) {
  size_t n = 0;
  auto put = [&n, out](char c) {
    if (n >= kLiveKeyBytes) return false;
    out->bytes[n++] = c;
    return true;
  };
  if (!put(root ? '1' : '0')) return false;
  bool any = false;
  for (const char* source : {base_path, subkey}) {
    const char* p = source ? source : "";
    while (*p) {
      while (*p == '\\') ++p;
      if (!*p) break;
      if (any && !put('\\')) return false;
      for (; *p && *p != '\\'; ++p)
        if (!put(LowerAscii(*p))) return false;
      any = true;
    }
  }
  if (!put('\0')) return false;
  for (const char* p = name ? name : ""; *p; ++p)
    if (!put(LowerAscii(*p))) return false;
  out->length = n;
  uint64_t h = 14695981039346656037ull;
  for (size_t i = 0; i < n; ++i) {
    h ^= static_cast<unsigned char>(out->bytes[i]);
    h *= 1099511628211ull;
  }
  out->hash = h ? h : 1;
  return true;
}

uint32_t LiveBindings(LiveTable* t) {
  uint32_t n = std::atomic_ref<uint32_t>(t->bindings).load(std::memory_order_acquire);
  return n > kLiveSlotCount ? static_cast<uint32_t>(kLiveSlotCount) : n;
}

// The slot bound to `key`, or -1.
int FindLiveSlot(LiveTable* t, const LiveKey& key) {
  uint32_t n = LiveBindings(t);
  for (uint32_t i = 0; i < n; ++i) {
    LiveSlot& s = t->slots[i];
    if (std::atomic_ref<uint64_t>(s.hash).load(std::memory_order_acquire) != key.hash)
      continue;
    if (s.key_length == key.length && std::memcmp(s.key, key.bytes, key.length) == 0)
      return static_cast<int>(i);
  }
  return -1;
}

// The slot bound to `key`, binding the next free one; -1 when the table is
// full. Under the database's write lock.
int BindLiveSlot(LiveTable* t, const LiveKey& key) {
  int found = FindLiveSlot(t, key);
  if (found >= 0) return found;
  std::atomic_ref<uint32_t> bindings(t->bindings);
  uint32_t i = bindings.load(std::memory_order_acquire);
  if (i >= kLiveSlotCount) return -1;
  LiveSlot& s = t->slots[i];
  // A binder that died before counting its slot may have left it half made.
  std::atomic_ref<uint64_t>(s.word).store(0, std::memory_order_relaxed);
  std::atomic_ref<uint64_t>(s.flushed).store(0, std::memory_order_relaxed);
  std::memcpy(s.key, key.bytes, key.length);
  s.key_length = static_cast<uint16_t>(key.length);
  std::atomic_ref<uint64_t>(s.hash).store(key.hash, std::memory_order_release);
  bindings.store(i + 1, std::memory_order_release);
  return static_cast<int>(i);
}

uint64_t LiveWord(LiveTable* t, size_t i) {
  return std::atomic_ref<uint64_t>(t->slots[i].word).load(std::memory_order_acquire);
}

// The value of slot `i` when it is live.
bool LiveValue(LiveTable* t, size_t i, uint32_t* value) {
  uint64_t w = LiveWord(t, i);
  if (!(w & kLiveBit)) return false;
  *value = static_cast<uint32_t>(w);
  return true;
}

// Adds `delta` to slot `i` while it is live, and of `generation` when that
// is given; false when it is not (any more). `counted_in` gets the
// generation of the word counted in.
bool AddLive(LiveTable* t, size_t i, uint32_t delta, const uint64_t* generation,
             uint32_t* value, uint64_t* counted_in = nullptr) {
  std::atomic_ref<uint64_t> word(t->slots[i].word);
  uint64_t w = word.load(std::memory_order_acquire);
  while ((w & kLiveBit) && (!generation || (w >> kGenerationShift) == *generation)) {
    uint32_t next = static_cast<uint32_t>(w) + delta;
    if (word.compare_exchange_weak(w, (w & ~uint64_t{0xFFFFFFFFu}) | next,
                                   std::memory_order_acq_rel,
                                   std::memory_order_acquire)) {
      if (value) *value = next;
      if (counted_in) *counted_in = w >> kGenerationShift;
      return true;
    }
  }
  return false;
}

bool IncrementLive(LiveTable* t, size_t i, uint32_t* value) {
  return AddLive(t, i, 1u, nullptr, value);
}

// Takes back what a transaction that is rolling back counted in live slots,
// from each slot that still lives the life it was counted in. (A slot ended
// since by a set of its value has lost those increments with the rest.)
void TakeBackCounted(Connection* c) {
  LiveTable* t = g_live.load(std::memory_order_acquire);
  if (t) {
    for (const Connection::Counted& k : c->counted)
      AddLive(t, k.slot, 0u - k.count, &k.generation, nullptr);
  }
  c->counted.clear();
}

void LiveBytes(uint32_t v, BYTE out[4]) {
  out[0] = static_cast<BYTE>(v);
  out[1] = static_cast<BYTE>(v >> 8);
  out[2] = static_cast<BYTE>(v >> 16);
  out[3] = static_cast<BYTE>(v >> 24);
}

// ---- Connections ---------------------------------------------------------

void CloseConnection(Connection* c) {
  for (sqlite3_stmt*& s : c->statements) {
    if (s) sqlite3_finalize(s);
    s = nullptr;
  }
  if (c->db) sqlite3_close_v2(c->db);
  delete c;
}

LSTATUS MapError(int rc, bool writing) {
  switch (rc & 0xFF) {
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      return ERROR_BADDB;
    case SQLITE_NOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return ERROR_ACCESS_DENIED;
    case SQLITE_CANTOPEN:
      return ERROR_CANTOPEN;
    default:
      return writing ? ERROR_CANTWRITE : ERROR_CANTREAD;
  }
}

// Records why the store failed, and marks the connection for closing when
// the failure is about the file itself rather than this one operation.
LSTATUS Fail(Connection* c, int rc, bool writing) {
  int primary = rc & 0xFF;
  const char* reason = sqlite3_errstr(rc);
  if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) {
    reason = "locked by another process past the 2 s timeout";
  } else if (primary == SQLITE_NOTADB) {
    reason = "not a registry database";
  }
  SetProblem(StoreFile() + ": " + reason);
  if (c && (primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT ||
            primary == SQLITE_CANTOPEN || primary == SQLITE_IOERR)) {
    c->broken = true;
  }
  return MapError(rc, writing);
}

sqlite3_stmt* Statement(Connection* c, StatementId id, int* rc) {
  if (!c->statements[id]) {
    *rc = sqlite3_prepare_v3(c->db, kStatementSql[id], -1,
                             SQLITE_PREPARE_PERSISTENT, &c->statements[id],
                             nullptr);
    if (*rc != SQLITE_OK) {
      c->statements[id] = nullptr;
      return nullptr;
    }
  }
  *rc = SQLITE_OK;
  return c->statements[id];
}

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

int ExecSimple(Connection* c, StatementId id) {
  // A rolled-back transaction may have been the one that made the tables.
  if (id == kRollback) c->schema_ok = false;
  int rc;
  sqlite3_stmt* s = Statement(c, id, &rc);
  if (!s) return rc;
  StepScope scope(s);
  rc = sqlite3_step(s);
  return rc == SQLITE_DONE || rc == SQLITE_ROW ? SQLITE_OK : rc;
}

// Opens a new connection. Without `create`, a store that does not exist
// yields ERROR_FILE_NOT_FOUND and nothing is made.
LSTATUS OpenConnection(bool create, Connection** out) {
  std::string dir, file;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    ResolveLocked();
    dir = g_dir;
    file = g_file;
  }
  if (dir.empty()) {
    SetProblem("no profile directory: set VELQUOR_HOME or HOME");
    return ERROR_CANTOPEN;
  }
  struct stat st;
  struct stat dir_st;
  if (stat(dir.c_str(), &dir_st) == 0 && !S_ISDIR(dir_st.st_mode)) {
    // A file stands where the profile should be: not a fresh profile, so a
    // read says so too.
    SetProblem(file + ": the profile directory " + dir + " is not a directory");
    return ERROR_CANTOPEN;
  }
  if (stat(file.c_str(), &st) != 0) {
    bool missing = errno == ENOENT || errno == ENOTDIR;
    if (missing && !create) return ERROR_FILE_NOT_FOUND;
    if (missing) {
      std::error_code ec;
      std::filesystem::create_directories(dir, ec);
      if (ec) {
        SetProblem(file + ": cannot create the profile directory " + dir + ": " +
                   ec.message());
        return ERROR_CANTWRITE;
      }
    }
  } else if (S_ISDIR(st.st_mode)) {
    SetProblem(file + ": is a directory");
    return ERROR_CANTOPEN;
  }
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX |
              (create ? SQLITE_OPEN_CREATE : 0);
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string reason = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    if (db) sqlite3_close_v2(db);
    if (!create && (rc & 0xFF) == SQLITE_CANTOPEN && access(file.c_str(), F_OK) != 0)
      return ERROR_FILE_NOT_FOUND;
    SetProblem(file + ": " + reason);
    return MapError(rc, create);
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  sqlite3_extended_result_codes(db, 1);
  auto* c = new Connection;
  c->db = db;
  c->pid = getpid();
  rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  int primary = rc & 0xFF;
  if (rc != SQLITE_OK && primary != SQLITE_BUSY && primary != SQLITE_LOCKED &&
      primary != SQLITE_READONLY) {
    LSTATUS status = Fail(c, rc, create);
    CloseConnection(c);
    return status;
  }
  sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  *out = c;
  return ERROR_SUCCESS;
}

// Whether the tables exist; a store file that holds no tables yet reads as
// an empty registry.
int CheckSchema(Connection* c, bool* present) {
  if (c->schema_ok) {
    *present = true;
    return SQLITE_OK;
  }
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_prepare_v2(c->db, "PRAGMA user_version", -1, &s, nullptr);
  if (rc != SQLITE_OK) return rc;
  rc = sqlite3_step(s);
  int version = rc == SQLITE_ROW ? sqlite3_column_int(s, 0) : 0;
  sqlite3_finalize(s);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return rc;
  c->schema_ok = version >= 1;
  *present = c->schema_ok;
  return SQLITE_OK;
}

// Makes the tables; inside a write transaction.
int EnsureSchema(Connection* c) {
  bool present = false;
  int rc = CheckSchema(c, &present);
  if (rc != SQLITE_OK || present) return rc;
  rc = sqlite3_exec(c->db, kSchema, nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) c->schema_ok = true;
  return rc;
}

Connection* FindPinnedLocked(pthread_t self) {
  for (Connection* c = g_pinned; c; c = c->next) {
    if (pthread_equal(c->owner, self)) return c;
  }
  return nullptr;
}

// After fork() a child must not touch the connections it inherited: they are
// abandoned (never closed, which could disturb the parent's locks).
void ForgetInheritedLocked() {
  pid_t pid = getpid();
  if (g_pool_pid == pid) return;
  g_idle = nullptr;
  g_pinned = nullptr;
  g_pool_pid = pid;
}

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

bool TouchedBy(const Connection* c, size_t slot) {
  if (!c) return false;
  for (const auto& t : c->touched)
    if (t.first == slot) return true;
  return false;
}

// Puts the live value of value `name` of key `path` over what the database
// answered, unless this connection's own transaction has written that value.
void OverlayLive(const Connection* c, int root, const std::string& path,
                 const char* name, LSTATUS* status, DWORD* type,
                 std::string* bytes) {
  if (*status != ERROR_SUCCESS && *status != ERROR_FILE_NOT_FOUND) return;
  LiveTable* t = g_live.load(std::memory_order_acquire);
  if (!t) return;
  LiveKey key;
  if (!MakeLiveKey(root, path.c_str(), nullptr, name, &key)) return;
  int i = FindLiveSlot(t, key);
  uint32_t v = 0;
  if (i < 0 || TouchedBy(c, static_cast<size_t>(i)) ||
      !LiveValue(t, static_cast<size_t>(i), &v))
    return;
  BYTE out[4];
  LiveBytes(v, out);
  *status = ERROR_SUCCESS;
  *type = REG_DWORD;
  bytes->assign(reinterpret_cast<const char*>(out), 4);
}

void MarkTouchedSlot(Connection* c, LiveTable* t, size_t i) {
  uint64_t w = LiveWord(t, i);
  if ((w & kLiveBit) && !TouchedBy(c, i)) c->touched.emplace_back(i, w >> kGenerationShift);
}

// Records that this connection's transaction writes value `name` of key
// `path`: its live slot, if any, ends when the transaction commits.
void MarkTouchedValue(Connection* c, int root, const std::string& path,
                      const char* name) {
  LiveTable* t = g_live.load(std::memory_order_acquire);
  LiveKey key;
  if (!t || !MakeLiveKey(root, path.c_str(), nullptr, name, &key)) return;
  int i = FindLiveSlot(t, key);
  if (i >= 0) MarkTouchedSlot(c, t, static_cast<size_t>(i));
}

// The same for every value of key `path`, which is being deleted.
void MarkTouchedKey(Connection* c, int root, const std::string& path) {
  LiveTable* t = g_live.load(std::memory_order_acquire);
  LiveKey key;
  if (!t || !MakeLiveKey(root, path.c_str(), nullptr, "", &key)) return;
  uint32_t n = LiveBindings(t);
  for (uint32_t i = 0; i < n; ++i) {
    const LiveSlot& s = t->slots[i];
    if (std::atomic_ref<uint64_t>(const_cast<uint64_t&>(s.hash))
                .load(std::memory_order_acquire) == 0)
      continue;
    if (s.key_length >= key.length && std::memcmp(s.key, key.bytes, key.length) == 0)
      MarkTouchedSlot(c, t, i);
  }
}

// Writes every live value that the database does not hold yet through to it,
// inside the transaction about to commit; `written` gets each slot's word as
// written (0 for slots left alone).
LSTATUS FlushLive(Connection* c, uint64_t written[kLiveSlotCount]) {
  LiveTable* t = g_live.load(std::memory_order_acquire);
  if (!t || !g_live_writable.load(std::memory_order_acquire)) return ERROR_SUCCESS;
  uint32_t n = LiveBindings(t);
  for (uint32_t i = 0; i < n; ++i) {
    LiveSlot& slot = t->slots[i];
    uint64_t w = LiveWord(t, i);
    if (!(w & kLiveBit) || TouchedBy(c, i) ||
        w == std::atomic_ref<uint64_t>(slot.flushed).load(std::memory_order_acquire))
      continue;
    size_t path_end = 1;
    while (path_end < slot.key_length && slot.key[path_end] != '\0') ++path_end;
    if (path_end >= slot.key_length) continue;
    BYTE bytes[4];
    LiveBytes(static_cast<uint32_t>(w), bytes);
    int rc;
    sqlite3_stmt* s = Statement(c, kFlushLive, &rc);
    if (!s) return Fail(c, rc, true);
    StepScope scope(s);
    sqlite3_bind_blob(s, 1, bytes, 4, SQLITE_STATIC);
    sqlite3_bind_text(s, 2, slot.key + path_end + 1,
                      static_cast<int>(slot.key_length - path_end - 1), SQLITE_STATIC);
    sqlite3_bind_int(s, 3, slot.key[0] == '1' ? 1 : 0);
    sqlite3_bind_text(s, 4, slot.key + 1, static_cast<int>(path_end - 1),
                      SQLITE_STATIC);
    rc = sqlite3_step(s);
    if (rc != SQLITE_DONE) return Fail(c, rc, true);
    written[i] = w;
  }
  return ERROR_SUCCESS;
}

// After a commit: records what was written through, and ends the life of
// every slot the transaction wrote (unless it has been restarted since).
void FinishLive(Connection* c, const uint64_t written[kLiveSlotCount]) {
  LiveTable* t = g_live.load(std::memory_order_acquire);
  if (t) {
    for (size_t i = 0; i < kLiveSlotCount; ++i) {
      if (written[i])
        std::atomic_ref<uint64_t>(t->slots[i].flushed)
            .store(written[i], std::memory_order_release);
    }
    for (const auto& [i, generation] : c->touched) {
      std::atomic_ref<uint64_t> word(t->slots[i].word);
      uint64_t w = word.load(std::memory_order_acquire);
      while ((w & kLiveBit) && (w >> kGenerationShift) == generation &&
             !word.compare_exchange_weak(w, w & ~kLiveBit, std::memory_order_acq_rel,
                                         std::memory_order_acquire)) {
      }
    }
  }
  c->touched.clear();
}

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
    SetProblem(ProfileDirectory() + "/" + kSerialFileName +
               ": cannot be created or written");
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

// ---- Keys and handles ----------------------------------------------------

bool RootOf(HKEY key, KeyRef* ref) {
  if (key == HKEY_CLASSES_ROOT) {
    *ref = KeyRef{0, kClassesRootId, "", KEY_ALL_ACCESS};
    return true;
  }
  if (key == HKEY_CURRENT_USER) {
    *ref = KeyRef{1, kCurrentUserId, "", KEY_ALL_ACCESS};
    return true;
  }
  return false;
}

LSTATUS ResolveHandle(HKEY key, KeyRef* ref) {
  if (RootOf(key, ref)) return ERROR_SUCCESS;
  uintptr_t v = reinterpret_cast<uintptr_t>(key);
  uint32_t generation = static_cast<uint32_t>(v >> 32);
  uint32_t index = static_cast<uint32_t>(v & 0xFFFFFFFFu);
  std::lock_guard<std::mutex> lock(g_handle_mu);
  if (generation == 0 || index == 0 || index > g_handles.size())
    return ERROR_INVALID_HANDLE;
  const HandleSlot& slot = g_handles[index - 1];
  if (!slot.used || slot.generation != generation) return ERROR_INVALID_HANDLE;
  *ref = KeyRef{slot.root, slot.id, slot.path, slot.sam};
  return ERROR_SUCCESS;
}

HKEY NewHandle(const KeyRef& ref) {
  std::lock_guard<std::mutex> lock(g_handle_mu);
  uint32_t index;
  if (!g_free_handles.empty()) {
    index = g_free_handles.back();
    g_free_handles.pop_back();
  } else {
    g_handles.emplace_back();
    index = static_cast<uint32_t>(g_handles.size());
  }
  HandleSlot& slot = g_handles[index - 1];
  slot.generation = slot.generation + 1 == 0 ? 1 : slot.generation + 1;
  slot.used = true;
  slot.root = ref.root;
  slot.id = ref.id;
  slot.path = ref.path;
  slot.sam = ref.sam;
  slot.subkeys = EnumCursor{};
  slot.values = EnumCursor{};
  uintptr_t v = (static_cast<uintptr_t>(slot.generation) << 32) | index;
  return reinterpret_cast<HKEY>(v);
}

// The handle's slot, or null for a root or a handle not (any more) open.
// Requires g_handle_mu.
HandleSlot* OpenSlotLocked(HKEY key) {
  uintptr_t v = reinterpret_cast<uintptr_t>(key);
  uint32_t generation = static_cast<uint32_t>(v >> 32);
  uint32_t index = static_cast<uint32_t>(v & 0xFFFFFFFFu);
  if (generation == 0 || index == 0 || index > g_handles.size()) return nullptr;
  HandleSlot& slot = g_handles[index - 1];
  return slot.used && slot.generation == generation ? &slot : nullptr;
}

// The store's change serial now; odd when it cannot vouch that nothing changed.
uint64_t ChangeMark() {
  uint64_t* serial = g_serial.load(std::memory_order_acquire);
  if (!serial) serial = MapSerial(false);
  return serial ? std::atomic_ref<uint64_t>(*serial).load(std::memory_order_acquire) : 1;
}

enum class CursorUse { kNone, kSame, kNext };

// How `index` can be found from the handle's last enumeration of the same
// kind while the store is unchanged since (`mark`): the same index again (the
// caller asked for the size first) or the next one, each from `*name`.
CursorUse CursorFor(HKEY key, bool values, DWORD index, uint64_t mark, std::string* name) {
  if (mark & 1) return CursorUse::kNone;
  std::lock_guard<std::mutex> lock(g_handle_mu);
  const HandleSlot* slot = OpenSlotLocked(key);
  if (!slot) return CursorUse::kNone;
  const EnumCursor& cursor = values ? slot->values : slot->subkeys;
  if (cursor.serial != mark) return CursorUse::kNone;
  *name = cursor.name;
  if (cursor.index == index) return CursorUse::kSame;
  if (cursor.index + 1 == index) return CursorUse::kNext;
  return CursorUse::kNone;
}

StatementId EnumStatement(bool values, CursorUse use) {
  switch (use) {
    case CursorUse::kSame:
      return values ? kEnumValueFrom : kEnumKeyFrom;
    case CursorUse::kNext:
      return values ? kEnumValueAfter : kEnumKeyAfter;
    case CursorUse::kNone:
      break;
  }
  return values ? kEnumValue : kEnumKey;
}

void RememberCursor(HKEY key, bool values, DWORD index, uint64_t mark,
                    const std::string& name) {
  std::lock_guard<std::mutex> lock(g_handle_mu);
  HandleSlot* slot = OpenSlotLocked(key);
  if (!slot) return;
  EnumCursor& cursor = values ? slot->values : slot->subkeys;
  cursor.index = index;
  cursor.serial = mark;
  cursor.name = name;
}

// The number of names in a key path below its root.
size_t PathDepth(const std::string& path) {
  return path.empty() ? 0
                      : 1 + static_cast<size_t>(std::count(path.begin(), path.end(), '\\'));
}

// Splits a "\"-separated subkey of the key `base` into its names, passing
// over empty ones. False for a name longer than the platform allows, or a
// path that would lie deeper below its root than the platform's limit.
bool SplitPath(const KeyRef& base, const char* subkey, std::vector<std::string>* parts) {
  parts->clear();
  if (!subkey) return true;
  const size_t room = kMaxKeyDepth - std::min(kMaxKeyDepth, PathDepth(base.path));
  std::string current;
  for (const char* p = subkey;; ++p) {
    if (*p == '\\' || *p == '\0') {
      if (!current.empty()) {
        if (parts->size() >= room) return false;
        parts->push_back(current);
      }
      current.clear();
      if (*p == '\0') break;
    } else {
      current.push_back(*p);
      if (current.size() > kMaxKeyNameLength) return false;
    }
  }
  return true;
}

std::string JoinPath(const std::string& base, const std::string& name) {
  return base.empty() ? name : base + "\\" + name;
}

// Finds the key `path` of `root`; SQLITE_DONE when there is none.
int FindKey(Connection* c, int root, const std::string& path, int64_t* id) {
  int rc;
  sqlite3_stmt* s = Statement(c, kFindKey, &rc);
  if (!s) return rc;
  StepScope scope(s);
  sqlite3_bind_int(s, 1, root);
  sqlite3_bind_text(s, 2, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
  rc = sqlite3_step(s);
  if (rc == SQLITE_ROW) *id = sqlite3_column_int64(s, 0);
  return rc;
}

// SQLITE_ROW when key `id` exists, SQLITE_DONE when it has been deleted.
int KeyExists(Connection* c, int64_t id) {
  int rc;
  sqlite3_stmt* s = Statement(c, kKeyExists, &rc);
  if (!s) return rc;
  StepScope scope(s);
  sqlite3_bind_int64(s, 1, id);
  return sqlite3_step(s);
}

// ERROR_FILE_NOT_FOUND for something missing in a key that exists, else
// ERROR_KEY_DELETED.
LSTATUS MissingIn(Connection* c, int64_t key_id) {
  int rc = KeyExists(c, key_id);
  if (rc == SQLITE_ROW) return ERROR_FILE_NOT_FOUND;
  if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
  return Fail(c, rc, false);
}

// Reads value `name` of key `key_id` into `*type` and `*bytes`.
LSTATUS GetValue(Connection* c, int64_t key_id, const char* name, DWORD* type,
                 std::string* bytes) {
  int rc;
  sqlite3_stmt* s = Statement(c, kGetValue, &rc);
  if (!s) return Fail(c, rc, false);
  {
    StepScope scope(s);
    sqlite3_bind_int64(s, 1, key_id);
    sqlite3_bind_text(s, 2, name ? name : "", -1, SQLITE_STATIC);
    rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) {
      *type = static_cast<DWORD>(sqlite3_column_int64(s, 0));
      const void* blob = sqlite3_column_blob(s, 1);
      int n = sqlite3_column_bytes(s, 1);
      bytes->assign(blob ? static_cast<const char*>(blob) : "",
                    blob ? static_cast<size_t>(n) : 0);
      return ERROR_SUCCESS;
    }
  }
  if (rc != SQLITE_DONE) return Fail(c, rc, false);
  return MissingIn(c, key_id);
}

// Creates every missing key of `parts` below `base`; `*created` tells whether
// the last one was new.
LSTATUS CreatePath(Connection* c, const KeyRef& base,
                   const std::vector<std::string>& parts, KeyRef* out,
                   bool* created) {
  int rc = KeyExists(c, base.id);
  if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
  if (rc != SQLITE_ROW) return Fail(c, rc, true);
  *out = base;
  *created = false;
  for (const std::string& part : parts) {
    std::string path = JoinPath(out->path, part);
    int64_t id = 0;
    rc = FindKey(c, base.root, path, &id);
    if (rc == SQLITE_DONE) {
      sqlite3_stmt* s = Statement(c, kInsertKey, &rc);
      if (!s) return Fail(c, rc, true);
      StepScope scope(s);
      sqlite3_bind_int64(s, 1, out->id);
      sqlite3_bind_int(s, 2, base.root);
      sqlite3_bind_text(s, 3, path.data(), static_cast<int>(path.size()),
                        SQLITE_STATIC);
      sqlite3_bind_text(s, 4, part.data(), static_cast<int>(part.size()),
                        SQLITE_STATIC);
      rc = sqlite3_step(s);
      if (rc != SQLITE_DONE) return Fail(c, rc, true);
      id = sqlite3_last_insert_rowid(c->db);
      *created = true;
    } else if (rc == SQLITE_ROW) {
      *created = false;
    } else {
      return Fail(c, rc, true);
    }
    out->id = id;
    out->path = path;
  }
  return ERROR_SUCCESS;
}

LSTATUS SetValue(Connection* c, int64_t key_id, const char* name, DWORD type,
                 const void* data, size_t size) {
  int rc = KeyExists(c, key_id);
  if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
  if (rc != SQLITE_ROW) return Fail(c, rc, true);
  sqlite3_stmt* s = Statement(c, kSetValue, &rc);
  if (!s) return Fail(c, rc, true);
  StepScope scope(s);
  sqlite3_bind_int64(s, 1, key_id);
  sqlite3_bind_text(s, 2, name ? name : "", -1, SQLITE_STATIC);
  sqlite3_bind_int64(s, 3, type);
  sqlite3_bind_blob64(s, 4, size ? data : "", size, SQLITE_STATIC);
  rc = sqlite3_step(s);
  if (rc != SQLITE_DONE) return Fail(c, rc, true);
  return ERROR_SUCCESS;
}

// Copies `bytes` to a caller's buffer with the platform's size rules.
LSTATUS CopyOut(const std::string& bytes, BYTE* data, DWORD* size) {
  DWORD needed = static_cast<DWORD>(bytes.size());
  if (!data) {
    if (size) *size = needed;
    return ERROR_SUCCESS;
  }
  if (*size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  if (needed) std::memcpy(data, bytes.data(), needed);
  *size = needed;
  return ERROR_SUCCESS;
}

// Copies a name with its terminating zero; `*size` counts bytes of the
// buffer in and of the name without the zero out.
LSTATUS CopyName(const std::string& name, LPSTR buffer, DWORD* size) {
  if (*size <= name.size()) {
    *size = static_cast<DWORD>(name.size() + 1);
    return ERROR_MORE_DATA;
  }
  std::memcpy(buffer, name.data(), name.size());
  buffer[name.size()] = '\0';
  *size = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

LSTATUS OpenPath(const KeyRef& base, const std::vector<std::string>& parts,
                 KeyRef* out) {
  *out = base;
  if (parts.empty()) {
    // The key itself again; it must still exist (roots always do).
    if (base.id == kClassesRootId || base.id == kCurrentUserId)
      return ERROR_SUCCESS;
    return ReadOperation([&](Connection* c) -> LSTATUS {
      int rc = KeyExists(c, base.id);
      if (rc == SQLITE_ROW) return ERROR_SUCCESS;
      if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
      return Fail(c, rc, false);
    });
  }
  std::string path = base.path;
  for (const std::string& part : parts) path = JoinPath(path, part);
  return ReadOperation([&](Connection* c) -> LSTATUS {
    int64_t id = 0;
    int rc = FindKey(c, base.root, path, &id);
    if (rc == SQLITE_ROW) {
      out->id = id;
      out->path = path;
      return ERROR_SUCCESS;
    }
    if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    return Fail(c, rc, false);
  });
}

// The cache's key of a value: root, key path and name, letters in lower case.
std::string CacheKey(HKEY root, const char* subkey, const char* name) {
  std::string key;
  key.push_back(root == HKEY_CURRENT_USER ? 'U' : 'C');
  for (const char* p = subkey ? subkey : ""; *p; ++p) key.push_back(LowerAscii(*p));
  key.push_back('\0');
  for (const char* p = name ? name : ""; *p; ++p) key.push_back(LowerAscii(*p));
  return key;
}

// FNV-1a of CacheKey(), computed without building it: a cached read must not
// allocate.
uint64_t CacheHash(HKEY root, const char* subkey, const char* name) {
  uint64_t h = 14695981039346656037ull;
  auto mix = [&h](char c) {
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ull;
  };
  mix(root == HKEY_CURRENT_USER ? 'U' : 'C');
  for (const char* p = subkey ? subkey : ""; *p; ++p) mix(LowerAscii(*p));
  mix('\0');
  for (const char* p = name ? name : ""; *p; ++p) mix(LowerAscii(*p));
  return h;
}

bool CacheKeyMatches(const std::string& key, HKEY root, const char* subkey,
                     const char* name) {
  size_t i = 0;
  if (key.empty() || key[i++] != (root == HKEY_CURRENT_USER ? 'U' : 'C')) return false;
  for (const char* p = subkey ? subkey : ""; *p; ++p)
    if (i >= key.size() || key[i++] != LowerAscii(*p)) return false;
  if (i >= key.size() || key[i++] != '\0') return false;
  for (const char* p = name ? name : ""; *p; ++p)
    if (i >= key.size() || key[i++] != LowerAscii(*p)) return false;
  return i == key.size();
}

}  // namespace

// ---- Published operations --------------------------------------------------

}  // namespace velquor

using velquor::KeyRef;

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subkey, DWORD, REGSAM sam, HKEY* result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  KeyRef base;
  LSTATUS status = velquor::ResolveHandle(key, &base);
  if (status != ERROR_SUCCESS) return status;
  std::vector<std::string> parts;
  if (!velquor::SplitPath(base, subkey, &parts)) return ERROR_INVALID_PARAMETER;
  KeyRef opened;
  status = velquor::OpenPath(base, parts, &opened);
  if (status != ERROR_SUCCESS) return status;
  opened.sam = sam;
  *result = velquor::NewHandle(opened);
  return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subkey, DWORD, LPSTR, DWORD, REGSAM sam,
                        void*, HKEY* result, DWORD* disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  KeyRef base;
  LSTATUS status = velquor::ResolveHandle(key, &base);
  if (status != ERROR_SUCCESS) return status;
  std::vector<std::string> parts;
  if (!velquor::SplitPath(base, subkey, &parts)) return ERROR_INVALID_PARAMETER;
  if (!parts.empty() && !(base.sam & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
  KeyRef made;
  bool created = false;
  status = velquor::WriteOperation([&](velquor::Connection* c) {
    return velquor::CreatePath(c, base, parts, &made, &created);
  });
  if (status != ERROR_SUCCESS) return status;
  made.sam = sam;
  *result = velquor::NewHandle(made);
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR name, DWORD* reserved, DWORD* type,
                         BYTE* data, DWORD* size) {
  if (reserved || (data && !size)) return ERROR_INVALID_PARAMETER;
  KeyRef ref;
  LSTATUS status = velquor::ResolveHandle(key, &ref);
  if (status != ERROR_SUCCESS) return status;
  if (!(ref.sam & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  DWORD stored_type = REG_NONE;
  std::string bytes;
  status = velquor::ReadOperation([&](velquor::Connection* c) {
    LSTATUS s = velquor::GetValue(c, ref.id, name, &stored_type, &bytes);
    velquor::OverlayLive(c, ref.root, ref.path, name, &s, &stored_type, &bytes);
    return s;
  });
  if (status != ERROR_SUCCESS) return status;
  if (type) *type = stored_type;
  return velquor::CopyOut(bytes, data, size);
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE* data,
                       DWORD size) {
  if (!data && size) return ERROR_INVALID_PARAMETER;
  if (name && std::strlen(name) > velquor::kMaxValueNameLength)
    return ERROR_INVALID_PARAMETER;
  KeyRef ref;
  LSTATUS status = velquor::ResolveHandle(key, &ref);
  if (status != ERROR_SUCCESS) return status;
  if (!(ref.sam & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  return velquor::WriteOperation([&](velquor::Connection* c) {
    LSTATUS s = velquor::SetValue(c, ref.id, name, type, data, size);
    if (s == ERROR_SUCCESS) velquor::MarkTouchedValue(c, ref.root, ref.path, name);
    return s;
  });
}

LSTATUS RegCloseKey(HKEY key) {
  KeyRef ref;
  if (velquor::RootOf(key, &ref)) return ERROR_SUCCESS;
  uintptr_t v = reinterpret_cast<uintptr_t>(key);
  uint32_t generation = static_cast<uint32_t>(v >> 32);
  uint32_t index = static_cast<uint32_t>(v & 0xFFFFFFFFu);
  std::lock_guard<std::mutex> lock(velquor::g_handle_mu);
  if (generation == 0 || index == 0 || index > velquor::g_handles.size())
    return ERROR_INVALID_HANDLE;
  velquor::HandleSlot& slot = velquor::g_handles[index - 1];
  if (!slot.used || slot.generation != generation) return ERROR_INVALID_HANDLE;
  slot.used = false;
  slot.path.clear();
  velquor::g_free_handles.push_back(index);
  return ERROR_SUCCESS;
}

LSTATUS RegDeleteValueA(HKEY key, LPCSTR name) {
  KeyRef ref;
  LSTATUS status = velquor::ResolveHandle(key, &ref);
  if (status != ERROR_SUCCESS) return status;
  if (!(ref.sam & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  return velquor::WriteOperation([&](velquor::Connection* c) -> LSTATUS {
    int rc;
    sqlite3_stmt* s = velquor::Statement(c, velquor::kDeleteValue, &rc);
    if (!s) return velquor::Fail(c, rc, true);
    {
      velquor::StepScope scope(s);
      sqlite3_bind_int64(s, 1, ref.id);
      sqlite3_bind_text(s, 2, name ? name : "", -1, SQLITE_STATIC);
      rc = sqlite3_step(s);
      if (rc != SQLITE_DONE) return velquor::Fail(c, rc, true);
    }
    if (sqlite3_changes(c->db) > 0) {
      velquor::MarkTouchedValue(c, ref.root, ref.path, name);
      return ERROR_SUCCESS;
    }
    return velquor::MissingIn(c, ref.id);
  });
}

LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subkey) {
  if (!subkey) return ERROR_INVALID_PARAMETER;
  KeyRef base;
  LSTATUS status = velquor::ResolveHandle(key, &base);
  if (status != ERROR_SUCCESS) return status;
  std::vector<std::string> parts;
  if (!velquor::SplitPath(base, subkey, &parts)) return ERROR_INVALID_PARAMETER;
  std::string path = base.path;
  for (const std::string& part : parts) path = velquor::JoinPath(path, part);
  if (path.empty()) return ERROR_ACCESS_DENIED;  // a root
  // A key that is not there is not worth creating the store for.
  KeyRef found;
  status = velquor::OpenPath(base, parts, &found);
  if (status != ERROR_SUCCESS) return status;
  return velquor::WriteOperation([&](velquor::Connection* c) -> LSTATUS {
    int64_t id = 0;
    int rc = velquor::FindKey(c, base.root, path, &id);
    if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW) return velquor::Fail(c, rc, true);
    sqlite3_stmt* s = velquor::Statement(c, velquor::kHasChildren, &rc);
    if (!s) return velquor::Fail(c, rc, true);
    {
      velquor::StepScope scope(s);
      sqlite3_bind_int64(s, 1, id);
      rc = sqlite3_step(s);
    }
    if (rc == SQLITE_ROW) return ERROR_ACCESS_DENIED;
    if (rc != SQLITE_DONE) return velquor::Fail(c, rc, true);
    for (velquor::StatementId which : {velquor::kDeleteKeyValues, velquor::kDeleteKey}) {
      s = velquor::Statement(c, which, &rc);
      if (!s) return velquor::Fail(c, rc, true);
      velquor::StepScope scope(s);
      sqlite3_bind_int64(s, 1, id);
      rc = sqlite3_step(s);
      if (rc != SQLITE_DONE) return velquor::Fail(c, rc, true);
    }
    velquor::MarkTouchedKey(c, base.root, path);
    return ERROR_SUCCESS;
  });
}

LSTATUS RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, DWORD* name_size,
                      DWORD* reserved, LPSTR klass, DWORD* class_size,
                      void* last_write_time) {
  if (!name || !name_size || reserved) return ERROR_INVALID_PARAMETER;
  KeyRef ref;
  LSTATUS status = velquor::ResolveHandle(key, &ref);
  if (status != ERROR_SUCCESS) return status;
  if (!(ref.sam & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  std::string found;
  const uint64_t mark = velquor::ChangeMark();
  std::string after;
  const velquor::CursorUse use = velquor::CursorFor(key, false, index, mark, &after);
  const bool continued = use != velquor::CursorUse::kNone;
  status = velquor::ReadOperation([&](velquor::Connection* c) -> LSTATUS {
    int rc;
    sqlite3_stmt* s = velquor::Statement(c, velquor::EnumStatement(false, use), &rc);
    if (!s) return velquor::Fail(c, rc, false);
    {
      velquor::StepScope scope(s);
      sqlite3_bind_int64(s, 1, ref.id);
      if (continued) {
        sqlite3_bind_text(s, 2, after.data(), static_cast<int>(after.size()),
                          SQLITE_STATIC);
      } else {
        sqlite3_bind_int64(s, 2, index);
      }
      rc = sqlite3_step(s);
      if (rc == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(s, 0);
        found.assign(text ? reinterpret_cast<const char*>(text) : "",
                     static_cast<size_t>(sqlite3_column_bytes(s, 0)));
        return ERROR_SUCCESS;
      }
    }
    if (rc != SQLITE_DONE) return velquor::Fail(c, rc, false);
    LSTATUS missing = velquor::MissingIn(c, ref.id);
    return missing == ERROR_FILE_NOT_FOUND ? ERROR_NO_MORE_ITEMS : missing;
  });
  if (status == ERROR_FILE_NOT_FOUND) status = ERROR_NO_MORE_ITEMS;  // no store
  if (status != ERROR_SUCCESS) return status;
  velquor::RememberCursor(key, false, index, mark, found);
  status = velquor::CopyName(found, name, name_size);
  if (status != ERROR_SUCCESS) return status;
  if (klass && class_size && *class_size > 0) klass[0] = '\0';
  if (class_size) *class_size = 0;
  if (last_write_time) std::memset(last_write_time, 0, 8);
  return ERROR_SUCCESS;
}

LSTATUS RegEnumValueA(HKEY key, DWORD index, LPSTR name, DWORD* name_size,
                      DWORD* reserved, DWORD* type, BYTE* data, DWORD* data_size) {
  if (!name || !name_size || reserved || (data && !data_size))
    return ERROR_INVALID_PARAMETER;
  KeyRef ref;
  LSTATUS status = velquor::ResolveHandle(key, &ref);
  if (status != ERROR_SUCCESS) return status;
  if (!(ref.sam & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  std::string found;
  std::string bytes;
  DWORD stored_type = REG_NONE;
  const uint64_t mark = velquor::ChangeMark();
  std::string after;
  const velquor::CursorUse use = velquor::CursorFor(key, true, index, mark, &after);
  const bool continued = use != velquor::CursorUse::kNone;
  status = velquor::ReadOperation([&](velquor::Connection* c) -> LSTATUS {
    int rc;
    sqlite3_stmt* s = velquor::Statement(c, velquor::EnumStatement(true, use), &rc);
    if (!s) return velquor::Fail(c, rc, false);
    {
      velquor::StepScope scope(s);
      sqlite3_bind_int64(s, 1, ref.id);
      if (continued) {
        sqlite3_bind_text(s, 2, after.data(), static_cast<int>(after.size()),
                          SQLITE_STATIC);
      } else {
        sqlite3_bind_int64(s, 2, index);
      }
      rc = sqlite3_step(s);
      if (rc == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(s, 0);
        found.assign(text ? reinterpret_cast<const char*>(text) : "",
                     static_cast<size_t>(sqlite3_column_bytes(s, 0)));
        stored_type = static_cast<DWORD>(sqlite3_column_int64(s, 1));
        const void* blob = sqlite3_column_blob(s, 2);
        bytes.assign(blob ? static_cast<const char*>(blob) : "",
                     blob ? static_cast<size_t>(sqlite3_column_bytes(s, 2)) : 0);
        LSTATUS found_status = ERROR_SUCCESS;
        velquor::OverlayLive(c, ref.root, ref.path, found.c_str(), &found_status,
                             &stored_type, &bytes);
        return ERROR_SUCCESS;
      }
    }
    if (rc != SQLITE_DONE) return velquor::Fail(c, rc, false);
    LSTATUS missing = velquor::MissingIn(c, ref.id);
    return missing == ERROR_FILE_NOT_FOUND ? ERROR_NO_MORE_ITEMS : missing;
  });
  if (status == ERROR_FILE_NOT_FOUND) status = ERROR_NO_MORE_ITEMS;
  if (status != ERROR_SUCCESS) return status;
  velquor::RememberCursor(key, true, index, mark, found);
  status = velquor::CopyName(found, name, name_size);
  if (status != ERROR_SUCCESS) return status;
  if (type) *type = stored_type;
  return velquor::CopyOut(bytes, data, data_size);
}

LSTATUS RegDeleteTreeA(HKEY key, LPCSTR subkey) {
  if (!subkey || !*subkey) return ERROR_INVALID_PARAMETER;
  // Every key of the tree, parents before children, as paths relative to
  // `key`; walked without recursion, so a deep tree cannot exhaust the stack.
  std::vector<std::string> tree{subkey};
  std::vector<char> name(256);
  for (size_t next = 0; next < tree.size(); ++next) {
    HKEY open = nullptr;
    LSTATUS status = RegOpenKeyExA(key, tree[next].c_str(), 0, KEY_READ, &open);
    if (status != ERROR_SUCCESS) return status;
    std::vector<std::string> children;
    for (DWORD index = 0;;) {
      DWORD size = static_cast<DWORD>(name.size());
      status = RegEnumKeyExA(open, index, name.data(), &size, nullptr, nullptr,
                             nullptr, nullptr);
      if (status == ERROR_MORE_DATA) {
        name.resize(static_cast<size_t>(size) + 1);
        continue;
      }
      if (status != ERROR_SUCCESS) break;
      children.emplace_back(name.data(), size);
      ++index;
    }
    RegCloseKey(open);
    if (status != ERROR_NO_MORE_ITEMS) return status;
    for (const std::string& child : children) {
      // A name holding a zero byte cannot be spelled as a path: it would name
      // its parent again.
      if (child.find('\0') != std::string::npos) return ERROR_INVALID_PARAMETER;
      tree.push_back(tree[next] + "\\" + child);
    }
  }
  for (size_t i = tree.size(); i-- > 0;) {
    const LSTATUS status = RegDeleteKeyA(key, tree[i].c_str());
    if (status != ERROR_SUCCESS) return status;
  }
  return ERROR_SUCCESS;
}

namespace velquor {

namespace {

// Whether the calling thread has a transaction open.
bool InTransaction() {
  if (g_open_transactions.load(std::memory_order_acquire) == 0) return false;
  std::lock_guard<std::mutex> lock(g_mu);
  ForgetInheritedLocked();
  return FindPinnedLocked(pthread_self()) != nullptr;
}

enum class LiveStart { kLive, kPlain };

// Starts the live slot of `key` from the database under its write lock: the
// value must be a 4-byte REG_DWORD there; anything else is left to the plain
// increment, which makes it one.
LSTATUS StartLiveSlot(LiveTable* t, const LiveKey& key, int root,
                      const std::string& path, const char* name, LiveStart* how) {
  *how = LiveStart::kPlain;
  return WriteOperation([&](Connection* c) -> LSTATUS {
    int i = BindLiveSlot(t, key);
    if (i < 0 || TouchedBy(c, static_cast<size_t>(i))) return ERROR_SUCCESS;
    LiveSlot& slot = t->slots[i];
    uint64_t w = LiveWord(t, static_cast<size_t>(i));
    if (w & kLiveBit) {
      *how = LiveStart::kLive;  // another process started it meanwhile
      return ERROR_SUCCESS;
    }
    int64_t id = 0;
    int rc = FindKey(c, root, path, &id);
    if (rc == SQLITE_DONE) return ERROR_SUCCESS;
    if (rc != SQLITE_ROW) return Fail(c, rc, true);
    DWORD type = REG_NONE;
    std::string bytes;
    LSTATUS s = GetValue(c, id, name, &type, &bytes);
    if (s == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (s != ERROR_SUCCESS) return s;
    if (type != REG_DWORD || bytes.size() != 4) return ERROR_SUCCESS;
    uint32_t value = 0;
    for (size_t b = 4; b-- > 0;) value = (value << 8) | static_cast<unsigned char>(bytes[b]);
    uint64_t generation = (w >> kGenerationShift) + 1;
    uint64_t started = (generation << kGenerationShift) | kLiveBit | value;
    // The database holds this value already: nothing to write through.
    std::atomic_ref<uint64_t>(slot.flushed).store(started, std::memory_order_release);
    std::atomic_ref<uint64_t>(slot.word).store(started, std::memory_order_release);
    *how = LiveStart::kLive;
    return ERROR_SUCCESS;
  });
}

}  // namespace

LSTATUS RegIncrementValue(HKEY root, const char* subkey, const char* name,
                          DWORD* new_value) {
  KeyRef base;
  if (!RootOf(root, &base)) {
    LSTATUS status = ResolveHandle(root, &base);
    if (status != ERROR_SUCCESS) return status;
  }
  // The live slot: one compare-and-swap in the shared file, no commit. Inside
  // the thread's own transaction the increment is made under its write lock.
  LiveTable* live = g_live_writable.load(std::memory_order_acquire)
                        ? g_live.load(std::memory_order_acquire)
                        : nullptr;
  if (!live && MapSerial(true) && g_live_writable.load(std::memory_order_acquire))
    live = g_live.load(std::memory_order_acquire);
  LiveKey key;
  const bool keyed = live && !InTransaction() &&
                     MakeLiveKey(base.root, base.path.c_str(), subkey, name, &key);
  if (keyed) {
    int i = FindLiveSlot(live, key);
    uint32_t value = 0;
    if (i >= 0 && IncrementLive(live, static_cast<size_t>(i), &value)) {
      if (new_value) *new_value = value;
      return ERROR_SUCCESS;
    }
  }
  // A path part too long for the registry is refused here; no slot holds one.
  std::vector<std::string> parts;
  if (!SplitPath(base, subkey, &parts)) return ERROR_INVALID_PARAMETER;
  if (keyed) {
    std::string path;
    for (int attempt = 0; attempt < 3; ++attempt) {
      int i = FindLiveSlot(live, key);
      uint32_t value = 0;
      if (i >= 0 && IncrementLive(live, static_cast<size_t>(i), &value)) {
        if (new_value) *new_value = value;
        return ERROR_SUCCESS;
      }
      if (path.empty()) {
        path = base.path;
        for (const std::string& part : parts) path = JoinPath(path, part);
      }
      LiveStart how;
      LSTATUS status = StartLiveSlot(live, key, base.root, path, name, &how);
      if (status != ERROR_SUCCESS) return status;
      if (how == LiveStart::kPlain) break;
    }
  }
  DWORD result = 0;
  LSTATUS status = WriteOperation([&](Connection* c) -> LSTATUS {
    // Another thread may have started the slot while this one waited for
    // the write lock, and the shared file may have been made only now, with
    // the profile. A live slot takes the increment: writing the value here
    // would end the slot's life at commit and lose every lock-free increment
    // made on it in the meantime. (A slot that a set of the value is about
    // to end counts the increment before that set, as a racing lock-free
    // increment does.)
    //
    // Inside the caller's own transaction, which holds the write lock until
    // it ends, a live slot takes the increment too, so that lock-free
    // increments made meanwhile by others survive its commit; a rollback
    // takes it back. Others may see it before the commit, as they see any
    // live total before it reaches the database. A slot the transaction has
    // written already is not live for it any more.
    LiveTable* t = g_live_writable.load(std::memory_order_acquire)
                       ? g_live.load(std::memory_order_acquire)
                       : nullptr;
    LiveKey k;
    if (t && MakeLiveKey(base.root, base.path.c_str(), subkey, name, &k)) {
      int i = FindLiveSlot(t, k);
      uint32_t value = 0;
      uint64_t generation = 0;
      if (i >= 0 && !TouchedBy(c, static_cast<size_t>(i)) &&
          AddLive(t, static_cast<size_t>(i), 1u, nullptr, &value, &generation)) {
        if (c->pinned) {
          auto same = [&](const Connection::Counted& e) {
            return e.slot == static_cast<size_t>(i) && e.generation == generation;
          };
          auto it = std::find_if(c->counted.begin(), c->counted.end(), same);
          if (it != c->counted.end()) {
            ++it->count;
          } else {
            c->counted.push_back({static_cast<size_t>(i), generation, 1u});
          }
        }
        result = value;
        return ERROR_SUCCESS;
      }
    }
    KeyRef key_ref;
    bool created = false;
    LSTATUS s = CreatePath(c, base, parts, &key_ref, &created);
    if (s != ERROR_SUCCESS) return s;
    DWORD type = REG_NONE;
    std::string bytes;
    s = GetValue(c, key_ref.id, name, &type, &bytes);
    OverlayLive(c, key_ref.root, key_ref.path, name, &s, &type, &bytes);
    uint32_t value = 0;
    if (s == ERROR_SUCCESS && bytes.size() <= 4) {
      for (size_t i = bytes.size(); i-- > 0;)
        value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    } else if (s != ERROR_SUCCESS && s != ERROR_FILE_NOT_FOUND) {
      return s;
    }
    value += 1u;
    BYTE out[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                   static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)};
    s = SetValue(c, key_ref.id, name, REG_DWORD, out, sizeof out);
    if (s == ERROR_SUCCESS) {
      MarkTouchedValue(c, key_ref.root, key_ref.path, name);
      result = value;
    }
    return s;
  });
  if (status == ERROR_SUCCESS && new_value) *new_value = result;
  return status;
}

LSTATUS RegBeginTransaction() {
  {
    std::lock_guard<std::mutex> lock(g_mu);
    ForgetInheritedLocked();
    if (FindPinnedLocked(pthread_self())) return ERROR_INVALID_PARAMETER;
  }
  Session session;
  LSTATUS status = session.Open(true);
  if (status != ERROR_SUCCESS) return status;
  uint64_t* serial = MapSerial(true);
  if (!serial || !g_serial_writable.load(std::memory_order_acquire)) {
    SetProblem(ProfileDirectory() + "/" + kSerialFileName +
               ": cannot be created or written");
    return ERROR_CANTWRITE;
  }
  Connection* c = session.get();
  int rc = ExecSimple(c, kBegin);
  if (rc != SQLITE_OK) return Fail(c, rc, true);
  c->serial_mark = SerialBeginWrite(serial);
  c->touched.clear();
  c->counted.clear();
  rc = EnsureSchema(c);
  if (rc != SQLITE_OK) {
    status = Fail(c, rc, true);
    ExecSimple(c, kRollback);
    SerialEndWrite(serial, c->serial_mark);
    return status;
  }
  std::lock_guard<std::mutex> lock(g_mu);
  g_open_transactions.fetch_add(1, std::memory_order_acq_rel);
  c->pinned = true;
  c->owner = pthread_self();
  c->next = g_pinned;
  g_pinned = c;
  return ERROR_SUCCESS;
}

namespace {

// Ends the calling thread's transaction with COMMIT or ROLLBACK and returns its
// connection to the pool.
LSTATUS EndTransaction(bool commit) {
  Connection* c = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    ForgetInheritedLocked();
    Connection** link = &g_pinned;
    while (*link && !pthread_equal((*link)->owner, pthread_self())) link = &(*link)->next;
    if (!*link) return ERROR_INVALID_PARAMETER;
    c = *link;
    *link = c->next;
    c->next = nullptr;
    c->pinned = false;
    g_open_transactions.fetch_sub(1, std::memory_order_acq_rel);
  }
  LSTATUS status = ERROR_SUCCESS;
  uint64_t written[kLiveSlotCount] = {};
  bool committed = false;
  if (commit) status = FlushLive(c, written);
  if (status != ERROR_SUCCESS) {
    ExecSimple(c, kRollback);
  } else {
    int rc = ExecSimple(c, commit ? kCommit : kRollback);
    if (rc != SQLITE_OK) {
      status = Fail(c, rc, true);
      if (commit) ExecSimple(c, kRollback);
    } else if (commit) {
      FinishLive(c, written);
      committed = true;
    }
  }
  if (committed) {
    c->counted.clear();
  } else {
    TakeBackCounted(c);
  }
  c->touched.clear();
  uint64_t* serial = g_serial.load(std::memory_order_acquire);
  if (serial) SerialEndWrite(serial, c->serial_mark);
  if (c->broken || !sqlite3_get_autocommit(c->db)) {
    CloseConnection(c);
  } else {
    std::lock_guard<std::mutex> lock(g_mu);
    c->next = g_idle;
    g_idle = c;
  }
  return status;
}

}  // namespace

LSTATUS RegCommitTransaction() { return EndTransaction(true); }
LSTATUS RegRollbackTransaction() { return EndTransaction(false); }

LSTATUS RegReadValueFast(HKEY root, const char* subkey, const char* name,
                         BYTE* data, DWORD limit, DWORD* size) {
  if (!size || (!data && limit)) return ERROR_INVALID_PARAMETER;
  uint64_t* serial = g_serial.load(std::memory_order_acquire);
  if (!serial) serial = MapSerial(false);
  LiveTable* live = g_live.load(std::memory_order_acquire);
  // Slots bound since an entry was cached may cover its value.
  uint32_t bindings = live ? LiveBindings(live) : 0;
  auto copy_live = [&](uint32_t v) -> LSTATUS {
    *size = 4;
    if (limit < 4) return ERROR_MORE_DATA;
    LiveBytes(v, data);
    return ERROR_SUCCESS;
  };
  uint64_t mark = 1;  // odd: not cacheable
  uint64_t hash = 0;
  // The cache names a value by root, subkey and name; below an open key the
  // same subkey text means another value for every handle, so only reads
  // from the two roots are cached.
  const bool predefined_root = root == HKEY_CURRENT_USER || root == HKEY_CLASSES_ROOT;
  if (serial && predefined_root) {
    mark = std::atomic_ref<uint64_t>(*serial).load(std::memory_order_acquire);
    if ((mark & 1) == 0) {
      hash = CacheHash(root, subkey, name);
      std::lock_guard<std::mutex> lock(g_cache_mu);
      auto it = g_cache ? g_cache->find(hash) : decltype(g_cache->find(hash)){};
      if (g_cache && it != g_cache->end() && it->second.serial == mark &&
          it->second.bindings == bindings &&
          CacheKeyMatches(it->second.key, root, subkey, name)) {
        const CacheEntry& e = it->second;
        uint32_t v = 0;
        if (e.slot >= 0) {
          if (LiveValue(live, static_cast<size_t>(e.slot), &v)) return copy_live(v);
          // Not live now: the database has the value; read it below.
        } else {
          if (e.status != ERROR_SUCCESS) return e.status;
          *size = e.size;
          if (e.size > limit) return ERROR_MORE_DATA;
          if (e.whole) {
            if (e.size) std::memcpy(data, e.bytes.data(), e.size);
            return ERROR_SUCCESS;
          }
          // Too large to have been kept: read it from the database below.
        }
      }
    }
  }
  int slot = -1;
  if (live) {
    KeyRef base;
    LiveKey key;
    if ((RootOf(root, &base) || ResolveHandle(root, &base) == ERROR_SUCCESS) &&
        MakeLiveKey(base.root, base.path.c_str(), subkey, name, &key)) {
      slot = FindLiveSlot(live, key);
    }
  }
  uint32_t live_value = 0;
  bool is_live = slot >= 0 && LiveValue(live, static_cast<size_t>(slot), &live_value);
  HKEY handle = nullptr;
  LSTATUS status = ERROR_SUCCESS;
  std::string bytes;
  if (!is_live) {
    status = RegOpenKeyExA(root, subkey, 0, KEY_QUERY_VALUE, &handle);
    if (status == ERROR_SUCCESS) {
      DWORD type = REG_NONE;
      KeyRef ref;
      status = ResolveHandle(handle, &ref);
      if (status == ERROR_SUCCESS) {
        status = ReadOperation([&](Connection* c) {
          LSTATUS s = GetValue(c, ref.id, name, &type, &bytes);
          OverlayLive(c, ref.root, ref.path, name, &s, &type, &bytes);
          return s;
        });
      }
      RegCloseKey(handle);
    }
  }
  bool cacheable = is_live || status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
  if (serial && (mark & 1) == 0 && cacheable) {
    CacheEntry entry;
    entry.serial = mark;
    entry.bindings = bindings;
    entry.slot = slot;
    entry.status = status;
    entry.size = static_cast<DWORD>(bytes.size());
    entry.whole = bytes.size() <= kCachedBytes;
    if (entry.whole) entry.bytes = bytes;
    entry.key = CacheKey(root, subkey, name);
    std::lock_guard<std::mutex> lock(g_cache_mu);
    if (!g_cache) g_cache = new (std::nothrow) std::unordered_map<uint64_t, CacheEntry>;
    if (g_cache) {
      if (g_cache->size() >= kMaxCacheEntries) g_cache->clear();
      (*g_cache)[hash] = std::move(entry);
    }
  }
  if (is_live) return copy_live(live_value);
  if (status != ERROR_SUCCESS) return status;
  *size = limit;
  return CopyOut(bytes, data, size);
}

void CloseRegistry() {
  // Live totals the database does not hold yet are written through now.
  LiveTable* live = g_live.load(std::memory_order_acquire);
  bool unflushed = false;
  if (live && g_live_writable.load(std::memory_order_acquire)) {
    uint32_t n = LiveBindings(live);
    for (uint32_t i = 0; i < n; ++i) {
      uint64_t w = LiveWord(live, i);
      if ((w & kLiveBit) && w != std::atomic_ref<uint64_t>(live->slots[i].flushed)
                                      .load(std::memory_order_acquire))
        unflushed = true;
    }
  }
  if (unflushed && !InTransaction()) {
    WriteOperation([](Connection*) -> LSTATUS { return ERROR_SUCCESS; });
  }
  Connection* idle;
  Connection* pinned;
  uint64_t* serial;
  size_t map_size = 0;
  bool inherited;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    inherited = g_pool_pid != getpid();
    idle = g_idle;
    pinned = g_pinned;
    g_idle = nullptr;
    g_pinned = nullptr;
    g_resolved = false;
    // What the texts hold goes, so that unloading the library leaves nothing
    // behind; they are filled again at the next use.
    std::string().swap(g_dir);
    std::string().swap(g_file);
    std::string().swap(g_serial_file);
    std::string().swap(g_problem);
    serial = g_serial.exchange(nullptr, std::memory_order_acq_rel);
    g_serial_writable.store(false, std::memory_order_release);
    g_live.store(nullptr, std::memory_order_release);
    g_live_writable.store(false, std::memory_order_release);
    map_size = g_map_size;
    g_open_transactions.store(0, std::memory_order_release);
  }
  if (!inherited && idle && !idle->broken) {
    // Moves what the journal holds into the database file, so that the file
    // alone is the whole registry; a reader elsewhere merely leaves the rest
    // for the last one to close.
    sqlite3_wal_checkpoint_v2(idle->db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  }
  if (!inherited) {
    for (Connection* list : {idle, pinned}) {
      while (list) {
        Connection* next = list->next;
        if (list->pinned) {
          ExecSimple(list, kRollback);
          if (serial) SerialEndWrite(serial, list->serial_mark);
        }
        CloseConnection(list);
        list = next;
      }
    }
  }
  if (serial) munmap(serial, map_size);
  {
    std::lock_guard<std::mutex> lock(g_cache_mu);
    delete g_cache;
    g_cache = nullptr;
  }
}

std::string ProfileDirectory() {
  std::lock_guard<std::mutex> lock(g_mu);
  ResolveLocked();
  return g_dir;
}

std::string StoreFilePath() { return StoreFile(); }

std::string StoreProblem() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_problem;
}

}  // namespace velquor
