// velquor install | uninstall | register | unregister: the installation's
// part. Install sets "InstallDir", registers the library through its
// DllRegisterServer and makes the browser's MIME-filter entry for text/html;
// uninstall undoes all of it; register and unregister call the entry points
// alone.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "ca_files.h"
#include "cli.h"
#include "commands.h"
#include "library_loader.h"
#include "platform/registry.h"
#include "platform/typelib.h"
#include "rules/user_rules.h"
#include "settings/store.h"

namespace velquor::host {
namespace {

struct Options {
  std::string library;
  std::string dir;
  bool has_dir = false;
};

// Parses [--library PATH] and, when `allow_dir`, [--dir DIR]. Prints the
// problem and returns false on anything else.
bool ParseOptions(const char* command, int argc, char** argv, bool allow_dir, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string* target = nullptr;
    if (arg == "--library") {
      target = &options->library;
    } else if (allow_dir && arg == "--dir") {
      target = &options->dir;
      options->has_dir = true;
    } else {
      PrintError("%s: unexpected argument '%s' (try 'velquor %s --help')", command, argv[i],
                 command);
      return false;
    }
    if (i + 1 >= argc || argv[i + 1][0] == '\0') {
      PrintError("%s: %s needs a value", command, arg.c_str());
      return false;
    }
    *target = argv[++i];
  }
  return true;
}

LSTATUS WriteString(HKEY root, const char* key, const char* name, const std::string& value) {
  ScopedKey h;
  LSTATUS rc = RegCreateKeyExA(root, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, h.Out(), nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  return RegSetValueExA(h.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1));
}

LSTATUS DeleteValue(HKEY root, const char* key, const char* name) {
  ScopedKey h;
  LSTATUS rc = RegOpenKeyExA(root, key, 0, KEY_ALL_ACCESS, h.Out());
  if (rc == ERROR_SUCCESS) rc = RegDeleteValueA(h.get(), name);
  return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

// Deletes `key` and then its parents up to the root, each only while it has
// neither subkeys nor values left.
void DeleteEmptyKeys(HKEY root, std::string key) {
  while (!key.empty()) {
    bool has_subkey = false, has_value = false;
    {
      ScopedKey h;
      if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, h.Out()) != ERROR_SUCCESS) return;
      char name[512];
      DWORD size = sizeof(name);
      has_subkey = RegEnumKeyExA(h.get(), 0, name, &size, nullptr, nullptr, nullptr, nullptr) ==
                   ERROR_SUCCESS;
      size = sizeof(name);
      has_value = RegEnumValueA(h.get(), 0, name, &size, nullptr, nullptr, nullptr, nullptr) ==
                  ERROR_SUCCESS;
    }
    if (has_subkey || has_value) return;
    if (RegDeleteKeyA(root, key.c_str()) != ERROR_SUCCESS) return;
    size_t slash = key.rfind('\\');
    key = slash == std::string::npos ? std::string() : key.substr(0, slash);
  }
}

std::string StatusText(LSTATUS rc) {
  std::string problem = StoreProblem();
  if (!problem.empty()) return problem;
  return "registry error " + std::to_string(rc);
}

// Finds and loads the library; prints the problem and returns null on failure.
std::unique_ptr<LoadedLibrary> Load(const char* command, const Options& options,
                                    bool use_registration) {
  LibraryChoice choice;
  std::string error;
  if (!FindLibrary(options.library, use_registration, &choice, &error)) {
    PrintError("%s: %s", command, error.c_str());
    return nullptr;
  }
  std::unique_ptr<LoadedLibrary> lib = LoadedLibrary::Open(choice.path, &error);
  if (!lib) PrintError("%s: %s", command, error.c_str());
  return lib;
}

// The absolute form of an installation directory, which must exist.
bool ResolveInstallDir(const std::string& given, std::string* dir) {
  std::error_code ec;
  std::filesystem::path path = std::filesystem::absolute(given, ec);
  if (ec) {
    PrintError("install: --dir %s: %s", given.c_str(), ec.message().c_str());
    return false;
  }
  if (!std::filesystem::is_directory(path, ec)) {
    PrintError("install: --dir %s: %s", given.c_str(),
               ec ? ec.message().c_str() : "not a directory");
    return false;
  }
  *dir = path.lexically_normal().string();
  if (dir->size() > 1 && dir->back() == '/') dir->pop_back();
  return true;
}

// Whether install has left anything in the profile: the filter entry for
// text/html, the class's registration or the "InstallDir" setting.
bool SomethingInstalled() {
  const std::string class_key = "CLSID\\" + GuidToString(CLSID_IENubrix);
  const struct {
    HKEY root;
    std::string key;
    const char* value;  // null: the key itself
  } marks[] = {
      {HKEY_CLASSES_ROOT, kHtmlFilterKey, "CLSID"},
      {HKEY_CLASSES_ROOT, class_key, nullptr},
  };
  DWORD size = 0;
  if (StoredSettingSize(kInstallDir, &size) == ERROR_SUCCESS) return true;
  for (const auto& mark : marks) {
    ScopedKey h;
    if (RegOpenKeyExA(mark.root, mark.key.c_str(), 0, KEY_READ, h.Out()) != ERROR_SUCCESS) continue;
    if (mark.value == nullptr ||
        RegQueryValueExA(h.get(), mark.value, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS)
      return true;
  }
  return false;
}

// What becomes of the proxy's local CA at uninstall: removed with
// --remove-ca, else left and named. Either way the trust that browsers give
// it is theirs to remove. False when a file could not be removed.
bool HandleLocalCa(bool remove) {
  const std::string profile = ProfileDirectory();
  const std::string files[] = {CaCertificatePath(profile), CaKeyPath(profile)};
  std::error_code ec;
  if (!std::filesystem::exists(files[0], ec) && !std::filesystem::exists(files[1], ec)) {
    return true;
  }
  bool ok = true;
  if (remove) {
    for (const std::string& file : files) {
      if (!std::filesystem::remove(file, ec) && ec) {
        PrintError("uninstall: cannot remove %s: %s", file.c_str(), ec.message().c_str());
        ok = false;
      }
    }
    if (ok)
      std::printf("removed the proxy's local CA (%s, %s)\n", files[0].c_str(), files[1].c_str());
  } else {
    std::printf(
        "the proxy's local CA stays: %s and its key %s\n"
        "(remove them with 'velquor uninstall --remove-ca')\n",
        files[0].c_str(), files[1].c_str());
  }
  std::printf(
      "Browsers that trust the CA keep trusting it until you remove it:\n"
      "  certutil -d sql:$HOME/.pki/nssdb -D -n velquor\n"
      "  certutil -d sql:$HOME/.mozilla/firefox/PROFILE -D -n velquor\n"
      "  rm /usr/local/share/ca-certificates/velquor-ca.crt && update-ca-certificates --fresh  "
      "(as root)\n");
  return ok;
}

}  // namespace

int RunInstall(int argc, char** argv) {
  if (WantsHelp(argc, argv)) {
    std::fputs(
        "usage: velquor install [--dir DIR] [--library PATH]\n\n"
        "Registers the filter library (DllRegisterServer), sets \"InstallDir\" to\n"
        "DIR (default: the profile directory), where the user rules file\n"
        "MYRULES.TXT is read from, and makes the library the filter for\n"
        "text/html (HKEY_CLASSES_ROOT\\PROTOCOLS\\Filter\\text/html).\n"
        "The library is PATH, else the libvelquor.so installed with velquor.\n",
        stdout);
    return 0;
  }
  Options options;
  if (!ParseOptions("install", argc, argv, true, &options)) return 1;

  std::string dir;
  if (options.has_dir) {
    if (!ResolveInstallDir(options.dir, &dir)) return 2;
  } else {
    dir = ProfileDirectory();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
      PrintError("install: cannot create the profile directory %s: %s", dir.c_str(),
                 ec.message().c_str());
      return 2;
    }
  }

  std::unique_ptr<LoadedLibrary> lib = Load("install", options, false);
  if (!lib) return 2;
  HRESULT hr = lib->Register();
  if (FAILED(hr)) {
    PrintError("install: DllRegisterServer of %s failed with %s", lib->path().c_str(),
               FormatResult(hr).c_str());
    return 2;
  }
  LSTATUS rc = WriteSettingText(kInstallDir, dir);
  if (rc == ERROR_SUCCESS)
    rc = WriteString(HKEY_CLASSES_ROOT, kHtmlFilterKey, "CLSID", GuidToString(CLSID_IENubrix));
  if (rc != ERROR_SUCCESS) {
    PrintError("install: cannot write the settings: %s", StatusText(rc).c_str());
    return 2;
  }
  std::printf("installed %s as the filter for text/html\nuser rules file: %s\n",
              lib->path().c_str(), ShellPath(RulesPathForInstallDir(dir)).c_str());
  return 0;
}

int RunUninstall(int argc, char** argv) {
  if (WantsHelp(argc, argv)) {
    std::fputs(
        "usage: velquor uninstall [--library PATH] [--remove-ca]\n\n"
        "Undoes what install made: removes the filter entry for text/html, the\n"
        "library's registration (DllUnregisterServer) and its type library, and\n"
        "the \"InstallDir\" setting. The user rules file is left in place.\n"
        "With nothing installed it says so and exits with status 1.\n"
        "\n"
        "The local CA of 'velquor proxy --inspect-https' (velquor-ca.pem and\n"
        "velquor-ca.key in the profile) stays unless --remove-ca is given; either\n"
        "way it prints how to remove the browsers' trust in it.\n",
        stdout);
    return 0;
  }
  bool remove_ca = false;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (i > 0 && std::strcmp(argv[i], "--remove-ca") == 0) {
      remove_ca = true;
    } else {
      args.push_back(argv[i]);
    }
  }
  Options options;
  if (!ParseOptions("uninstall", static_cast<int>(args.size()), args.data(), false, &options)) {
    return 1;
  }
  if (!SomethingInstalled()) {
    const std::string problem = StoreProblem();
    if (!problem.empty()) {
      PrintError("uninstall: %s", problem.c_str());
      return 2;
    }
    PrintError("uninstall: nothing is installed in the profile %s",
               ShellPath(ProfileDirectory()).c_str());
    // A proxy user may never have installed, yet has a CA to remove.
    if (remove_ca) return HandleLocalCa(true) ? 0 : 2;
    HandleLocalCa(false);
    return 1;
  }

  // The registered library is the one to unregister; look it up before its
  // filter entry goes.
  std::unique_ptr<LoadedLibrary> lib = Load("uninstall", options, true);
  int status = lib ? 0 : 2;
  if (lib) {
    HRESULT hr = lib->Unregister();
    if (FAILED(hr)) {
      PrintError("uninstall: DllUnregisterServer of %s failed with %s", lib->path().c_str(),
                 FormatResult(hr).c_str());
      status = 2;
    }
  }
  UnRegisterTypeLib(LIBID_NUBRIXLib, 1, 0, 0x0409, SYS_WIN32);
  DeleteEmptyKeys(HKEY_CLASSES_ROOT, "TypeLib");
  DeleteEmptyKeys(HKEY_CLASSES_ROOT, "Interface");
  LSTATUS rc = DeleteValue(HKEY_CLASSES_ROOT, kHtmlFilterKey, "CLSID");
  if (rc == ERROR_SUCCESS) {
    DeleteEmptyKeys(HKEY_CLASSES_ROOT, kHtmlFilterKey);
    rc = DeleteSetting(kInstallDir);
  }
  if (rc != ERROR_SUCCESS) {
    PrintError("uninstall: cannot remove the settings: %s", StatusText(rc).c_str());
    return 2;
  }
  if (status == 0) std::printf("uninstalled %s\n", lib->path().c_str());
  if (!HandleLocalCa(remove_ca)) status = 2;
  return status;
}

namespace {

int RunEntryPoint(const char* command, int argc, char** argv, bool register_mode) {
  if (WantsHelp(argc, argv)) {
    std::printf(
        "usage: velquor %s [--library PATH]\n\n"
        "Calls the library's %s and nothing else. The library is PATH, else\n"
        "the one registered as the filter for text/html, else the libvelquor.so\n"
        "installed with velquor.\n",
        command, register_mode ? "DllRegisterServer" : "DllUnregisterServer");
    return 0;
  }
  Options options;
  if (!ParseOptions(command, argc, argv, false, &options)) return 1;
  std::unique_ptr<LoadedLibrary> lib = Load(command, options, true);
  if (!lib) return 2;
  HRESULT hr = register_mode ? lib->Register() : lib->Unregister();
  if (FAILED(hr)) {
    PrintError("%s: %s of %s failed with %s", command,
               register_mode ? "DllRegisterServer" : "DllUnregisterServer", lib->path().c_str(),
               FormatResult(hr).c_str());
    return 2;
  }
  std::printf("%s %s\n", register_mode ? "registered" : "unregistered", lib->path().c_str());
  return 0;
}

}  // namespace

int RunRegister(int argc, char** argv) { return RunEntryPoint("register", argc, argv, true); }

int RunUnregister(int argc, char** argv) { return RunEntryPoint("unregister", argc, argv, false); }

}  // namespace velquor::host
