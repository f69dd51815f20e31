// The SQLite connection pool: opening the store, the schema, prepared
// statements, failures, the connections pinned to a thread's transaction,
// and the bookkeeping that keeps live totals right across commits.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>

#include "platform/registry_internal.h"

namespace velquor::registry_internal {

constinit Connection* g_idle = nullptr;
constinit Connection* g_pinned = nullptr;
constinit pid_t g_pool_pid = 0;
constinit std::atomic<int> g_open_transactions{0};

namespace {

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

void MarkTouchedSlot(Connection* c, LiveTable* t, size_t i) {
  uint64_t w = LiveWord(t, i);
  if ((w & kLiveBit) && !TouchedBy(c, i)) c->touched.emplace_back(i, w >> kGenerationShift);
}

}  // namespace

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
  if (c && (primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT || primary == SQLITE_CANTOPEN ||
            primary == SQLITE_IOERR)) {
    c->broken = true;
  }
  return MapError(rc, writing);
}

sqlite3_stmt* Statement(Connection* c, StatementId id, int* rc) {
  if (!c->statements[id]) {
    *rc = sqlite3_prepare_v3(c->db, kStatementSql[id], -1, SQLITE_PREPARE_PERSISTENT,
                             &c->statements[id], nullptr);
    if (*rc != SQLITE_OK) {
      c->statements[id] = nullptr;
      return nullptr;
    }
  }
  *rc = SQLITE_OK;
  return c->statements[id];
}

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
    dir = TextsLocked().dir;
    file = TextsLocked().file;
  }
  if (dir.empty()) {
    const std::string relative = RelativeProfileProblem();
    SetProblem(relative.empty() ? "no profile directory: set VELQUOR_HOME or HOME" : relative);
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
        SetProblem(file + ": cannot create the profile directory " + dir + ": " + ec.message());
        return ERROR_CANTWRITE;
      }
    }
  } else if (S_ISDIR(st.st_mode)) {
    SetProblem(file + ": is a directory");
    return ERROR_CANTOPEN;
  }
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
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

// Whether the calling thread has a transaction open.
bool InTransaction() {
  if (g_open_transactions.load(std::memory_order_acquire) == 0) return false;
  std::lock_guard<std::mutex> lock(g_mu);
  ForgetInheritedLocked();
  return FindPinnedLocked(pthread_self()) != nullptr;
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

bool TouchedBy(const Connection* c, size_t slot) {
  if (!c) return false;
  for (const auto& t : c->touched)
    if (t.first == slot) return true;
  return false;
}

// Puts the live value of value `name` of key `path` over what the database
// answered, unless this connection's own transaction has written that value.
void OverlayLive(const Connection* c, int root, const std::string& path, const char* name,
                 LSTATUS* status, DWORD* type, std::string* bytes) {
  if (*status != ERROR_SUCCESS && *status != ERROR_FILE_NOT_FOUND) return;
  LiveTable* t = g_live.load(std::memory_order_acquire);
  if (!t) return;
  LiveKey key;
  if (!MakeLiveKey(root, path.c_str(), nullptr, name, &key)) return;
  int i = FindLiveSlot(t, key);
  uint32_t v = 0;
  if (i < 0 || TouchedBy(c, static_cast<size_t>(i)) || !LiveValue(t, static_cast<size_t>(i), &v))
    return;
  BYTE out[4];
  LiveBytes(v, out);
  *status = ERROR_SUCCESS;
  *type = REG_DWORD;
  bytes->assign(reinterpret_cast<const char*>(out), 4);
}

// Records that this connection's transaction writes value `name` of key
// `path`: its live slot, if any, ends when the transaction commits.
void MarkTouchedValue(Connection* c, int root, const std::string& path, const char* name) {
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
    if (std::atomic_ref<uint64_t>(const_cast<uint64_t&>(s.hash)).load(std::memory_order_acquire) ==
        0)
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
    sqlite3_bind_text(s, 4, slot.key + 1, static_cast<int>(path_end - 1), SQLITE_STATIC);
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
        std::atomic_ref<uint64_t>(t->slots[i].flushed).store(written[i], std::memory_order_release);
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

}  // namespace velquor::registry_internal
