// peak_memory: the peak resident memory of a process that filters one page
// through the real filter object (libvelquor.so, loaded with dlopen), for
// pages of several sizes, each in a fresh process so that one page's peak
// does not hide another's. The page is written to a temporary file first and
// the inner protocol reads it from there in reads of the requested size, so
// the only page-sized memory would be the filter's own.
//
//   peak_memory [--family F] [--read-size N] [SIZE...]     (default: 1M 100M)
#include <dlfcn.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "corpus.h"
#include "inner_protocol.h"
#include "platform/testing_profile.h"
#include "velquor/velquor.h"

extern char** environ;

namespace {

constexpr char kUsage[] =
    "usage: peak_memory [--family F] [--read-size N] [SIZE...]\n"
    "Filters a generated page of each SIZE (bytes, K or M suffix; default 1M\n"
    "100M) of family F (portal, document, plain, applets; default portal)\n"
    "through libvelquor.so in its own process, reading N bytes at a time\n"
    "(default 8192), and prints each process's peak resident memory.\n";

bool ParseSize(const char* text, unsigned long long* out) {
  if (*text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long n = std::strtoull(text, &end, 10);
  unsigned long long scale = 1;
  if (*end == 'K' || *end == 'k')
    scale = 1024, ++end;
  else if (*end == 'M' || *end == 'm')
    scale = 1024 * 1024, ++end;
  if (errno != 0 || *end != '\0' || n == 0 || n > (1ull << 32) / scale) return false;
  *out = n * scale;
  return true;
}

// The child: filters FILE with reads of READ_SIZE and discards the output.
int FilterFile(const char* path, unsigned long read_size) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    std::fprintf(stderr, "peak_memory: %s: %s\n", path, std::strerror(errno));
    return 1;
  }
  void* library = dlopen(VELQUOR_LIB, RTLD_NOW | RTLD_LOCAL);
  auto get = library ? reinterpret_cast<DllGetClassObjectFn>(dlsym(library, "DllGetClassObject"))
                     : nullptr;
  IClassFactory* factory = nullptr;
  IInternetProtocol* filter = nullptr;
  if (get == nullptr ||
      FAILED(get(CLSID_IENubrix, IID_IClassFactory, reinterpret_cast<void**>(&factory))) ||
      FAILED(factory->CreateInstance(nullptr, IID_IInternetProtocol,
                                     reinterpret_cast<void**>(&filter)))) {
    std::fprintf(stderr, "peak_memory: %s: cannot create a filter object\n", VELQUOR_LIB);
    return 1;
  }
  velquor::host::FileProtocol inner(file, velquor::host::EndOfData::kWithData);
  unsigned long long out = 0;
  const HRESULT hr = velquor::host::PullPage(*filter, inner, static_cast<ULONG>(read_size),
                                             [&](const char*, std::size_t n) { out += n; });
  filter->Release();
  factory->Release();
  std::fclose(file);
  if (FAILED(hr)) {
    std::fprintf(stderr, "peak_memory: the page did not go through (0x%08X)\n",
                 static_cast<unsigned>(hr));
    return 1;
  }
  return 0;
}

// The child that writes a page: FAMILY SIZE FILE.
int WritePage(const char* family_name, const char* size_text, const char* path) {
  velquor::bench::PageFamily family;
  if (!velquor::bench::ParsePageFamily(family_name, &family)) return 1;
  const std::string page =
      velquor::bench::MakeCorpusPage(family, std::strtoull(size_text, nullptr, 10), 1);
  std::FILE* f = std::fopen(path, "wb");
  if (f == nullptr || std::fwrite(page.data(), 1, page.size(), f) != page.size() ||
      std::fclose(f) != 0) {
    std::fprintf(stderr, "peak_memory: %s: cannot write the page\n", path);
    return 1;
  }
  return 0;
}

// Runs this program again with `args`; true when it exits with 0. Its peak
// resident memory in KB goes to *peak_kb when asked for.
bool RunChild(const std::vector<std::string>& args, long* peak_kb) {
  std::vector<char*> argv{const_cast<char*>("peak_memory")};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0) {
    std::perror("peak_memory: posix_spawn");
    return false;
  }
  int wstatus = 0;
  struct rusage usage {};
  if (wait4(pid, &wstatus, 0, &usage) != pid) return false;
  if (peak_kb != nullptr) *peak_kb = usage.ru_maxrss;
  return WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--child") == 0) {
    return FilterFile(argv[2], std::strtoul(argv[3], nullptr, 10));
  }
  if (argc == 5 && std::strcmp(argv[1], "--write") == 0) {
    return WritePage(argv[2], argv[3], argv[4]);
  }
  velquor::bench::PageFamily family = velquor::bench::PageFamily::kPortal;
  unsigned long long read_size = 8192;
  std::vector<unsigned long long> sizes;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--family" && i + 1 < argc) {
      if (!velquor::bench::ParsePageFamily(argv[++i], &family)) {
        std::fprintf(stderr, "peak_memory: unknown family '%s'\n", argv[i]);
        return 2;
      }
    } else if (arg == "--read-size" && i + 1 < argc) {
      if (!ParseSize(argv[++i], &read_size) || read_size > 0xFFFFFFFFull) {
        std::fprintf(stderr, "peak_memory: bad read size '%s'\n", argv[i]);
        return 2;
      }
    } else {
      unsigned long long size = 0;
      if (!ParseSize(argv[i], &size)) {
        std::fprintf(stderr, "peak_memory: bad size '%s'\n%s", argv[i], kUsage);
        return 2;
      }
      sizes.push_back(size);
    }
  }
  if (sizes.empty()) sizes = {1ull << 20, 100ull << 20};

  velquor::TempProfile profile;
  if (!profile.Create()) {
    std::perror("peak_memory: mkdtemp");
    return 1;
  }
  const std::string page_file = profile.dir + "/page.html";

  int status = 0;
  long first_kb = -1;
  std::printf("%-10s %12s %10s %12s %14s\n", "family", "page bytes", "read size", "peak RSS KB",
              "vs first KB");
  for (unsigned long long size : sizes) {
    // The page is written by one child and filtered by another: the kernel
    // keeps the high-water mark of the memory a process had when it called
    // exec, so the parent never holds a page itself.
    const std::string size_arg = std::to_string(size);
    const std::string read_arg = std::to_string(read_size);
    long peak_kb = 0;
    if (!RunChild({"--write", velquor::bench::PageFamilyName(family), size_arg, page_file},
                  nullptr) ||
        !RunChild({"--child", page_file, read_arg}, &peak_kb)) {
      std::fprintf(stderr, "peak_memory: the child filtering %llu bytes failed\n", size);
      status = 1;
      break;
    }
    if (first_kb < 0) first_kb = peak_kb;
    std::printf("%-10s %12llu %10llu %12ld %+14ld\n", velquor::bench::PageFamilyName(family), size,
                read_size, peak_kb, peak_kb - first_kb);
  }
  profile.Remove();
  return status;
}
