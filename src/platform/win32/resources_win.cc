// LoadResourceString over this library's own string table.
#include "platform/resources.h"

#include "platform/module.h"

namespace velquor {
namespace {

constexpr char kModuleAnchor = 0;

}  // namespace

std::string LoadResourceString(UINT id) {
  if (id > 0xFFFF) return std::string();
  // Read the string table block directly rather than through LoadStringA,
  // which stops at a zero unit and cuts at the caller's buffer: an entry is
  // handed out whole, zero units included. Block id/16+1 holds 16 entries,
  // each a count of UTF-16 units followed by the units.
  const HMODULE module = ModuleOfAddress(&kModuleAnchor);
  HRSRC block =
      FindResourceA(module, MAKEINTRESOURCEA(id / 16 + 1), MAKEINTRESOURCEA(6) /* RT_STRING */);
  if (block == nullptr) return std::string();
  HGLOBAL loaded = LoadResource(module, block);
  const WCHAR* p = loaded ? static_cast<const WCHAR*>(LockResource(loaded)) : nullptr;
  if (p == nullptr) return std::string();
  const WCHAR* end = p + SizeofResource(module, block) / sizeof(WCHAR);
  for (UINT i = 0; i < id % 16; ++i) {
    if (p >= end) return std::string();
    p += 1 + *p;
  }
  if (p >= end || *p == 0 || p + 1 + *p > end) return std::string();
  const int units = static_cast<int>(*p);
  const int bytes = WideCharToMultiByte(CP_ACP, 0, p + 1, units, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string text(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, 0, p + 1, units, text.data(), bytes, nullptr, nullptr);
  return text;
}

}  // namespace velquor
