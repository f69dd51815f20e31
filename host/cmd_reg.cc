// `velquor reg export [FILE]` and `velquor reg import FILE`: the profile's
// whole registry as REGEDIT4 text, the way a user stores a value of any type.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "reg_file.h"

namespace velquor::host {
namespace {

constexpr char kUsage[] =
    "usage: velquor reg export [FILE]\n"
    "       velquor reg import FILE\n"
    "\n"
    "export  writes the profile's registry (HKEY_CURRENT_USER, then\n"
    "        HKEY_CLASSES_ROOT) as REGEDIT4 text to FILE, or to standard\n"
    "        output when FILE is absent or '-'\n"
    "import  applies a REGEDIT4 file ('-' reads standard input): all of it\n"
    "        or, on any bad line, nothing\n"
    "\n"
    "Format: a first line REGEDIT4; [HKEY_CURRENT_USER\\path] opens a key and\n"
    "[-HKEY_CURRENT_USER\\path] deletes one with everything below it; values\n"
    "are \"name\"=... or @=... (the key's default value) with \"text\" (escape\n"
    "\\\\ and \\\"), dword:0000002a, hex:01,02 or hex(N):01,02 (N the type in\n"
    "hex), or - to delete the value; ';' starts a comment line; a line ending\n"
    "in '\\' goes on in the next.\n";

bool ReadAll(const std::string& path, std::string* text, std::string* error) {
  FILE* f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
  if (!f) {
    *error = std::strerror(errno);
    return false;
  }
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text->append(buffer, n);
  bool ok = !std::ferror(f);
  if (!ok) *error = std::strerror(errno);
  if (f != stdin) std::fclose(f);
  return ok;
}

bool WriteAll(const std::string& path, const std::string& text, std::string* error) {
  if (path == "-") {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
        std::fflush(stdout) != 0) {
      *error = std::strerror(errno);
      return false;
    }
    return true;
  }
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    *error = std::strerror(errno);
    return false;
  }
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (std::fclose(f) != 0) ok = false;
  if (!ok) *error = std::strerror(errno);
  return ok;
}

int Export(const std::string& path) {
  std::vector<RegFileKey> keys;
  std::vector<std::string> skipped;
  std::string error;
  if (!ReadRegistry(&keys, &skipped, &error)) {
    PrintError("reg export: %s", error.c_str());
    return 2;
  }
  for (const std::string& s : skipped)
    PrintError("reg export: left out %s: its name holds a line break", s.c_str());
  if (!WriteAll(path, FormatRegFile(keys), &error)) {
    PrintError("reg export: %s: %s", path.c_str(), error.c_str());
    return 2;
  }
  return 0;
}

int Import(const std::string& path) {
  std::string text, error;
  if (!ReadAll(path, &text, &error)) {
    PrintError("reg import: %s: %s", path.c_str(), error.c_str());
    return 2;
  }
  std::vector<RegFileKey> keys;
  RegFileError bad;
  if (!ParseRegFile(text, &keys, &bad)) {
    PrintError("reg import: %s:%d: %s; nothing was imported", path.c_str(), bad.line,
               bad.message.c_str());
    return 1;
  }
  if (!ApplyRegFile(keys, &bad)) {
    if (bad.line > 0) {
      PrintError("reg import: %s:%d: %s; nothing was imported", path.c_str(), bad.line,
                 bad.message.c_str());
    } else {
      PrintError("reg import: %s: %s; nothing was imported", path.c_str(), bad.message.c_str());
    }
    return 2;
  }
  return 0;
}

}  // namespace

int RunReg(int argc, char** argv) {
  if (WantsHelp(argc, argv)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::string action = argc > 1 ? argv[1] : "";
  if (action == "export" && argc <= 3) return Export(argc == 3 ? argv[2] : "-");
  if (action == "import" && argc == 3) return Import(argv[2]);
  PrintError("reg: expected 'export [FILE]' or 'import FILE' (try 'velquor reg --help')");
  return 1;
}

}  // namespace velquor::host
