// Counters, transactions and the read cache: the atomic increment of a
// total (lock-free in a live slot, else in a write transaction), a
// thread's own transaction, the fast cached read of a setting, and
// closing everything at shut-down.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/registry_internal.h"

namespace velquor {

using namespace registry_internal;

namespace {

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
// object, for the same reason as the profile texts (registry_internal.h).
constinit std::unordered_map<uint64_t, CacheEntry>* g_cache = nullptr;

// The cache's key of a value: root, key path and name, letters in lower case.
std::string CacheKey(HKEY root, const char* subkey, const char* name) {
  std::string key;
  key.push_back(root == HKEY_CURRENT_USER ? 'U' : 'C');
  for (const char* p = subkey ? subkey : ""; *p; ++p) key.push_back(AsciiLower(*p));
  key.push_back('\0');
  for (const char* p = name ? name : ""; *p; ++p) key.push_back(AsciiLower(*p));
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
  for (const char* p = subkey ? subkey : ""; *p; ++p) mix(AsciiLower(*p));
  mix('\0');
  for (const char* p = name ? name : ""; *p; ++p) mix(AsciiLower(*p));
  return h;
}

bool CacheKeyMatches(const std::string& key, HKEY root, const char* subkey, const char* name) {
  size_t i = 0;
  if (key.empty() || key[i++] != (root == HKEY_CURRENT_USER ? 'U' : 'C')) return false;
  for (const char* p = subkey ? subkey : ""; *p; ++p)
    if (i >= key.size() || key[i++] != AsciiLower(*p)) return false;
  if (i >= key.size() || key[i++] != '\0') return false;
  for (const char* p = name ? name : ""; *p; ++p)
    if (i >= key.size() || key[i++] != AsciiLower(*p)) return false;
  return i == key.size();
}

enum class LiveStart { kLive, kPlain };

// Starts the live slot of `key` from the database under its write lock: the
// value must be a 4-byte REG_DWORD there; anything else is left to the plain
// increment, which makes it one.
LSTATUS StartLiveSlot(LiveTable* t, const LiveKey& key, int root, const std::string& path,
                      const char* name, LiveStart* how) {
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

// The slot key of the value this thread counted last, for a value under a
// root key: a page's removals count the same total one after another, and
// comparing the names costs less than lower-casing and hashing them again.
// Plain bytes only, so nothing needs destroying when a thread ends.
struct RecentLiveKey {
  int root = -1;
  char subkey[kLiveKeyBytes];
  char name[kLiveKeyBytes];
  LiveKey key;
};
thread_local RecentLiveKey recent_live_key;

// Copies `text` (null: "") into `to` when it fits; false when it does not.
bool CopyShort(const char* text, char (&to)[kLiveKeyBytes]) {
  const char* p = text != nullptr ? text : "";
  const size_t n = std::strlen(p);
  if (n >= kLiveKeyBytes) return false;
  std::memcpy(to, p, n + 1);
  return true;
}

bool SameShort(const char* text, const char (&held)[kLiveKeyBytes]) {
  return std::strcmp(text != nullptr ? text : "", held) == 0;
}

// MakeLiveKey, through the thread's recent key when `base` is a root key.
bool LiveKeyOf(const KeyRef& base, const char* subkey, const char* name, LiveKey* out) {
  if (!base.path.empty()) return MakeLiveKey(base.root, base.path.c_str(), subkey, name, out);
  RecentLiveKey& recent = recent_live_key;
  if (recent.root == base.root && SameShort(name, recent.name) &&
      SameShort(subkey, recent.subkey)) {
    *out = recent.key;
    return true;
  }
  if (!MakeLiveKey(base.root, "", subkey, name, out)) return false;
  recent.root = -1;
  if (CopyShort(subkey, recent.subkey) && CopyShort(name, recent.name)) {
    recent.key = *out;
    recent.root = base.root;
  }
  return true;
}

}  // namespace

LSTATUS RegIncrementValue(HKEY root, const char* subkey, const char* name, DWORD* new_value) {
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
  const bool keyed = live && !InTransaction() && LiveKeyOf(base, subkey, name, &key);
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
    SetProblem(ProfileDirectory() + "/" + kSerialFileName + ": cannot be created or written");
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

uint64_t RegChangeSerial() {
  uint64_t* serial = g_serial.load(std::memory_order_acquire);
  if (!serial) serial = MapSerial(false);
  if (!serial) return 0;
  const uint64_t mark = std::atomic_ref<uint64_t>(*serial).load(std::memory_order_acquire);
  return (mark & 1) != 0 ? 0 : mark;
}

LSTATUS RegReadValueFast(HKEY root, const char* subkey, const char* name, BYTE* data, DWORD limit,
                         DWORD* size) {
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
          it->second.bindings == bindings && CacheKeyMatches(it->second.key, root, subkey, name)) {
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
      if ((w & kLiveBit) &&
          w != std::atomic_ref<uint64_t>(live->slots[i].flushed).load(std::memory_order_acquire))
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
    ReleaseTextsLocked();
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
  // The handle table goes too when no handle is open, so that unloading the
  // library leaves nothing behind; handles still open keep it.
  std::lock_guard<std::mutex> lock(g_handle_mu);
  if (std::none_of(g_handles.begin(), g_handles.end(),
                   [](const HandleSlot& slot) { return slot.used; })) {
    std::vector<HandleSlot>().swap(g_handles);
    std::vector<uint32_t>().swap(g_free_handles);
  }
}

}  // namespace velquor
