// `velquor rules check [FILE]`: reads a user rules file through the library's
// own loader, watching every line, and tells the user what becomes of it.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "platform/registry.h"
#include "rules/keyword_rules.h"
#include "rules/user_rules.h"
#include "rules_file.h"
#include "settings/store.h"
#include "text/text_helpers.h"

namespace velquor::host {
namespace {

constexpr char kUsage[] =
    "usage: velquor rules check [FILE]\n"
    "\n"
    "Reads a user rules file exactly as the library reads it at start-up and\n"
    "prints, for each line that is not blank, its line number and what the\n"
    "loader does with it, then a summary and the built-in rules that user rules\n"
    "replace. FILE defaults to MYRULES.TXT in the directory named by the\n"
    "\"InstallDir\" setting; - reads standard input.\n"
    "\n"
    "A rule line is MARKER,SCORE,KEYWORD: MARKER 1 scores the keyword once when\n"
    "it occurs in a link, N once per occurrence; SCORE is a non-zero whole number\n"
    "(negative lowers the score); KEYWORD is matched upper-cased, outer spaces\n"
    "removed. Lines beginning with // are comments. A line holds at most 100\n"
    "bytes; a line that begins in the last five bytes of the file is never read\n"
    "(a short last rule needs a line break after it). A score beyond\n"
    "-2147483648 to 2147483647 counts as the nearest end of that range; the\n"
    "check warns of it.\n"
    "\n"
    "The library reads the file when it is loaded: a browser after a restart,\n"
    "'velquor proxy' for each page started a second or more after the file is\n"
    "saved.\n"
    "\n"
    "exit status: 0 every line that is neither blank nor a comment became a rule\n"
    "as written, 1 some line did not (or lost bytes, or its score is out of\n"
    "range), 2 the file cannot be read or there is none.\n";

// `text` in double quotes, with quotes, backslashes and bytes outside
// printable ASCII escaped, so that the output is plain ASCII on one line.
std::string Quote(const std::string& text) {
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

const char* ListName(RuleListKind list) {
  return list == RuleListKind::kPresence ? "presence" : "occurrence";
}

std::string Plural(int count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

struct Rule {
  std::string keyword;
  int32_t score;
};

std::vector<Rule> Snapshot(const KeywordRuleList& list) {
  std::vector<Rule> rules;
  for (int i = 0; i < list.count(); ++i) {
    rules.push_back({std::string(list.at(i).text()), list.at(i).score});
  }
  return rules;
}

const Rule* Find(const std::vector<Rule>& rules, const std::string& keyword) {
  for (const Rule& rule : rules) {
    if (EqualsNoCase(rule.keyword, keyword)) return &rule;
  }
  return nullptr;
}

// Prints one line per report as the loader reads the file, and keeps what
// the summary and the exit status need.
class CheckPrinter : public RuleFileObserver {
 public:
  void OnLine(const RuleLineReport& r) override {
    using Outcome = RuleLineReport::Outcome;
    if (r.outcome == Outcome::kBlank && !Lost(r)) return;
    std::string line = "line " + std::to_string(r.line_number) + ": ";
    switch (r.outcome) {
      case Outcome::kBlank:
        line += "blank";
        break;
      case Outcome::kComment:
        line += "comment";
        break;
      case Outcome::kAdded:
        line += std::string(ListName(r.list)) + " rule " + Quote(r.keyword) + " score " +
                std::to_string(r.score);
        break;
      case Outcome::kIgnored:
        ++ignored_;
        line += "ignored, " + Reason(r) + ": " + Quote(r.text);
        break;
      case Outcome::kNotRead:
        ++ignored_;
        line += "never read, it begins in the last five bytes of the file: " + Quote(r.text);
        break;
    }
    if (ScoreOutOfRange(r)) {
      ++out_of_range_;
      line += "; warning: the score " + Quote(Trim(GetField(r.text, 1, ','))) +
              " is out of range and counts as " + std::to_string(r.score);
    }
    if (r.zero_byte) {
      line += "; a zero byte ends the line";
    } else if (Lost(r)) {
      line += "; cut after 100 bytes, byte 101 " +
              Quote(std::string(1, static_cast<char>(r.skipped_byte))) + " is lost";
    }
    if (Lost(r)) ++cut_;
    std::printf("%s\n", line.c_str());
  }

  void OnProblem(RuleFileProblem problem, DWORD error, uint64_t offset) override {
    problem_ = problem;
    error_ = error;
    offset_ = offset;
    failed_ = true;
  }

  bool failed() const { return failed_; }
  int ignored() const { return ignored_; }
  int cut() const { return cut_; }
  int out_of_range() const { return out_of_range_; }

  // The reason the load failed, for the error line.
  std::string Failure() const {
    char text[160];
    switch (problem_) {
      case RuleFileProblem::kPlaceholderPath:
        return "the path contains %MAINDIR%, so no rules file is read";
      case RuleFileProblem::kOpenFailed:
        return DescribeFileError(error_);
      case RuleFileProblem::kSizeFailed:
        return std::string("cannot take its length: ") + DescribeFileError(error_);
      case RuleFileProblem::kReadFailed:
        std::snprintf(text, sizeof text, "%s at byte %llu; the rules before it are kept",
                      DescribeFileError(error_), static_cast<unsigned long long>(offset_));
        return text;
      case RuleFileProblem::kFileShrank:
        std::snprintf(text, sizeof text, "the file became shorter while it was read (at byte %llu)",
                      static_cast<unsigned long long>(offset_));
        return text;
    }
    return "cannot be read";
  }

 private:
  // A line cut at 100 bytes loses its 101st byte, unless that byte was just
  // the line end.
  static bool Lost(const RuleLineReport& r) {
    return r.zero_byte ||
           (r.cut && r.skipped_byte >= 0 && r.skipped_byte != '\n' && r.skipped_byte != '\r');
  }

  static std::string Reason(const RuleLineReport& r) {
    using R = RuleLineReport::Reason;
    switch (r.reason) {
      case R::kNoMarker:
        return "it does not begin with the marker 1 or N";
      case R::kBadMarker:
        return "the marker field " + Quote(r.marker) + " is neither 1 nor N";
      case R::kZeroScore:
        return "the score is 0 or has no digits";
      case R::kEmptyKeyword:
        return "the keyword is empty";
      case R::kListFull:
        return std::string("the ") + ListName(r.list) + " list is full (1000 rules)";
      case R::kNone:
        break;
    }
    return "not a rule";
  }

  // A rule candidate whose score digits lie beyond the signed 32-bit range:
  // the loader takes the nearest end of the range instead.
  static bool ScoreOutOfRange(const RuleLineReport& r) {
    if (r.outcome != RuleLineReport::Outcome::kAdded &&
        r.outcome != RuleLineReport::Outcome::kIgnored) {
      return false;
    }
    if (r.outcome == RuleLineReport::Outcome::kIgnored &&
        r.reason != RuleLineReport::Reason::kEmptyKeyword &&
        r.reason != RuleLineReport::Reason::kListFull) {
      return false;
    }
    const std::string field = GetField(r.text, 1, ',');
    std::size_t i = field.find_first_not_of(" \t\n\v\f\r");
    if (i == std::string::npos) return false;
    const bool negative = field[i] == '-';
    if (field[i] == '+' || field[i] == '-') ++i;
    uint64_t value = 0;
    for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i) {
      value = value * 10 + static_cast<uint64_t>(field[i] - '0');
      if (value > 2147483648u) return true;
    }
    return value > (negative ? 2147483648u : 2147483647u);
  }

  static std::string Trim(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\n\v\f\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\n\v\f\r") - first + 1);
  }

  int ignored_ = 0;
  int cut_ = 0;
  int out_of_range_ = 0;
  bool failed_ = false;
  RuleFileProblem problem_ = RuleFileProblem::kOpenFailed;
  DWORD error_ = 0;
  uint64_t offset_ = 0;
};

// Prints which built-in rules of one list the user rules replace or leave
// without room.
void PrintBuiltInEffects(RuleListKind kind, const std::vector<Rule>& user,
                         const std::vector<Rule>& final_rules, const std::vector<Rule>& built_in) {
  int no_room = 0;
  for (const Rule& rule : built_in) {
    if (const Rule* mine = Find(user, rule.keyword)) {
      std::printf("%s rule %s score %d takes the place of the built-in rule of score %d\n",
                  ListName(kind), Quote(mine->keyword).c_str(), mine->score, rule.score);
    } else if (Find(final_rules, rule.keyword) == nullptr) {
      ++no_room;
    }
  }
  if (no_room > 0) {
    std::printf("%s list: no room for %s (the list holds 1000 rules)\n", ListName(kind),
                Plural(no_room, "built-in rule", "built-in rules").c_str());
  }
}

// Checks the rules file at `path`, naming it `shown` in messages.
int Check(const std::string& path, const std::string& shown) {
  CheckPrinter printer;
  LoadUserRules(path, &printer);
  const std::vector<Rule> user_presence = Snapshot(PresenceRules());
  const std::vector<Rule> user_occurrence = Snapshot(OccurrenceRules());

  if (printer.failed() && user_presence.empty() && user_occurrence.empty() &&
      printer.ignored() == 0) {
    PrintError("rules check: %s: %s", shown.c_str(), printer.Failure().c_str());
    return 2;
  }

  AddBuiltInRules();
  const std::vector<Rule> final_presence = Snapshot(PresenceRules());
  const std::vector<Rule> final_occurrence = Snapshot(OccurrenceRules());
  PresenceRules().clear();
  OccurrenceRules().clear();
  AddBuiltInRules();
  const std::vector<Rule> built_in_presence = Snapshot(PresenceRules());
  const std::vector<Rule> built_in_occurrence = Snapshot(OccurrenceRules());

  std::string summary =
      Plural(static_cast<int>(user_presence.size()), "presence rule", "presence rules") + " and " +
      Plural(static_cast<int>(user_occurrence.size()), "occurrence rule", "occurrence rules") +
      " added; " + Plural(printer.ignored(), "line ignored", "lines ignored");
  if (printer.cut() > 0) {
    summary += ", " + Plural(printer.cut(), "line with lost bytes", "lines with lost bytes");
  }
  if (printer.out_of_range() > 0) {
    summary += ", " + Plural(printer.out_of_range(), "score out of range", "scores out of range");
  }
  std::printf("%s\n", summary.c_str());
  PrintBuiltInEffects(RuleListKind::kPresence, user_presence, final_presence, built_in_presence);
  PrintBuiltInEffects(RuleListKind::kOccurrence, user_occurrence, final_occurrence,
                      built_in_occurrence);
  std::fflush(stdout);

  if (printer.failed()) {
    PrintError("rules check: %s: %s", shown.c_str(), printer.Failure().c_str());
    return 2;
  }
  if (user_presence.empty() && user_occurrence.empty() && printer.ignored() == 0) {
    PrintError("rules check: %s: %s", shown.c_str(),
               RulesFileAt(path).kind == RulesFileState::Kind::kEmpty
                   ? "the file is empty, so it adds no rules"
                   : "the file holds only blank lines and comments, so it adds no rules");
  }
  return printer.ignored() == 0 && printer.cut() == 0 && printer.out_of_range() == 0 ? 0 : 1;
}

// Checks standard input: the loader reads a file by name, so the bytes go
// to a private temporary file first.
int CheckStandardInput() {
  const char* tmp = std::getenv("TMPDIR");
  std::string path =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/velquor-rules-XXXXXX";
  const int fd = mkstemp(path.data());
  if (fd < 0) {
    PrintError("rules check: cannot make a temporary file in %s: %s",
               path.substr(0, path.rfind('/')).c_str(), std::strerror(errno));
    return 2;
  }
  char buffer[65536];
  bool ok = true;
  for (;;) {
    const std::size_t n = std::fread(buffer, 1, sizeof buffer, stdin);
    if (n > 0 && write(fd, buffer, n) != static_cast<ssize_t>(n)) ok = false;
    if (n < sizeof buffer) break;
  }
  const int read_errno = errno;
  if (std::ferror(stdin)) {
    PrintError("rules check: standard input: %s", std::strerror(read_errno));
    ok = false;
  } else if (!ok) {
    PrintError("rules check: %s: %s", path.c_str(), std::strerror(errno));
  }
  close(fd);
  const int status = ok ? Check(path, "standard input") : 2;
  unlink(path.c_str());
  return status;
}

}  // namespace

int RunRules(int argc, char** argv) {
  if (WantsHelp(argc, argv)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::vector<std::string> args;
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    if (!options_end && std::strcmp(argv[i], "--") == 0) {
      options_end = true;
    } else if (!options_end && argv[i][0] == '-' && argv[i][1] != '\0') {
      PrintError("rules: unknown option '%s' (try 'velquor rules --help')", argv[i]);
      return 1;
    } else {
      args.push_back(argv[i]);
    }
  }
  if (args.empty() || args[0] != "check" || args.size() > 2) {
    PrintError("rules: %s (try 'velquor rules --help')",
               args.empty()         ? "missing command 'check'"
               : args[0] != "check" ? "unknown command; the only one is 'check'"
                                    : "too many arguments");
    return 1;
  }
  std::string path;
  if (args.size() == 2 && args[1] == "-") {
    return CheckStandardInput();
  } else if (args.size() == 2) {
    path = args[1];
  } else {
    const RulesFileState state = FindRulesFile();
    if (state.kind != RulesFileState::Kind::kPresent) {
      const std::string problem = StoreProblem();
      PrintError("rules check: %s%s%s (or give FILE)", DescribeMissingRules(state).c_str(),
                 problem.empty() ? "" : "; ", problem.c_str());
      return 2;
    }
    path = state.path;
    std::printf("rules file: %s\n", ShellPath(path).c_str());
  }
  return Check(path, ShellPath(path));
}

}  // namespace velquor::host
