// The published registry calls, over the connection pool and the keys of
// registry_internal.h.
#include "platform/registry.h"

#include <cstring>
#include <string>
#include <vector>

#include "platform/registry_internal.h"

namespace ri = velquor::registry_internal;
using ri::KeyRef;

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subkey, DWORD, REGSAM sam, HKEY* result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  KeyRef base;
  LSTATUS status = ri::ResolveHandle(key, &base);
  if (status != ERROR_SUCCESS) return status;
  std::vector<std::string> parts;
  if (!ri::SplitPath(base, subkey, &parts)) return ERROR_INVALID_PARAMETER;
  KeyRef opened;
  status = ri::OpenPath(base, parts, &opened);
  if (status != ERROR_SUCCESS) return status;
  opened.sam = sam;
  *result = ri::NewHandle(opened);
  return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subkey, DWORD, LPSTR, DWORD, REGSAM sam, void*,
                        HKEY* result, DWORD* disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  KeyRef base;
  LSTATUS status = ri::ResolveHandle(key, &base);
  if (status != ERROR_SUCCESS) return status;
  std::vector<std::string> parts;
  if (!ri::SplitPath(base, subkey, &parts)) return ERROR_INVALID_PARAMETER;
  if (!parts.empty() && !(base.sam & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
  KeyRef made;
  bool created = false;
  status = ri::WriteOperation(
      [&](ri::Connection* c) { return ri::CreatePath(c, base, parts, &made, &created); });
  if (status != ERROR_SUCCESS) return status;
  made.sam = sam;
  *result = ri::NewHandle(made);
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR name, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* size) {
  if (reserved || (data && !size)) return ERROR_INVALID_PARAMETER;
  KeyRef ref;
  LSTATUS status = ri::ResolveHandle(key, &ref);
  if (status != ERROR_SUCCESS) return status;
  if (!(ref.sam & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  DWORD stored_type = REG_NONE;
  std::string bytes;
  status = ri::ReadOperation([&](ri::Connection* c) {
    LSTATUS s = ri::GetValue(c, ref.id, name, &stored_type, &bytes);
    ri::OverlayLive(c, ref.root, ref.path, name, &s, &stored_type, &bytes);
    return s;
  });
  if (status != ERROR_SUCCESS) return status;
  if (type) *type = stored_type;
  return ri::CopyOut(bytes, data, size);
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
  if (!data && size) return ERROR_INVALID_PARAMETER;
  if (name && std::strlen(name) > ri::kMaxValueNameLength) return ERROR_INVALID_PARAMETER;
  KeyRef ref;
  LSTATUS status = ri::ResolveHandle(key, &ref);
  if (status != ERROR_SUCCESS) return status;
  if (!(ref.sam & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  return ri::WriteOperation([&](ri::Connection* c) {
    LSTATUS s = ri::SetValue(c, ref.id, name, type, data, size);
    if (s == ERROR_SUCCESS) ri::MarkTouchedValue(c, ref.root, ref.path, name);
    return s;
  });
}

LSTATUS RegCloseKey(HKEY key) {
  KeyRef ref;
  if (ri::RootOf(key, &ref)) return ERROR_SUCCESS;
  uintptr_t v = reinterpret_cast<uintptr_t>(key);
  uint32_t generation = static_cast<uint32_t>(v >> 32);
  uint32_t index = static_cast<uint32_t>(v & 0xFFFFFFFFu);
  std::lock_guard<std::mutex> lock(ri::g_handle_mu);
  if (generation == 0 || index == 0 || index > ri::g_handles.size()) return ERROR_INVALID_HANDLE;
  ri::HandleSlot& slot = ri::g_handles[index - 1];
  if (!slot.used || slot.generation != generation) return ERROR_INVALID_HANDLE;
  slot.used = false;
  slot.path.clear();
  ri::g_free_handles.push_back(index);
  return ERROR_SUCCESS;
}

LSTATUS RegDeleteValueA(HKEY key, LPCSTR name) {
  KeyRef ref;
  LSTATUS status = ri::ResolveHandle(key, &ref);
  if (status != ERROR_SUCCESS) return status;
  if (!(ref.sam & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  return ri::WriteOperation([&](ri::Connection* c) -> LSTATUS {
    int rc;
    sqlite3_stmt* s = ri::Statement(c, ri::kDeleteValue, &rc);
    if (!s) return ri::Fail(c, rc, true);
    {
      ri::StepScope scope(s);
      sqlite3_bind_int64(s, 1, ref.id);
      sqlite3_bind_text(s, 2, name ? name : "", -1, SQLITE_STATIC);
      rc = sqlite3_step(s);
      if (rc != SQLITE_DONE) return ri::Fail(c, rc, true);
    }
    if (sqlite3_changes(c->db) > 0) {
      ri::MarkTouchedValue(c, ref.root, ref.path, name);
      return ERROR_SUCCESS;
    }
    return ri::MissingIn(c, ref.id);
  });
}

LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subkey) {
  if (!subkey) return ERROR_INVALID_PARAMETER;
  KeyRef base;
  LSTATUS status = ri::ResolveHandle(key, &base);
  if (status != ERROR_SUCCESS) return status;
  std::vector<std::string> parts;
  if (!ri::SplitPath(base, subkey, &parts)) return ERROR_INVALID_PARAMETER;
  std::string path = base.path;
  for (const std::string& part : parts) path = ri::JoinPath(path, part);
  if (path.empty()) return ERROR_ACCESS_DENIED;  // a root
  // A key that is not there is not worth creating the store for.
  KeyRef found;
  status = ri::OpenPath(base, parts, &found);
  if (status != ERROR_SUCCESS) return status;
  return ri::WriteOperation([&](ri::Connection* c) -> LSTATUS {
    int64_t id = 0;
    int rc = ri::FindKey(c, base.root, path, &id);
    if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW) return ri::Fail(c, rc, true);
    sqlite3_stmt* s = ri::Statement(c, ri::kHasChildren, &rc);
    if (!s) return ri::Fail(c, rc, true);
    {
      ri::StepScope scope(s);
      sqlite3_bind_int64(s, 1, id);
      rc = sqlite3_step(s);
    }
    if (rc == SQLITE_ROW) return ERROR_ACCESS_DENIED;
    if (rc != SQLITE_DONE) return ri::Fail(c, rc, true);
    for (ri::StatementId which : {ri::kDeleteKeyValues, ri::kDeleteKey}) {
      s = ri::Statement(c, which, &rc);
      if (!s) return ri::Fail(c, rc, true);
      ri::StepScope scope(s);
      sqlite3_bind_int64(s, 1, id);
      rc = sqlite3_step(s);
      if (rc != SQLITE_DONE) return ri::Fail(c, rc, true);
    }
    ri::MarkTouchedKey(c, base.root, path);
    return ERROR_SUCCESS;
  });
}

LSTATUS RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, DWORD* name_size, DWORD* reserved,
                      LPSTR klass, DWORD* class_size, void* last_write_time) {
  if (!name || !name_size || reserved) return ERROR_INVALID_PARAMETER;
  KeyRef ref;
  LSTATUS status = ri::ResolveHandle(key, &ref);
  if (status != ERROR_SUCCESS) return status;
  if (!(ref.sam & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  std::string found;
  const uint64_t mark = ri::ChangeMark();
  std::string after;
  const ri::CursorUse use = ri::CursorFor(key, false, index, mark, &after);
  const bool continued = use != ri::CursorUse::kNone;
  status = ri::ReadOperation([&](ri::Connection* c) -> LSTATUS {
    int rc;
    sqlite3_stmt* s = ri::Statement(c, ri::EnumStatement(false, use), &rc);
    if (!s) return ri::Fail(c, rc, false);
    {
      ri::StepScope scope(s);
      sqlite3_bind_int64(s, 1, ref.id);
      if (continued) {
        sqlite3_bind_text(s, 2, after.data(), static_cast<int>(after.size()), SQLITE_STATIC);
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
    if (rc != SQLITE_DONE) return ri::Fail(c, rc, false);
    LSTATUS missing = ri::MissingIn(c, ref.id);
    return missing == ERROR_FILE_NOT_FOUND ? ERROR_NO_MORE_ITEMS : missing;
  });
  if (status == ERROR_FILE_NOT_FOUND) status = ERROR_NO_MORE_ITEMS;  // no store
  if (status != ERROR_SUCCESS) return status;
  ri::RememberCursor(key, false, index, mark, found);
  status = ri::CopyName(found, name, name_size);
  if (status != ERROR_SUCCESS) return status;
  if (klass && class_size && *class_size > 0) klass[0] = '\0';
  if (class_size) *class_size = 0;
  if (last_write_time) std::memset(last_write_time, 0, 8);
  return ERROR_SUCCESS;
}

LSTATUS RegEnumValueA(HKEY key, DWORD index, LPSTR name, DWORD* name_size, DWORD* reserved,
                      DWORD* type, BYTE* data, DWORD* data_size) {
  if (!name || !name_size || reserved || (data && !data_size)) return ERROR_INVALID_PARAMETER;
  KeyRef ref;
  LSTATUS status = ri::ResolveHandle(key, &ref);
  if (status != ERROR_SUCCESS) return status;
  if (!(ref.sam & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  std::string found;
  std::string bytes;
  DWORD stored_type = REG_NONE;
  const uint64_t mark = ri::ChangeMark();
  std::string after;
  const ri::CursorUse use = ri::CursorFor(key, true, index, mark, &after);
  const bool continued = use != ri::CursorUse::kNone;
  status = ri::ReadOperation([&](ri::Connection* c) -> LSTATUS {
    int rc;
    sqlite3_stmt* s = ri::Statement(c, ri::EnumStatement(true, use), &rc);
    if (!s) return ri::Fail(c, rc, false);
    {
      ri::StepScope scope(s);
      sqlite3_bind_int64(s, 1, ref.id);
      if (continued) {
        sqlite3_bind_text(s, 2, after.data(), static_cast<int>(after.size()), SQLITE_STATIC);
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
        ri::OverlayLive(c, ref.root, ref.path, found.c_str(), &found_status, &stored_type, &bytes);
        return ERROR_SUCCESS;
      }
    }
    if (rc != SQLITE_DONE) return ri::Fail(c, rc, false);
    LSTATUS missing = ri::MissingIn(c, ref.id);
    return missing == ERROR_FILE_NOT_FOUND ? ERROR_NO_MORE_ITEMS : missing;
  });
  if (status == ERROR_FILE_NOT_FOUND) status = ERROR_NO_MORE_ITEMS;
  if (status != ERROR_SUCCESS) return status;
  ri::RememberCursor(key, true, index, mark, found);
  status = ri::CopyName(found, name, name_size);
  if (status != ERROR_SUCCESS) return status;
  if (type) *type = stored_type;
  return ri::CopyOut(bytes, data, data_size);
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
      status = RegEnumKeyExA(open, index, name.data(), &size, nullptr, nullptr, nullptr, nullptr);
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
