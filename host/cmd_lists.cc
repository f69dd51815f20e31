// velquor lists: the filter lists of the profile (add, remove, list, update),
// and checking a list or matching URLs against lists.
//
// Each list's text is the file lists/NAME.txt in the profile directory; what
// is known about it (where it comes from, its validators, when it was last
// fetched, its counts) is kept under the key Lists\NAME beside the settings.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "list_fetch.h"
#include "lists/filter_lists.h"
#include "platform/registry.h"

namespace velquor::host {
namespace {

namespace fs = std::filesystem;
using lists::Decision;
using lists::Engine;
using lists::ListSummary;

constexpr char kListsKey[] = "Software\\Morvanet\\Velquor\\Lists";

constexpr char kUsage[] =
    "usage: velquor lists add FILE|URL [--name NAME]\n"
    "       velquor lists remove NAME\n"
    "       velquor lists list\n"
    "       velquor lists update [NAME]\n"
    "       velquor lists check FILE\n"
    "       velquor lists match [--list FILE]... [--source URL] [--type TYPE] URL...|-\n"
    "\n"
    "Filter lists in the Adblock Plus syntax (EasyList, EasyPrivacy, ...) that\n"
    "the proxy blocks requests and hides page elements with.\n"
    "\n"
    "  add      copy a list into the profile, from a file or an https:// address;\n"
    "           NAME defaults to the file's name without its extension\n"
    "  remove   forget a list\n"
    "  list     name, source, rules used, rules skipped, last update, expiry\n"
    "  update   fetch the lists again (addresses: a conditional request; files:\n"
    "           read again); a new text replaces the old copy only when it came\n"
    "           whole and is a filter list, otherwise the old copy stays\n"
    "  check    count a list's lines by kind and show each skipped or bad one\n"
    "  match    one line per URL: block<TAB>RULE, allow<TAB>RULE or none; with -\n"
    "           read URL<TAB>SOURCE<TAB>TYPE lines from standard input. Without\n"
    "           --list the profile's lists are used. TYPE is one of other, script,\n"
    "           image, stylesheet, object, xmlhttprequest (xhr, fetch),\n"
    "           subdocument, media, font, websocket, ping, document; default other.\n"
    "           A URL without --source counts as third-party.\n"
    "\n"
    "exit status: 0 done, 1 a usage error, a bad list or a failed update,\n"
    "2 a file or the profile cannot be used.\n";

struct Meta {
  std::string name, source, etag, last_modified;
  long long updated = 0;
  int expires_hours = 0, used = 0, skipped = 0, bad = 0;
};

std::string ListsDir() { return ProfileDirectory() + "/lists"; }
std::string ListFile(const std::string& name) { return ListsDir() + "/" + name + ".txt"; }

bool IsUrl(const std::string& s) { return s.find("://") != std::string::npos; }

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > 64 || name[0] == '.') return false;
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') {
      return false;
    }
  }
  return true;
}

std::string DefaultName(const std::string& source) {
  std::string base = source;
  const std::size_t query = base.find_first_of("?#", base.find("://") + 1);
  if (IsUrl(base) && query != std::string::npos) base.resize(query);
  while (!base.empty() && base.back() == '/') base.pop_back();
  base = base.substr(base.find_last_of('/') + 1);
  const std::size_t dot = base.rfind('.');
  if (dot != std::string::npos && dot > 0) base.resize(dot);
  std::string name;
  for (char c : base) {
    name += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ? c : '-';
  }
  return name;
}

bool ReadWhole(const std::string& path, std::string* text, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  std::stringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) {
    *error = path + ": read error";
    return false;
  }
  *text = buffer.str();
  return true;
}

// Writes `text` beside `path` and renames it into place, so that a reader
// sees the old copy or the new one, never a part.
bool WriteAtomically(const std::string& path, const std::string& text, std::string* error) {
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  const std::string temp = path + ".new";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
    if (!out) {
      *error = temp + ": cannot be written";
      fs::remove(temp, ec);
      return false;
    }
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    *error = path + ": " + std::strerror(errno);
    fs::remove(temp, ec);
    return false;
  }
  return true;
}

std::string ReadText(HKEY key, const char* name) {
  char data[4096];
  DWORD size = sizeof data;
  DWORD type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
      ERROR_SUCCESS) {
    return "";
  }
  std::string s(data, size);
  const std::size_t zero = s.find('\0');
  if (zero != std::string::npos) s.resize(zero);
  return s;
}

bool LoadMeta(const std::string& name, Meta* meta) {
  HKEY key = nullptr;
  const std::string path = std::string(kListsKey) + "\\" + name;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  meta->name = name;
  meta->source = ReadText(key, "Source");
  meta->etag = ReadText(key, "ETag");
  meta->last_modified = ReadText(key, "LastModified");
  meta->updated = std::atoll(ReadText(key, "Updated").c_str());
  meta->expires_hours = std::atoi(ReadText(key, "Expires").c_str());
  meta->used = std::atoi(ReadText(key, "Used").c_str());
  meta->skipped = std::atoi(ReadText(key, "Skipped").c_str());
  meta->bad = std::atoi(ReadText(key, "Bad").c_str());
  RegCloseKey(key);
  return true;
}

bool StoreMeta(const Meta& meta, std::string* error) {
  HKEY key = nullptr;
  const std::string path = std::string(kListsKey) + "\\" + meta.name;
  LSTATUS s = RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr);
  const std::pair<const char*, std::string> values[] = {
      {"Source", meta.source},
      {"ETag", meta.etag},
      {"LastModified", meta.last_modified},
      {"Updated", std::to_string(meta.updated)},
      {"Expires", std::to_string(meta.expires_hours)},
      {"Used", std::to_string(meta.used)},
      {"Skipped", std::to_string(meta.skipped)},
      {"Bad", std::to_string(meta.bad)},
  };
  for (const auto& [name, value] : values) {
    if (s != ERROR_SUCCESS) break;
    s = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
  }
  if (key != nullptr) RegCloseKey(key);
  if (s == ERROR_SUCCESS) return true;
  const std::string problem = StoreProblem();
  *error = problem.empty() ? "the store cannot be written" : problem;
  return false;
}

std::vector<std::string> ListNames() {
  std::vector<std::string> names;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kListsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return names;
  }
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD size = sizeof name;
    if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    names.emplace_back(name, size);
  }
  RegCloseKey(key);
  return names;
}

// Gets the text of `source` (a file or an address). For an address with
// validators, *not_modified tells a 304.
bool Obtain(const std::string& source, Meta* meta, std::string* text, bool* not_modified,
            std::string* error) {
  *not_modified = false;
  if (!IsUrl(source)) return ReadWhole(source, text, error);
  const FetchResult r = FetchList(source, meta->etag, meta->last_modified);
  if (!r.ok) {
    *error = source + ": " + r.error;
    return false;
  }
  if (r.not_modified) {
    *not_modified = true;
    return true;
  }
  *text = r.body;
  meta->etag = r.etag;
  meta->last_modified = r.last_modified;
  return true;
}

std::string Problem(const ListSummary& s) {
  if (s.markup) return "it is a web page, not a filter list";
  if (s.used() == 0) return "it has no rule that can be used";
  return std::to_string(s.bad) + " broken lines against " + std::to_string(s.used()) +
         " usable rules";
}

// Stores `text` as the copy of `meta`'s list when it is a filter list.
bool Install(Meta* meta, const std::string& text, std::string* error) {
  const ListSummary s = lists::CheckList(meta->name, text);
  if (!s.LooksLikeAList()) {
    *error = "not a filter list: " + Problem(s);
    return false;
  }
  if (!WriteAtomically(ListFile(meta->name), text, error)) return false;
  meta->updated = static_cast<long long>(std::time(nullptr));
  meta->expires_hours = s.expires_hours;
  meta->used = s.used();
  meta->skipped = s.skipped;
  meta->bad = s.bad;
  return StoreMeta(*meta, error);
}

std::string When(long long t) {
  if (t <= 0) return "-";
  const std::time_t time = static_cast<std::time_t>(t);
  std::tm tm{};
  gmtime_r(&time, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &tm);
  return text;
}

int Add(int argc, char** argv) {
  std::string source, name;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--name") == 0 && i + 1 < argc) {
      name = argv[++i];
    } else if (source.empty() && argv[i][0] != '-') {
      source = argv[i];
    } else {
      PrintError("lists add: unexpected '%s' (try 'velquor lists --help')", argv[i]);
      return 1;
    }
  }
  if (source.empty()) {
    PrintError("lists add: expected FILE or URL");
    return 1;
  }
  if (name.empty()) name = DefaultName(source);
  if (!ValidName(name)) {
    PrintError("lists add: '%s' is not a usable name (letters, digits, '-', '_', '.')",
               name.c_str());
    return 1;
  }
  Meta meta;
  if (LoadMeta(name, &meta)) {
    PrintError("lists add: a list named %s exists already (remove it first)", name.c_str());
    return 1;
  }
  meta.name = name;
  std::error_code ec;
  meta.source = IsUrl(source) ? source : fs::absolute(source, ec).string();
  std::string text, error;
  bool not_modified = false;
  if (!Obtain(meta.source, &meta, &text, &not_modified, &error)) {
    PrintError("lists add: %s", error.c_str());
    return 2;
  }
  if (!Install(&meta, text, &error)) {
    PrintError("lists add: %s: %s", source.c_str(), error.c_str());
    return 1;
  }
  std::printf("added %s: %d rules used, %d skipped, %d bad\n", name.c_str(), meta.used,
              meta.skipped, meta.bad);
  return 0;
}

int Remove(int argc, char** argv) {
  if (argc != 3) {
    PrintError("lists remove: expected one NAME");
    return 1;
  }
  const std::string name = argv[2];
  Meta meta;
  if (!ValidName(name) || !LoadMeta(name, &meta)) {
    PrintError("lists remove: there is no list named %s", name.c_str());
    return 1;
  }
  const std::string path = std::string(kListsKey) + "\\" + name;
  if (RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str()) != ERROR_SUCCESS) {
    PrintError("lists remove: cannot change the store: %s", StoreProblem().c_str());
    return 2;
  }
  std::error_code ec;
  fs::remove(ListFile(name), ec);
  return 0;
}

int List() {
  std::printf("NAME\tSOURCE\tUSED\tSKIPPED\tUPDATED\tEXPIRES\n");
  for (const std::string& name : ListNames()) {
    Meta m;
    if (!LoadMeta(name, &m)) continue;
    std::string expires = "-";
    if (m.expires_hours > 0 && m.updated > 0) expires = When(m.updated + m.expires_hours * 3600LL);
    std::printf("%s\t%s\t%d\t%d\t%s\t%s\n", name.c_str(), m.source.c_str(), m.used, m.skipped,
                When(m.updated).c_str(), expires.c_str());
  }
  return 0;
}

int Update(int argc, char** argv) {
  std::vector<std::string> names;
  if (argc > 3) {
    PrintError("lists update: expected at most one NAME");
    return 1;
  }
  if (argc == 3) {
    names.push_back(argv[2]);
  } else {
    names = ListNames();
  }
  int status = 0;
  for (const std::string& name : names) {
    Meta meta;
    if (!ValidName(name) || !LoadMeta(name, &meta)) {
      PrintError("lists update: there is no list named %s", name.c_str());
      status = 1;
      continue;
    }
    std::string text, error;
    bool not_modified = false;
    const bool have_copy = fs::exists(ListFile(name));
    if (!have_copy) meta.etag.clear(), meta.last_modified.clear();
    if (Obtain(meta.source, &meta, &text, &not_modified, &error) &&
        (not_modified || Install(&meta, text, &error))) {
      if (not_modified) {
        meta.updated = static_cast<long long>(std::time(nullptr));
        StoreMeta(meta, &error);
        std::printf("%s: not modified\n", name.c_str());
      } else {
        std::printf("%s: updated, %d rules used, %d skipped, %d bad\n", name.c_str(), meta.used,
                    meta.skipped, meta.bad);
      }
      continue;
    }
    PrintError("lists update %s: %s; the copy of %s stays", name.c_str(), error.c_str(),
               When(meta.updated).c_str());
    status = 1;
  }
  return status;
}

std::string Quote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u >= 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", u);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

int Check(int argc, char** argv) {
  if (argc != 3) {
    PrintError("lists check: expected one FILE");
    return 1;
  }
  std::string text, error;
  if (!ReadWhole(argv[2], &text, &error)) {
    PrintError("lists check: %s", error.c_str());
    return 2;
  }
  const ListSummary s = lists::CheckList(argv[2], text);
  std::vector<std::string_view> lines;
  for (std::size_t at = 0; at <= text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    at = end + 1;
  }
  for (const lists::LineReport& r : s.problems) {
    std::string_view line = lines[static_cast<std::size_t>(r.line - 1)];
    if (line.size() > 200) line = line.substr(0, 200);
    std::printf("line %d: %s, %s: %s\n", r.line,
                r.kind == lists::LineKind::kBad ? "bad" : "skipped", r.reason.c_str(),
                Quote(line).c_str());
  }
  std::printf("%d network rules, %d hiding rules, %d skipped, %d bad, %d comments", s.network,
              s.hiding, s.skipped, s.bad, s.comments);
  if (s.expires_hours > 0) std::printf("; expires after %d hours", s.expires_hours);
  std::printf("\n");
  if (!s.LooksLikeAList()) {
    PrintError("lists check: %s is not a filter list: %s", argv[2], Problem(s).c_str());
    return 1;
  }
  return s.bad > 0 ? 1 : 0;
}

std::string Answer(const Decision& d) {
  switch (d.kind) {
    case Decision::kBlock:
      return "block\t" + std::string(d.rule);
    case Decision::kAllow:
      return "allow\t" + std::string(d.rule);
    case Decision::kNone:
      break;
  }
  return "none";
}

int Match(int argc, char** argv) {
  std::vector<std::string> files, urls;
  std::string source;
  lists::RequestType type = lists::RequestType::kOther;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--list" || arg == "--source" || arg == "--type") && i + 1 < argc) {
      const std::string value = argv[++i];
      if (arg == "--list") files.push_back(value);
      if (arg == "--source") source = value;
      if (arg == "--type" &&
          (!lists::ParseRequestType(value, &type) || type == lists::RequestType::kPopup)) {
        PrintError("lists match: '%s' is not a request type", value.c_str());
        return 1;
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      PrintError("lists match: unknown option '%s'", arg.c_str());
      return 1;
    } else {
      urls.push_back(arg);
    }
  }
  if (urls.empty()) {
    PrintError("lists match: expected URL... or -");
    return 1;
  }
  std::vector<lists::ListText> texts;
  if (files.empty()) {
    for (const std::string& name : ListNames()) files.push_back(ListFile(name));
  }
  for (const std::string& file : files) {
    std::string text, error;
    if (!ReadWhole(file, &text, &error)) {
      PrintError("lists match: %s", error.c_str());
      return 2;
    }
    texts.push_back({fs::path(file).stem().string(), std::move(text)});
  }
  const auto engine = Engine::Build(std::move(texts));
  std::string out;
  for (const std::string& url : urls) {
    if (url != "-") {
      out += Answer(engine->Match(url, source, type)) + "\n";
      continue;
    }
    std::string line;
    while (std::getline(std::cin, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const std::size_t tab1 = line.find('\t');
      const std::size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
      const std::string u = line.substr(0, tab1);
      const std::string s =
          tab1 == std::string::npos ? "" : line.substr(tab1 + 1, tab2 - tab1 - 1);
      lists::RequestType t = lists::RequestType::kOther;
      if (tab2 != std::string::npos && !lists::ParseRequestType(line.substr(tab2 + 1), &t)) {
        t = lists::RequestType::kOther;
      }
      out += Answer(engine->Match(u, s, t)) + "\n";
      if (out.size() > 65536) {
        std::fwrite(out.data(), 1, out.size(), stdout);
        out.clear();
      }
    }
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

}  // namespace

int RunLists(int argc, char** argv) {
  if (WantsHelp(argc, argv)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  const std::string verb = argc > 1 ? argv[1] : "";
  if (verb == "add") return Add(argc, argv);
  if (verb == "remove") return Remove(argc, argv);
  if (verb == "list" && argc == 2) return List();
  if (verb == "update") return Update(argc, argv);
  if (verb == "check") return Check(argc, argv);
  if (verb == "match") return Match(argc, argv);
  PrintError("lists: expected add, remove, list, update, check or match (try 'velquor lists --help')");
  return 1;
}

}  // namespace velquor::host
