#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/ascii.h"
#include "platform/never_destroyed.h"

namespace {

constexpr BOOL kTrue = 1;
constexpr BOOL kFalse = 0;

// Reads left before ReadFile starts failing; negative when the hook is off.
std::atomic<int> g_reads_before_fault{-1};
// Reads made from the file system, for tests.
std::atomic<uint64_t> g_disk_reads{0};

// Callers read a line at a time, seeking back to where each line ends: the
// position is kept here and small reads are served from a buffer of the
// file's bytes, so that a line costs no system call.
constexpr size_t kBufferSize = 64 * 1024;

struct OpenFile {
  uint64_t position = 0;
  uint64_t buffer_start = 0;  // file offset of buffer[0]
  std::vector<char> buffer;   // the bytes read there; empty when none
};

// The open files by descriptor. Never destroyed (a host's threads may still
// read at exit); emptied when the last file closes.
constinit std::mutex g_files_mu;
constinit velquor::NeverDestroyed<std::vector<OpenFile*>> g_files_holder;
std::vector<OpenFile*>& g_files = g_files_holder.value;

// A handle is the descriptor plus one, times four: never null, never
// INVALID_HANDLE_VALUE, and a value that no descriptor maps to is refused.
HANDLE HandleOfFd(int fd) { return reinterpret_cast<HANDLE>((static_cast<uintptr_t>(fd) + 1) * 4); }

int FdOfHandle(HANDLE handle) {
  const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  if (value == 0 || value % 4 != 0) return -1;
  const uintptr_t fd = value / 4 - 1;
  if (fd > static_cast<uintptr_t>(INT_MAX)) return -1;
  return static_cast<int>(fd);
}

// The open file of a handle from CreateFileA, or null.
OpenFile* FileOf(HANDLE handle) {
  const int fd = FdOfHandle(handle);
  std::lock_guard<std::mutex> lock(g_files_mu);
  if (fd < 0 || static_cast<size_t>(fd) >= g_files.size()) return nullptr;
  return g_files[static_cast<size_t>(fd)];
}

// Reads at `offset` until `size` bytes or the end; the count, or -1 with
// errno.
ssize_t ReadAt(int fd, char* out, size_t size, uint64_t offset) {
  size_t done = 0;
  while (done < size) {
    g_disk_reads.fetch_add(1, std::memory_order_relaxed);
    const ssize_t got = pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

// The error code of a failed path lookup or open; `last` tells whether the
// failing component was the file name itself or a directory on its way.
DWORD PathError(int error, bool last) {
  switch (error) {
    case ENOENT:
      return last ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    case ENOTDIR:
    case ELOOP:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return last ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  }
}

bool EqualsIgnoringAsciiCase(const char* a, const std::string& b) {
  return velquor::AsciiEqualsNoCase(a, b);
}

// Finds the entry of `directory` whose name equals `name` without regard to
// ASCII case; of several, the first in byte order. False when none does.
bool FindNameIgnoringCase(const std::string& directory, const std::string& name,
                          std::string* found) {
  DIR* dir = opendir(directory.empty() ? "." : directory.c_str());
  if (dir == nullptr) return false;
  bool any = false;
  while (const dirent* entry = readdir(dir)) {
    if (!EqualsIgnoringAsciiCase(entry->d_name, name)) continue;
    // std::string compares as unsigned bytes, which is byte order.
    if (!any || std::string(entry->d_name) < *found) *found = entry->d_name;
    any = true;
  }
  closedir(dir);
  return any;
}

// Turns a path with `\` or `/` separators into one that exists as written,
// taking each component that does not exist as a name that differs only in
// ASCII case when the directory holds one. Returns 0 or the error code.
DWORD ResolvePath(const char* name, std::string* resolved) {
  std::string path(name);
  if (path.empty()) return ERROR_PATH_NOT_FOUND;
  if (path.size() >= PATH_MAX) return ERROR_FILENAME_EXCED_RANGE;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  std::string prefix = path[0] == '/' ? "/" : "";
  if (parts.empty()) {  // the root directory itself
    *resolved = prefix;
    return 0;
  }
  for (size_t i = 0; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    std::string candidate = prefix + parts[i];
    struct stat st;
    if (parts[i] != "." && parts[i] != ".." && lstat(candidate.c_str(), &st) != 0) {
      const int error = errno;
      std::string match;
      if (error != ENOENT || !FindNameIgnoringCase(prefix, parts[i], &match)) {
        return PathError(error, last);
      }
      candidate = prefix + match;
    }
    prefix = last ? candidate : candidate + "/";
  }
  *resolved = prefix;
  return 0;
}

}  // namespace

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, void* security, DWORD disposition,
                   DWORD flags, HANDLE template_file) {
  (void)share;  // no locks here: others may always read and write meanwhile
  (void)security;
  (void)flags;
  (void)template_file;
  if (name == nullptr || access != GENERIC_READ || disposition != OPEN_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string path;
  if (DWORD error = ResolvePath(name, &path); error != 0) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  // Look before opening, so that no FIFO or device is ever opened; then open
  // without blocking and look again at what was opened, in case the path was
  // replaced in between.
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    SetLastError(PathError(errno, true));
    return INVALID_HANDLE_VALUE;
  }
  if (!S_ISREG(st.st_mode)) {
    SetLastError(ERROR_CANT_ACCESS_FILE);
    return INVALID_HANDLE_VALUE;
  }
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    SetLastError(PathError(errno, true));
    return INVALID_HANDLE_VALUE;
  }
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    SetLastError(ERROR_CANT_ACCESS_FILE);
    return INVALID_HANDLE_VALUE;
  }
  const int status = fcntl(fd, F_GETFL);
  if (status >= 0) fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
  OpenFile* open_file = new (std::nothrow) OpenFile;
  bool kept = false;
  if (open_file != nullptr) {
    std::lock_guard<std::mutex> lock(g_files_mu);
    try {
      if (g_files.size() <= static_cast<size_t>(fd)) g_files.resize(static_cast<size_t>(fd) + 1);
      // A descriptor closed behind this layer's back may have left its entry.
      delete g_files[static_cast<size_t>(fd)];
      g_files[static_cast<size_t>(fd)] = open_file;
      kept = true;
    } catch (const std::bad_alloc&) {
    }
  }
  if (!kept) {
    delete open_file;
    close(fd);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(0);
  return HandleOfFd(fd);
}

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD method) {
  const int fd = FdOfHandle(file);
  OpenFile* open_file = FileOf(file);
  if (open_file == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  int64_t move = distance;
  if (distance_high != nullptr) {
    move =
        static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distance_high)) << 32) |
                             static_cast<uint32_t>(distance));
  }
  int64_t base = 0;
  if (method == FILE_CURRENT) {
    base = static_cast<int64_t>(open_file->position);
  } else if (method == FILE_END) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
      SetLastError(errno == EBADF ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
      return INVALID_SET_FILE_POINTER;
    }
    base = st.st_size;
  } else if (method != FILE_BEGIN) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  // Both are well inside 2^63 in magnitude, so the sum cannot overflow.
  const int64_t target = base + move;
  if (target < 0) {
    SetLastError(ERROR_NEGATIVE_SEEK);
    return INVALID_SET_FILE_POINTER;
  }
  if (distance_high == nullptr && target > 0xFFFFFFFFll) {
    // The caller could not be told the high part of the new position.
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  open_file->position = static_cast<uint64_t>(target);
  if (distance_high != nullptr) {
    *distance_high = static_cast<LONG>(static_cast<uint32_t>(static_cast<uint64_t>(target) >> 32));
  }
  SetLastError(0);
  return static_cast<DWORD>(static_cast<uint64_t>(target) & 0xFFFFFFFFu);
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD to_read, LPDWORD read, void* overlapped) {
  if (read == nullptr || overlapped != nullptr || (buffer == nullptr && to_read > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return kFalse;
  }
  *read = 0;
  const int fd = FdOfHandle(file);
  OpenFile* f = FileOf(file);
  if (f == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return kFalse;
  }
  int left = g_reads_before_fault.load();
  while (left >= 0) {
    if (left == 0) {
      SetLastError(ERROR_READ_FAULT);
      return kFalse;
    }
    if (g_reads_before_fault.compare_exchange_weak(left, left - 1)) break;
  }
  char* out = static_cast<char*>(buffer);
  size_t done = 0;
  // Fewer bytes than asked only at the end of the file.
  while (done < to_read) {
    const size_t wanted = to_read - done;
    const uint64_t buffered_end = f->buffer_start + f->buffer.size();
    // The buffer serves a read that it holds whole, or the rest of the file
    // when it ends there. A read that runs past it fills it again from the
    // read's start, so that a seek back into that read stays inside it.
    const bool ends_at_eof = f->buffer.size() < kBufferSize;
    if (f->position >= f->buffer_start && f->position < buffered_end &&
        (f->position + wanted <= buffered_end || ends_at_eof)) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(wanted, buffered_end - f->position));
      std::memcpy(out + done, f->buffer.data() + (f->position - f->buffer_start), n);
      f->position += n;
      done += n;
      if (n < wanted) break;
      continue;
    }
    bool direct = wanted >= kBufferSize;
    if (!direct && f->buffer.capacity() < kBufferSize) {
      try {
        f->buffer.reserve(kBufferSize);
      } catch (const std::bad_alloc&) {
        direct = true;
      }
    }
    if (!direct) f->buffer.resize(kBufferSize);
    const ssize_t got = direct ? ReadAt(fd, out + done, wanted, f->position)
                               : ReadAt(fd, f->buffer.data(), kBufferSize, f->position);
    if (got < 0) {
      if (!direct) f->buffer.clear();
      *read = static_cast<DWORD>(done);
      SetLastError(errno == EBADF ? ERROR_INVALID_HANDLE : ERROR_READ_FAULT);
      return kFalse;
    }
    if (direct) {
      f->position += static_cast<uint64_t>(got);
      done += static_cast<size_t>(got);
      if (static_cast<size_t>(got) < wanted) break;
      continue;
    }
    f->buffer.resize(static_cast<size_t>(got));
    f->buffer_start = f->position;
    if (got == 0) break;
  }
  *read = static_cast<DWORD>(done);
  SetLastError(0);
  return kTrue;
}

DWORD GetFileSize(HANDLE file, LPDWORD high) {
  const int fd = FdOfHandle(file);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (high != nullptr) *high = static_cast<DWORD>(size >> 32);
  SetLastError(0);
  return static_cast<DWORD>(size & 0xFFFFFFFFu);
}

namespace {

void ToFileTime(const struct timespec& time, FILETIME* out) {
  if (out == nullptr) return;
  // Seconds from 1601 to 1970, the epoch of the platform's file times.
  constexpr int64_t kEpochDelta = 11644473600LL;
  const uint64_t ticks = static_cast<uint64_t>(time.tv_sec + kEpochDelta) * 10000000u +
                         static_cast<uint64_t>(time.tv_nsec / 100);
  out->dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  out->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

}  // namespace

BOOL GetFileTime(HANDLE file, FILETIME* creation, FILETIME* last_access, FILETIME* last_write) {
  const int fd = FdOfHandle(file);
  struct stat st;
  if (fd < 0 || FileOf(file) == nullptr || fstat(fd, &st) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return kFalse;
  }
  ToFileTime(st.st_ctim, creation);
  ToFileTime(st.st_atim, last_access);
  ToFileTime(st.st_mtim, last_write);
  SetLastError(0);
  return kTrue;
}

BOOL CloseHandle(HANDLE object) {
  const int fd = FdOfHandle(object);
  OpenFile* open_file = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_files_mu);
    if (fd >= 0 && static_cast<size_t>(fd) < g_files.size()) {
      open_file = g_files[static_cast<size_t>(fd)];
      g_files[static_cast<size_t>(fd)] = nullptr;
      if (std::all_of(g_files.begin(), g_files.end(), [](OpenFile* f) { return f == nullptr; }))
        std::vector<OpenFile*>().swap(g_files);
    }
  }
  if (open_file == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return kFalse;
  }
  delete open_file;
  // On Linux the descriptor is released even when close reports EINTR or
  // EIO, so only EBADF means that nothing was closed.
  if (fd < 0 || (close(fd) != 0 && errno == EBADF)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return kFalse;
  }
  return kTrue;
}

namespace velquor {

const char* DescribeFileError(DWORD code) {
  switch (code) {
    case 0:
      return "no error";
    case ERROR_FILE_NOT_FOUND:
      return "No such file or directory";
    case ERROR_PATH_NOT_FOUND:
      return "No such file or directory";
    case ERROR_TOO_MANY_OPEN_FILES:
      return "Too many open files";
    case ERROR_ACCESS_DENIED:
      return "Permission denied";
    case ERROR_INVALID_HANDLE:
      return "invalid handle";
    case ERROR_NOT_ENOUGH_MEMORY:
      return "Cannot allocate memory";
    case ERROR_READ_FAULT:
      return "Input/output error";
    case ERROR_INVALID_PARAMETER:
      return "Invalid argument";
    case ERROR_NEGATIVE_SEEK:
      return "position before the start of the file";
    case ERROR_FILENAME_EXCED_RANGE:
      return "File name too long";
    case ERROR_CANT_ACCESS_FILE:
      return "not a regular file";
    default:
      return "unexpected error";
  }
}

uint64_t DiskReadsForTesting() { return g_disk_reads.load(); }

void SetReadFaultAfterForTesting(int reads) { g_reads_before_fault.store(reads < 0 ? -1 : reads); }

}  // namespace velquor
