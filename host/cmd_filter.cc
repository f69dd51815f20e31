// velquor filter: each page goes through one filter object of the loaded
// library, as one download of the browser would: the class object creates
// the filter, Start gives it an inner protocol over the file, then Read until
// the end of the data. Pages go to stdout in order, or each to a
// file of its own in the output directory.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "inner_protocol.h"
#include "library_loader.h"
#include "platform/registry.h"
#include "settings/store.h"

namespace velquor::host {
namespace {

constexpr uint32_t kDefaultReadSize = 8192;
constexpr uint32_t kMaxReadSize = 64u << 20;

void PrintFilterUsage(std::FILE* out) {
  std::fputs(
      "usage: velquor filter [--read-size N] [--eof with-data|separate] [-o DIR]\n"
      "                      [--library PATH] [FILE...]\n"
      "\n"
      "Filters each HTML page FILE (standard input when none is given, or for -)\n"
      "through its own filter object, as the browser would download it, and writes\n"
      "the filtered page to standard output, pages in order.\n"
      "\n"
      "  --read-size N   bytes asked for per read, 1 to 67108864 (default 8192)\n"
      "  --eof with-data the read that delivers the last bytes reports the end\n"
      "                  of the data (default)\n"
      "  --eof separate  the last bytes come with success and the next read\n"
      "                  reports the end of the data with no bytes\n"
      "  -o DIR          write each page to DIR/<base name of FILE> instead\n"
      "                  (DIR/stdin for standard input); a page that would\n"
      "                  replace its own input, or share its output with\n"
      "                  another page, is refused\n"
      "  --library PATH  the filter library to load (default: the one registered\n"
      "                  as the filter for text/html, else the one installed\n"
      "                  with velquor)\n"
      "\n"
      "Each page adds 1 to the Pages total; see 'velquor stats'.\n"
      "Exit status: 0 on success, 1 for a usage error, 2 when a file could not be\n"
      "read or written (the other files are still filtered).\n",
      out);
}

struct Options {
  uint32_t read_size = kDefaultReadSize;
  EndOfData eof = EndOfData::kWithData;
  std::string out_dir;
  std::string library;
  std::vector<std::string> files;
};

// True when argv[i] is option `name`; takes its value from "name=value" or
// the next argument (`*missing` when there is none).
bool OptionValue(int argc, char** argv, int& i, const char* name, std::string* value,
                 bool* missing) {
  const std::size_t len = std::strlen(name);
  if (std::strncmp(argv[i], name, len) != 0) return false;
  *missing = false;
  if (argv[i][len] == '=') {
    *value = argv[i] + len + 1;
    return true;
  }
  if (argv[i][len] != '\0') return false;
  if (i + 1 >= argc) {
    *missing = true;
    value->clear();
    return true;
  }
  *value = argv[++i];
  return true;
}

// Returns 0 when the arguments are good, else the exit status.
int ParseOptions(int argc, char** argv, Options* options) {
  bool only_files = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string value;
    bool missing = false;
    if (only_files || arg == "-" || arg.empty() || arg[0] != '-') {
      options->files.push_back(arg);
    } else if (arg == "--") {
      only_files = true;
    } else if (OptionValue(argc, argv, i, "--read-size", &value, &missing)) {
      uint32_t n = 0;
      if (missing) {
        PrintError("filter: --read-size needs a value");
        return 1;
      }
      if (!ParseUint32(value, &n) || n == 0 || n > kMaxReadSize) {
        PrintError("filter: --read-size must be a number from 1 to %u, not '%s'", kMaxReadSize,
                   value.c_str());
        return 1;
      }
      options->read_size = n;
    } else if (OptionValue(argc, argv, i, "--eof", &value, &missing)) {
      if (missing) {
        PrintError("filter: --eof needs 'with-data' or 'separate'");
        return 1;
      } else if (value == "with-data") {
        options->eof = EndOfData::kWithData;
      } else if (value == "separate") {
        options->eof = EndOfData::kSeparate;
      } else {
        PrintError("filter: --eof must be 'with-data' or 'separate', not '%s'", value.c_str());
        return 1;
      }
    } else if (OptionValue(argc, argv, i, "-o", &value, &missing) ||
               OptionValue(argc, argv, i, "--output", &value, &missing)) {
      if (value.empty()) {
        PrintError("filter: -o needs a directory");
        return 1;
      }
      options->out_dir = value;
    } else if (OptionValue(argc, argv, i, "--library", &value, &missing)) {
      if (value.empty()) {
        PrintError("filter: --library needs a path");
        return 1;
      }
      options->library = value;
    } else {
      PrintError("filter: unknown option '%s' (try 'velquor filter --help')", arg.c_str());
      return 1;
    }
  }
  if (options->files.empty()) options->files.push_back("-");
  return 0;
}

std::string BaseName(const std::string& path) {
  if (path == "-") return "stdin";
  std::string name = path;
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  const std::size_t slash = name.rfind('/');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

// Releases an interface when the page is done.
struct Held {
  IUnknown* object = nullptr;
  ~Held() {
    if (object != nullptr) object->Release();
  }
};

// Filters one page from `in` to `out` through a new filter object of
// `factory`. Returns 0, or 2 after one error line naming `in_name` or
// `out_name`.
int FilterOne(IClassFactory* factory, std::FILE* in, const std::string& in_name, std::FILE* out,
              const std::string& out_name, const Options& options) {
  IInternetProtocol* filter = nullptr;
  HRESULT hr =
      factory->CreateInstance(nullptr, IID_IInternetProtocol, reinterpret_cast<void**>(&filter));
  Held held_filter{filter};
  IInternetProtocolSink* filter_sink = nullptr;
  if (SUCCEEDED(hr)) {
    hr = filter->QueryInterface(IID_IInternetProtocolSink, reinterpret_cast<void**>(&filter_sink));
  }
  Held held_sink{filter_sink};
  if (FAILED(hr)) {
    PrintError("filter: %s: no filter object (0x%08X)", in_name.c_str(), static_cast<unsigned>(hr));
    return 2;
  }
  FileProtocol inner(in, options.eof);
  NullSink sink;
  // The protocol beneath reports to the filter, which passes the reports up.
  inner.Start(u"text/html", filter_sink, nullptr, 0, 0);
  PROTOCOLFILTERDATA filter_data{sizeof(PROTOCOLFILTERDATA), nullptr, &inner, nullptr, 0};
  hr = filter->Start(u"text/html", &sink, nullptr, 0, reinterpret_cast<HANDLE_PTR>(&filter_data));
  if (FAILED(hr)) {
    PrintError("filter: %s: the filter did not start (0x%08X)", in_name.c_str(),
               static_cast<unsigned>(hr));
    return 2;
  }
  int write_error = 0;
  hr = PumpPage(*filter, options.read_size, [&](const char* data, std::size_t size) {
    if (std::fwrite(data, 1, size, out) == size) return true;
    write_error = errno != 0 ? errno : EIO;
    return false;
  });
  if (hr == S_OK && std::fflush(out) != 0) {
    write_error = errno != 0 ? errno : EIO;
    hr = kWriteRefused;
  }
  if (hr == kWriteRefused) {
    PrintError("filter: %s: %s", out_name.c_str(), std::strerror(write_error));
    return 2;
  }
  if (FAILED(hr)) {
    if (inner.error() != 0) {
      PrintError("filter: %s: %s", in_name.c_str(), std::strerror(inner.error()));
    } else {
      PrintError("filter: %s: reading failed (0x%08X)", in_name.c_str(), static_cast<unsigned>(hr));
    }
    return 2;
  }
  return 0;
}

// Filters into DIR/<base name> by way of a temporary file in DIR, so a
// failed page never replaces an earlier good output.
int FilterToDirectory(IClassFactory* factory, std::FILE* in, const std::string& path,
                      const std::string& in_name, const Options& options) {
  const std::string target = options.out_dir + "/" + BaseName(path);
  std::string temp = options.out_dir + "/.velquor-XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) {
    PrintError("filter: %s: %s", options.out_dir.c_str(), std::strerror(errno));
    return 2;
  }
  std::FILE* out = fdopen(fd, "wb");
  if (out == nullptr) {
    PrintError("filter: %s: %s", temp.c_str(), std::strerror(errno));
    close(fd);
    unlink(temp.c_str());
    return 2;
  }
  int status = FilterOne(factory, in, in_name, out, target, options);
  if (std::fclose(out) != 0 && status == 0) {
    PrintError("filter: %s: %s", target.c_str(), std::strerror(errno));
    status = 2;
  }
  if (status == 0) {
    // mkstemp makes the file private; an output page gets the usual mode.
    const mode_t mask = umask(0);
    umask(mask);
    chmod(temp.c_str(), 0666 & ~mask);
    if (std::rename(temp.c_str(), target.c_str()) != 0) {
      PrintError("filter: %s: %s", target.c_str(), std::strerror(errno));
      status = 2;
    }
  }
  if (status != 0) unlink(temp.c_str());
  return status;
}

// With -o, the pages whose output cannot be written safely: one that would
// replace its own input, and every page of a group whose base names meet in
// one output file (which of them should win is anybody's guess). Each is
// reported; the result marks them.
std::vector<bool> RefusedOutputs(const Options& options) {
  std::vector<bool> refused(options.files.size(), false);
  if (options.out_dir.empty()) return refused;
  for (std::size_t i = 0; i < options.files.size(); ++i) {
    const std::string target = options.out_dir + "/" + BaseName(options.files[i]);
    std::vector<std::size_t> same;
    for (std::size_t j = 0; j < options.files.size(); ++j) {
      if (BaseName(options.files[j]) == BaseName(options.files[i])) same.push_back(j);
    }
    if (same.size() > 1) {
      if (same[0] == i) {
        std::string names;
        for (std::size_t j : same) {
          names += (names.empty() ? "" : ", ") +
                   (options.files[j] == "-" ? std::string("standard input") : options.files[j]);
        }
        PrintError("filter: %s: all would be written to %s; none of them is filtered",
                   names.c_str(), target.c_str());
      }
      refused[i] = true;
      continue;
    }
    struct stat in_st, out_st;
    if (options.files[i] != "-" && stat(options.files[i].c_str(), &in_st) == 0 &&
        stat(target.c_str(), &out_st) == 0 && in_st.st_dev == out_st.st_dev &&
        in_st.st_ino == out_st.st_ino) {
      PrintError("filter: %s: the output %s is the input itself; it is not filtered",
                 options.files[i].c_str(), target.c_str());
      refused[i] = true;
    }
  }
  return refused;
}

}  // namespace

int RunFilter(int argc, char** argv) {
  if (WantsHelp(argc, argv)) {
    PrintFilterUsage(stdout);
    return 0;
  }
  Options options;
  if (int status = ParseOptions(argc, argv, &options); status != 0) return status;
  if (!options.out_dir.empty()) {
    struct stat st;
    if (stat(options.out_dir.c_str(), &st) != 0) {
      PrintError("filter: %s: %s", options.out_dir.c_str(), std::strerror(errno));
      return 2;
    }
    if (!S_ISDIR(st.st_mode)) {
      PrintError("filter: %s: not a directory", options.out_dir.c_str());
      return 2;
    }
  }

  LibraryChoice choice;
  std::string error;
  if (!FindLibrary(options.library, true, &choice, &error)) {
    PrintError("filter: %s", error.c_str());
    return 2;
  }
  std::unique_ptr<LoadedLibrary> library = LoadedLibrary::Open(choice.path, &error);
  if (!library) {
    PrintError("filter: %s", error.c_str());
    return 2;
  }
  IClassFactory* factory = nullptr;
  if (HRESULT hr = library->GetClassFactory(choice.clsid, &factory); FAILED(hr)) {
    PrintError("filter: %s: no class object for the filter class (0x%08X)", choice.path.c_str(),
               static_cast<unsigned>(hr));
    return 2;
  }

  // Pages go to standard output in large writes: the usual buffer of a
  // pipe or of /dev/null holds a few kilobytes, a system call for every read
  // of the page. A terminal keeps its line buffering. The buffer must outlive
  // every write, up to the flush at exit, so it is never freed.
  if (options.out_dir.empty() && !isatty(fileno(stdout))) {
    static char output_buffer[std::size_t{1} << 20];
    std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
  }
  const std::vector<bool> refused = RefusedOutputs(options);
  int status = 0;
  bool store_problem_told = false;
  bool store_probed = false;
  for (std::size_t page = 0; page < options.files.size(); ++page) {
    const std::string& name = options.files[page];
    if (refused[page]) {
      status = 2;
      continue;
    }
    const bool is_stdin = name == "-";
    std::FILE* in = is_stdin ? stdin : std::fopen(name.c_str(), "rb");
    const std::string in_name = is_stdin ? "standard input" : name;
    if (in == nullptr) {
      PrintError("filter: %s: %s", name.c_str(), std::strerror(errno));
      status = 2;
      continue;
    }
    const int page_status =
        options.out_dir.empty()
            ? FilterOne(factory, in, in_name, stdout, "standard output", options)
            : FilterToDirectory(factory, in, name, in_name, options);
    if (page_status != 0) status = page_status;
    if (!is_stdin) std::fclose(in);
    // A store that cannot be used does not stop the filter: the settings it
    // could not give take their defaults and the totals go uncounted. Say so
    // once, naming the file, however many pages follow.
    if (!store_problem_told) {
      // The library counts the pages with its own store access, out of the
      // host's sight; after the first page the host asks the store once
      // itself whether a write would go through.
      const std::string problem = store_probed ? StoreProblem() : StoreWriteProblem();
      store_probed = true;
      if (!problem.empty()) {
        PrintError("%s (using the defaults)", problem.c_str());
        store_problem_told = true;
      }
    }
  }
  factory->Release();
  return status;
}

}  // namespace velquor::host
