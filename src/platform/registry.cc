#include "platform/registry.h"

#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

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
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;
// Values up to this size are kept whole in the read cache.
constexpr DWORD kCachedBytes = 1024;
constexpr size_t kMaxCacheEntries = 4096;

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
  kBegin,
  kCommit,
  kRollback,
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
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
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
std::string g_dir;
std::string g_file;
std::string g_serial_file;
std::string g_problem;

// The mapped change serial. Odd while a write is in flight (or after a writer
// died between its commit and its finish); each finished write leaves it at a
// new even number.
constinit std::atomic<uint64_t*> g_serial{nullptr};
constinit std::atomic<bool> g_serial_writable{false};

struct CacheEntry {
  uint64_t serial = 0;
  LSTATUS status = ERROR_SUCCESS;
  DWORD size = 0;
  bool whole = false;  // bytes holds the whole value
  std::string key;     // as CacheKey() makes it, to tell hash collisions
  std::string bytes;
};
constinit std::mutex g_cache_mu;
std::unordered_map<uint64_t, CacheEntry> g_cache;

struct HandleSlot {
  uint32_t generation = 0;
  bool used = false;
  int root = 0;
  int64_t id = 0;
  std::string path;
  REGSAM sam = 0;
};
constinit std::mutex g_handle_mu;
std::vector<HandleSlot> g_handles;
std::vector<uint32_t> g_free_handles;

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
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg) return std::string(xdg) + "/velquor";
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
// null. Safe to call from several threads: the first mapping wins.
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
  if (fstat(fd, &st) != 0 ||
      (static_cast<size_t>(st.st_size) < kSerialFileSize &&
       (!writable || ftruncate(fd, kSerialFileSize) != 0))) {
    close(fd);
    return nullptr;
  }
  void* p = mmap(nullptr, kSerialFileSize,
                 writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (p == MAP_FAILED) return nullptr;
  std::lock_guard<std::mutex> lock(g_mu);
  uint64_t* current = g_serial.load(std::memory_order_acquire);
  if (current && (g_serial_writable.load() || !writable)) {
    munmap(p, kSerialFileSize);
    return current;
  }
  // A read-only mapping that another thread may still be reading is left in
  // place rather than unmapped under it; this happens at most once.
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
  rc = EnsureSchema(c);
  if (rc != SQLITE_OK) {
    status = Fail(c, rc, true);
  } else {
    status = body(c);
  }
  if (status == ERROR_SUCCESS) {
    rc = ExecSimple(c, kCommit);
    if (rc != SQLITE_OK) {
      status = Fail(c, rc, true);
      ExecSimple(c, kRollback);
    }
  } else {
    ExecSimple(c, kRollback);
  }
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
  uintptr_t v = (static_cast<uintptr_t>(slot.generation) << 32) | index;
  return reinterpret_cast<HKEY>(v);
}

// Splits a "\"-separated subkey into its names, passing over empty ones.
// False for a name longer than the platform allows.
bool SplitPath(const char* subkey, std::vector<std::string>* parts) {
  parts->clear();
  if (!subkey) return true;
  std::string current;
  for (const char* p = subkey;; ++p) {
    if (*p == '\\' || *p == '\0') {
      if (!current.empty()) parts->push_back(current);
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
  if (!velquor::SplitPath(subkey, &parts)) return ERROR_INVALID_PARAMETER;
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
  if (!velquor::SplitPath(subkey, &parts)) return ERROR_INVALID_PARAMETER;
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
    return velquor::GetValue(c, ref.id, name, &stored_type, &bytes);
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
    return velquor::SetValue(c, ref.id, name, type, data, size);
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
    if (sqlite3_changes(c->db) > 0) return ERROR_SUCCESS;
    return velquor::MissingIn(c, ref.id);
  });
}

LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subkey) {
  if (!subkey) return ERROR_INVALID_PARAMETER;
  KeyRef base;
  LSTATUS status = velquor::ResolveHandle(key, &base);
  if (status != ERROR_SUCCESS) return status;
  std::vector<std::string> parts;
  if (!velquor::SplitPath(subkey, &parts)) return ERROR_INVALID_PARAMETER;
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
  status = velquor::ReadOperation([&](velquor::Connection* c) -> LSTATUS {
    int rc;
    sqlite3_stmt* s = velquor::Statement(c, velquor::kEnumKey, &rc);
    if (!s) return velquor::Fail(c, rc, false);
    {
      velquor::StepScope scope(s);
      sqlite3_bind_int64(s, 1, ref.id);
      sqlite3_bind_int64(s, 2, index);
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
  status = velquor::ReadOperation([&](velquor::Connection* c) -> LSTATUS {
    int rc;
    sqlite3_stmt* s = velquor::Statement(c, velquor::kEnumValue, &rc);
    if (!s) return velquor::Fail(c, rc, false);
    {
      velquor::StepScope scope(s);
      sqlite3_bind_int64(s, 1, ref.id);
      sqlite3_bind_int64(s, 2, index);
      rc = sqlite3_step(s);
      if (rc == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(s, 0);
        found.assign(text ? reinterpret_cast<const char*>(text) : "",
                     static_cast<size_t>(sqlite3_column_bytes(s, 0)));
        stored_type = static_cast<DWORD>(sqlite3_column_int64(s, 1));
        const void* blob = sqlite3_column_blob(s, 2);
        bytes.assign(blob ? static_cast<const char*>(blob) : "",
                     blob ? static_cast<size_t>(sqlite3_column_bytes(s, 2)) : 0);
        return ERROR_SUCCESS;
      }
    }
    if (rc != SQLITE_DONE) return velquor::Fail(c, rc, false);
    LSTATUS missing = velquor::MissingIn(c, ref.id);
    return missing == ERROR_FILE_NOT_FOUND ? ERROR_NO_MORE_ITEMS : missing;
  });
  if (status == ERROR_FILE_NOT_FOUND) status = ERROR_NO_MORE_ITEMS;
  if (status != ERROR_SUCCESS) return status;
  status = velquor::CopyName(found, name, name_size);
  if (status != ERROR_SUCCESS) return status;
  if (type) *type = stored_type;
  return velquor::CopyOut(bytes, data, data_size);
}

namespace velquor {

LSTATUS RegIncrementValue(HKEY root, const char* subkey, const char* name,
                          DWORD* new_value) {
  KeyRef base;
  if (!RootOf(root, &base)) {
    LSTATUS status = ResolveHandle(root, &base);
    if (status != ERROR_SUCCESS) return status;
  }
  std::vector<std::string> parts;
  if (!SplitPath(subkey, &parts)) return ERROR_INVALID_PARAMETER;
  DWORD result = 0;
  LSTATUS status = WriteOperation([&](Connection* c) -> LSTATUS {
    KeyRef key;
    bool created = false;
    LSTATUS s = CreatePath(c, base, parts, &key, &created);
    if (s != ERROR_SUCCESS) return s;
    DWORD type = REG_NONE;
    std::string bytes;
    s = GetValue(c, key.id, name, &type, &bytes);
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
    s = SetValue(c, key.id, name, REG_DWORD, out, sizeof out);
    if (s == ERROR_SUCCESS) result = value;
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
  rc = EnsureSchema(c);
  if (rc != SQLITE_OK) {
    status = Fail(c, rc, true);
    ExecSimple(c, kRollback);
    SerialEndWrite(serial, c->serial_mark);
    return status;
  }
  std::lock_guard<std::mutex> lock(g_mu);
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
  }
  LSTATUS status = ERROR_SUCCESS;
  int rc = ExecSimple(c, commit ? kCommit : kRollback);
  if (rc != SQLITE_OK) {
    status = Fail(c, rc, true);
    if (commit) ExecSimple(c, kRollback);
  }
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
  uint64_t mark = 1;  // odd: not cacheable
  uint64_t hash = 0;
  if (serial) {
    mark = std::atomic_ref<uint64_t>(*serial).load(std::memory_order_acquire);
    if ((mark & 1) == 0) {
      hash = CacheHash(root, subkey, name);
      std::lock_guard<std::mutex> lock(g_cache_mu);
      auto it = g_cache.find(hash);
      if (it != g_cache.end() && it->second.serial == mark &&
          CacheKeyMatches(it->second.key, root, subkey, name)) {
        const CacheEntry& e = it->second;
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
  HKEY handle = nullptr;
  LSTATUS status = RegOpenKeyExA(root, subkey, 0, KEY_QUERY_VALUE, &handle);
  std::string bytes;
  if (status == ERROR_SUCCESS) {
    DWORD type = REG_NONE;
    KeyRef ref;
    status = ResolveHandle(handle, &ref);
    if (status == ERROR_SUCCESS) {
      status = ReadOperation([&](Connection* c) {
        return GetValue(c, ref.id, name, &type, &bytes);
      });
    }
    RegCloseKey(handle);
  }
  bool cacheable = status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
  if (serial && (mark & 1) == 0 && cacheable) {
    CacheEntry entry;
    entry.serial = mark;
    entry.status = status;
    entry.size = static_cast<DWORD>(bytes.size());
    entry.whole = bytes.size() <= kCachedBytes;
    if (entry.whole) entry.bytes = bytes;
    entry.key = CacheKey(root, subkey, name);
    std::lock_guard<std::mutex> lock(g_cache_mu);
    if (g_cache.size() >= kMaxCacheEntries) g_cache.clear();
    g_cache[hash] = std::move(entry);
  }
  if (status != ERROR_SUCCESS) return status;
  *size = limit;
  return CopyOut(bytes, data, size);
}

void CloseRegistry() {
  Connection* idle;
  Connection* pinned;
  uint64_t* serial;
  bool inherited;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    inherited = g_pool_pid != getpid();
    idle = g_idle;
    pinned = g_pinned;
    g_idle = nullptr;
    g_pinned = nullptr;
    g_resolved = false;
    g_problem.clear();
    serial = g_serial.exchange(nullptr, std::memory_order_acq_rel);
    g_serial_writable.store(false, std::memory_order_release);
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
  if (serial) munmap(serial, kSerialFileSize);
  std::lock_guard<std::mutex> lock(g_cache_mu);
  g_cache.clear();
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
