// `velquor config list | get NAME | set NAME VALUE | unset NAME`: the settings
// of the Config key, by their names in the table of values.
#include <cstdio>
#include <cstring>
#include <string>

#include "cli.h"
#include "commands.h"
#include "host_names.h"
#include "platform/registry.h"
#include "platform/resources.h"
#include "settings/store.h"

namespace velquor::host {
namespace {

constexpr char kUsage[] =
    "usage: velquor config list\n"
    "       velquor config get NAME\n"
    "       velquor config set NAME VALUE\n"
    "       velquor config unset NAME\n"
    "\n"
    "list   each setting's effective value, and whether it is stored or the\n"
    "       default\n"
    "get    the effective value of one setting\n"
    "set    stores a setting: numbers as unsigned decimals (0 to 4294967295),\n"
    "       texts as given (at most 1023 bytes)\n"
    "unset  removes a stored setting, so that its default applies again\n"
    "\n"
    "Names (any letter case):\n";

constexpr size_t kMaxText = 1023;  // the store reads texts through 1024 bytes
constexpr uint32_t kReplaceHtmlString = 109;

bool IsSetting(const StoreValue& v) { return std::strcmp(v.key, kConfigKey) == 0; }

void PrintNames(FILE* out) {
  for (size_t i = 0; i < kStoreValueCount; ++i) {
    const StoreValue& v = kStoreValues[i];
    if (IsSetting(v)) std::fprintf(out, "  %-12s %s\n", v.name, v.meaning);
  }
}

std::string ValidNames() {
  std::string names;
  for (size_t i = 0; i < kStoreValueCount; ++i) {
    if (!IsSetting(kStoreValues[i])) continue;
    if (!names.empty()) names += ", ";
    names += kStoreValues[i].name;
  }
  return names;
}

const StoreValue* FindSetting(const std::string& name) {
  const StoreValue* v = FindStoreValue(name);
  if (!v || !IsSetting(*v)) {
    PrintError("config: unknown setting '%s' (valid: %s)", name.c_str(), ValidNames().c_str());
    return nullptr;
  }
  return v;
}

std::string TextDefault(const StoreValue& v) {
  return v.text_default ? v.text_default : LoadResourceString(kReplaceHtmlString);
}

std::string Effective(const StoreValue& v) {
  if (v.type == StoreType::kText) return ReadTextSetting(v, TextDefault(v));
  return std::to_string(ReadSetting(v));
}

// "stored", "default", or "default; the stored data is unusable" when a value
// exists but is too long for its reader.
const char* Origin(const StoreValue& v) {
  DWORD size = 0;
  if (StoredSettingSize(v, &size) != ERROR_SUCCESS) return "default";
  DWORD limit = v.type == StoreType::kText ? kMaxText + 1 : 4;
  return size > limit ? "default; the stored data is too long" : "stored";
}

// Reports a store that could not be read; the exit status of a command
// whose whole job was to read it: 2 then, else 0.
int ReportStoreProblem() {
  std::string problem = StoreProblem();
  if (problem.empty()) return 0;
  PrintError("%s (using the defaults)", problem.c_str());
  return 2;
}

int WriteFailed(const char* action, const StoreValue& v) {
  std::string problem = StoreProblem();
  PrintError("config: cannot %s %s: %s", action, v.name,
             problem.empty() ? "the store cannot be written" : problem.c_str());
  return 2;
}

int Set(const StoreValue& v, const std::string& text) {
  LSTATUS s;
  if (v.type == StoreType::kNumber) {
    uint32_t n = 0;
    if (!ParseUint32(text, &n)) {
      PrintError("config: bad number '%s' for %s (valid: 0 to 4294967295)", text.c_str(), v.name);
      return 1;
    }
    s = WriteSettingNumber(v, n);
  } else {
    if (text.size() > kMaxText) {
      PrintError("config: %s is %zu bytes long (valid: at most %zu bytes)", v.name, text.size(),
                 kMaxText);
      return 1;
    }
    // The proxy's host lists take what `velquor exempt` takes, and nothing else.
    std::string problem;
    if ((std::strcmp(v.name, kExceptions.name) == 0 ||
         std::strcmp(v.name, kTunnelHosts.name) == 0) &&
        !CheckHostList(text, &problem)) {
      PrintError("config: %s: %s", v.name, problem.c_str());
      return 1;
    }
    s = WriteSettingText(v, text);
  }
  return s == ERROR_SUCCESS ? 0 : WriteFailed("set", v);
}

int Unset(const StoreValue& v) {
  return DeleteSetting(v) == ERROR_SUCCESS ? 0 : WriteFailed("unset", v);
}

}  // namespace

int RunConfig(int argc, char** argv) {
  if (WantsHelp(argc, argv)) {
    std::fputs(kUsage, stdout);
    PrintNames(stdout);
    return 0;
  }
  std::string action = argc > 1 ? argv[1] : "";
  if (action == "list" && argc == 2) {
    std::string out;
    for (size_t i = 0; i < kStoreValueCount; ++i) {
      const StoreValue& v = kStoreValues[i];
      if (!IsSetting(v)) continue;
      out += std::string(v.name) + ": " + Effective(v) + " (" + Origin(v) + ")\n";
    }
    const int status = ReportStoreProblem();
    std::fwrite(out.data(), 1, out.size(), stdout);
    return status;
  }
  if (action == "get" && argc == 3) {
    const StoreValue* v = FindSetting(argv[2]);
    if (!v) return 1;
    std::string value = Effective(*v) + "\n";
    const int status = ReportStoreProblem();
    std::fwrite(value.data(), 1, value.size(), stdout);
    return status;
  }
  if (action == "set" && argc == 4) {
    const StoreValue* v = FindSetting(argv[2]);
    return v ? Set(*v, argv[3]) : 1;
  }
  if (action == "unset" && argc == 3) {
    const StoreValue* v = FindSetting(argv[2]);
    return v ? Unset(*v) : 1;
  }
  PrintError(
      "config: expected 'list', 'get NAME', 'set NAME VALUE' or 'unset NAME' "
      "(try 'velquor config --help')");
  return 1;
}

}  // namespace velquor::host
