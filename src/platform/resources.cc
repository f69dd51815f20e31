#include "platform/resources.h"

#include <cstring>

#include "embedded_resources.h"
#include "platform/ascii.h"

namespace {

using velquor::EmbeddedResource;
using velquor::kEmbeddedResources;

// Numeric resource types that the table stores under a type name.
struct NumericType {
  uintptr_t id;
  const char* name;
};
constexpr NumericType kNumericTypes[] = {{6, "STRING"}, {16, "VERSION"}};

bool EqualsNoCase(const char* a, const char* b) { return velquor::AsciiEqualsNoCase(a, b); }

// The type name that `type` stands for, or null when no entry can have it.
const char* TypeName(LPCSTR type) {
  if (type == nullptr) return nullptr;
  if (!IS_INTRESOURCE(type)) return type;
  const uintptr_t id = reinterpret_cast<uintptr_t>(type);
  for (const NumericType& t : kNumericTypes) {
    if (t.id == id) return t.name;
  }
  return nullptr;
}

// The numeric id that `name` stands for: a MAKEINTRESOURCEA value or "#123".
bool NameId(LPCSTR name, uint32_t* id) {
  if (name == nullptr) return false;
  if (IS_INTRESOURCE(name)) {
    *id = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(name));
    return true;
  }
  if (name[0] != '#' || name[1] == '\0') return false;
  uint32_t value = 0;
  for (const char* p = name + 1; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || value > 6553) return false;
    value = value * 10 + static_cast<uint32_t>(*p - '0');
  }
  if (value > 0xFFFF) return false;
  *id = value;
  return true;
}

const EmbeddedResource* Find(const char* type_name, uint32_t id) {
  for (const EmbeddedResource* r = kEmbeddedResources; r->type != nullptr; ++r) {
    if (r->id == id && EqualsNoCase(r->type, type_name)) return r;
  }
  return nullptr;
}

const EmbeddedResource* FromHandle(const void* handle) {
  return static_cast<const EmbeddedResource*>(handle);
}

}  // namespace

HRSRC FindResourceA(HMODULE, LPCSTR name, LPCSTR type) {
  const char* type_name = TypeName(type);
  uint32_t id = 0;
  if (type_name == nullptr || !NameId(name, &id)) return nullptr;
  const EmbeddedResource* r = Find(type_name, id);
  return reinterpret_cast<HRSRC>(const_cast<EmbeddedResource*>(r));
}

HGLOBAL LoadResource(HMODULE, HRSRC res) { return static_cast<HGLOBAL>(res); }

LPVOID LockResource(HGLOBAL mem) {
  if (mem == nullptr) return nullptr;
  return const_cast<unsigned char*>(FromHandle(mem)->data);
}

DWORD SizeofResource(HMODULE, HRSRC res) {
  if (res == nullptr) return 0;
  return static_cast<DWORD>(FromHandle(res)->size);
}

int LoadStringA(HINSTANCE, UINT id, LPSTR buffer, int buffer_size) {
  if (buffer == nullptr || buffer_size < 1) return 0;
  const EmbeddedResource* r = id <= 0xFFFF ? Find("STRING", id) : nullptr;
  if (r == nullptr) {
    buffer[0] = '\0';
    return 0;
  }
  std::size_t count = r->size;
  if (count > static_cast<std::size_t>(buffer_size - 1)) {
    count = static_cast<std::size_t>(buffer_size - 1);
  }
  std::memcpy(buffer, r->data, count);
  buffer[count] = '\0';
  return static_cast<int>(count);
}

namespace velquor {

std::string LoadResourceString(UINT id) {
  const EmbeddedResource* r = id <= 0xFFFF ? Find("STRING", id) : nullptr;
  if (r == nullptr) return std::string();
  return std::string(reinterpret_cast<const char*>(r->data), r->size);
}

}  // namespace velquor
