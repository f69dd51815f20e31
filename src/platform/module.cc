#include "platform/module.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/error_info.h"

namespace {

// The absolute path of the running program, "" when unknown.
std::string ProgramPath() {
  std::string path(kMaxPathBuffer, '\0');
  const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= path.size()) return std::string();
  path.resize(static_cast<std::size_t>(n));
  return path;
}

// The file mapped at `address` according to /proc/self/maps: the kernel's
// absolute path, which stays right even when the loader was given a relative
// name and the working directory changed since.
std::string MappedFile(const void* address) {
  FILE* maps = std::fopen("/proc/self/maps", "re");
  if (maps == nullptr) return std::string();
  const uintptr_t target = reinterpret_cast<uintptr_t>(address);
  std::string result;
  char line[kMaxPathBuffer + 256];
  while (std::fgets(line, sizeof line, maps) != nullptr) {
    unsigned long long start = 0;
    unsigned long long end = 0;
    int path_at = 0;
    if (std::sscanf(line, "%llx-%llx %*s %*s %*s %*s %n", &start, &end, &path_at) < 2 ||
        path_at <= 0) {
      continue;
    }
    if (target < start || target >= end) continue;
    std::string path(line + path_at);
    while (!path.empty() && (path.back() == '\n' || path.back() == ' ')) path.pop_back();
    if (!path.empty() && path[0] == '/') result = path;
    break;
  }
  std::fclose(maps);
  return result;
}

}  // namespace

DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
  const std::string path = velquor::ModuleFileName(module);
  if (path.empty()) {
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  if (buffer == nullptr || path.size() + 1 > size) {
    // A cut path would register a file that does not exist: refuse instead.
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  return static_cast<DWORD>(path.size());
}

namespace velquor {

HMODULE ModuleOfAddress(const void* address) {
  Dl_info info;
  if (address == nullptr || dladdr(address, &info) == 0) return nullptr;
  return static_cast<HMODULE>(info.dli_fbase);
}

std::string ModuleFileName(HMODULE module) {
  if (module == nullptr) return ProgramPath();
  Dl_info info;
  if (dladdr(module, &info) == 0 || info.dli_fbase != static_cast<void*>(module)) {
    return std::string();
  }
  std::string path = MappedFile(module);
  if (path.empty() && info.dli_fname != nullptr && info.dli_fname[0] != '\0') {
    char resolved[PATH_MAX];
    if (realpath(info.dli_fname, resolved) != nullptr) path = resolved;
  }
  return path;
}

bool PathNamesModuleOf(const std::string& path, const void* address) {
  const HMODULE module = ModuleOfAddress(address);
  if (module == nullptr || path.empty()) return false;
  const std::string own = ModuleFileName(module);
  if (own.empty()) return false;
  if (path == own) return true;
  struct stat a;
  struct stat b;
  return stat(path.c_str(), &a) == 0 && stat(own.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

}  // namespace velquor
