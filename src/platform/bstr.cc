#include "platform/bstr.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

BSTR SysAllocString(const OLECHAR* text) {
  if (text == nullptr) return nullptr;
  std::size_t length = 0;
  while (text[length] != 0) ++length;
  if (length > 0x3FFFFFFF) return nullptr;
  const std::size_t bytes = sizeof(uint32_t) + (length + 1) * sizeof(OLECHAR);
  auto* block = static_cast<unsigned char*>(std::malloc(bytes));
  if (block == nullptr) return nullptr;
  const uint32_t count = static_cast<uint32_t>(length * sizeof(OLECHAR));
  std::memcpy(block, &count, sizeof count);
  auto* units = reinterpret_cast<OLECHAR*>(block + sizeof(uint32_t));
  std::memcpy(units, text, (length + 1) * sizeof(OLECHAR));
  return units;
}

void SysFreeString(BSTR text) {
  if (text == nullptr) return;
  std::free(reinterpret_cast<unsigned char*>(text) - sizeof(uint32_t));
}

UINT SysStringLen(BSTR text) {
  if (text == nullptr) return 0;
  uint32_t count = 0;
  std::memcpy(&count, reinterpret_cast<unsigned char*>(text) - sizeof(uint32_t), sizeof count);
  return count / sizeof(OLECHAR);
}
