// The module helpers of module.h over the system loader.
#include "platform/module.h"

#include <vector>

namespace velquor {

HMODULE ModuleOfAddress(const void* address) {
  HMODULE module = nullptr;
  // Asked for a null address, the system names the program itself.
  if (address == nullptr) return nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCSTR>(address), &module)) {
    return nullptr;
  }
  return module;
}

std::string ModuleFileName(HMODULE module) {
  // The system cuts a path that does not fit and says so only through the
  // returned length, so grow the buffer until the path and its zero fit.
  for (DWORD size = MAX_PATH; size <= 32768 * 2; size *= 2) {
    std::vector<char> buffer(size);
    const DWORD n = GetModuleFileNameA(module, buffer.data(), size);
    if (n == 0) return std::string();
    if (n < size) return std::string(buffer.data(), n);
  }
  return std::string();
}

bool PathNamesModuleOf(const std::string& path, const void* address) {
  const HMODULE module = ModuleOfAddress(address);
  if (module == nullptr || path.empty()) return false;
  const std::string own = ModuleFileName(module);
  if (own.empty()) return false;
  // The same file may be reached by different spellings (case, short
  // names, links), so compare the files' identities.
  auto identity = [](const std::string& name, BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE file = CreateFileA(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(file, info) != FALSE;
    CloseHandle(file);
    return ok;
  };
  BY_HANDLE_FILE_INFORMATION a;
  BY_HANDLE_FILE_INFORMATION b;
  return identity(path, &a) && identity(own, &b) &&
         a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

}  // namespace velquor
