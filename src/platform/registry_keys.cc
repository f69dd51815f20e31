// Handles and key paths: the table of open handles, splitting and
// joining paths within the platform's limits, and keys and values as rows
// of the database.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/registry_internal.h"

namespace velquor::registry_internal {

constinit std::mutex g_handle_mu;
namespace {
constinit NeverDestroyed<std::vector<HandleSlot>> g_handles_holder;
constinit NeverDestroyed<std::vector<uint32_t>> g_free_handles_holder;
}  // namespace
constinit std::vector<HandleSlot>& g_handles = g_handles_holder.value;
constinit std::vector<uint32_t>& g_free_handles = g_free_handles_holder.value;

namespace {

// The number of names in a key path below its root.
size_t PathDepth(const std::string& path) {
  return path.empty() ? 0 : 1 + static_cast<size_t>(std::count(path.begin(), path.end(), '\\'));
}

}  // namespace

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
  if (generation == 0 || index == 0 || index > g_handles.size()) return ERROR_INVALID_HANDLE;
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

void RememberCursor(HKEY key, bool values, DWORD index, uint64_t mark, const std::string& name) {
  std::lock_guard<std::mutex> lock(g_handle_mu);
  HandleSlot* slot = OpenSlotLocked(key);
  if (!slot) return;
  EnumCursor& cursor = values ? slot->values : slot->subkeys;
  cursor.index = index;
  cursor.serial = mark;
  cursor.name = name;
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
LSTATUS GetValue(Connection* c, int64_t key_id, const char* name, DWORD* type, std::string* bytes) {
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
      bytes->assign(blob ? static_cast<const char*>(blob) : "", blob ? static_cast<size_t>(n) : 0);
      return ERROR_SUCCESS;
    }
  }
  if (rc != SQLITE_DONE) return Fail(c, rc, false);
  return MissingIn(c, key_id);
}

// Creates every missing key of `parts` below `base`; `*created` tells whether
// the last one was new.
LSTATUS CreatePath(Connection* c, const KeyRef& base, const std::vector<std::string>& parts,
                   KeyRef* out, bool* created) {
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
      sqlite3_bind_text(s, 3, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
      sqlite3_bind_text(s, 4, part.data(), static_cast<int>(part.size()), SQLITE_STATIC);
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

LSTATUS SetValue(Connection* c, int64_t key_id, const char* name, DWORD type, const void* data,
                 size_t size) {
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

LSTATUS OpenPath(const KeyRef& base, const std::vector<std::string>& parts, KeyRef* out) {
  *out = base;
  if (parts.empty()) {
    // The key itself again; it must still exist (roots always do).
    if (base.id == kClassesRootId || base.id == kCurrentUserId) return ERROR_SUCCESS;
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

}  // namespace velquor::registry_internal
