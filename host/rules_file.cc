#include "rules_file.h"

#include "cli.h"
#include "platform/files.h"
#include "rules/user_rules.h"
#include "settings/store.h"

namespace velquor::host {

RulesFileState RulesFileAt(const std::string& path) {
  RulesFileState state;
  state.path = path;
  // Opened through the library's own file access, so that a backslash and
  // a name in another letter case are found as the library finds them.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    state.kind = RulesFileState::Kind::kMissing;
    state.error = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                      ? "it does not exist"
                      : DescribeFileError(error);
    return state;
  }
  DWORD high = 0;
  const DWORD low = GetFileSize(file, &high);
  CloseHandle(file);
  state.size = (static_cast<uint64_t>(high) << 32) | low;
  state.kind = state.size == 0 ? RulesFileState::Kind::kEmpty : RulesFileState::Kind::kPresent;
  return state;
}

RulesFileState FindRulesFile() {
  const std::string install_dir = ReadTextSetting(kInstallDir, "");
  const std::string path = RulesPathForInstallDir(install_dir);
  RulesFileState state;
  if (path.empty()) {
    state.kind = install_dir.find_first_not_of(" \t\r\n\v\f") == std::string::npos
                     ? RulesFileState::Kind::kNoInstallDir
                     : RulesFileState::Kind::kPlaceholder;
  } else {
    state = RulesFileAt(path);
  }
  state.install_dir = install_dir;
  return state;
}

std::string DescribeMissingRules(const RulesFileState& state) {
  const std::string how =
      "put your rules in DIR/MYRULES.TXT and run 'velquor config set InstallDir DIR' "
      "('velquor install' sets it to the profile directory)";
  switch (state.kind) {
    case RulesFileState::Kind::kNoInstallDir:
      return "the setting InstallDir is empty, so no rules file is read; " + how;
    case RulesFileState::Kind::kPlaceholder:
      return "the setting InstallDir is '" + state.install_dir +
             "', which contains %MAINDIR% and so names no directory: no rules file is read; " + how;
    case RulesFileState::Kind::kMissing:
      return "the rules file " + ShellPath(state.path) + " cannot be read (" + state.error +
             "); write it with one rule per line, such as 1,50,SPONSORED";
    case RulesFileState::Kind::kEmpty:
      return "the rules file " + ShellPath(state.path) +
             " is empty: write one rule per line, such as 1,50,SPONSORED";
    case RulesFileState::Kind::kPresent:
      break;
  }
  return "";
}

std::string DescribeUserRules() {
  const RulesFileState state = FindRulesFile();
  if (state.kind != RulesFileState::Kind::kPresent) return "none: " + DescribeMissingRules(state);
  struct Counter : RuleFileObserver {
    int added = 0;
    int ignored = 0;
    void OnLine(const RuleLineReport& r) override {
      if (r.outcome == RuleLineReport::Outcome::kAdded) ++added;
      if (r.outcome == RuleLineReport::Outcome::kIgnored ||
          r.outcome == RuleLineReport::Outcome::kNotRead) {
        ++ignored;
      }
    }
    void OnProblem(RuleFileProblem, DWORD, uint64_t) override {}
  } counter;
  LoadUserRules(state.path, &counter);
  std::string text = ShellPath(state.path) + ": " + std::to_string(counter.added) +
                     (counter.added == 1 ? " rule" : " rules");
  if (counter.ignored > 0) {
    text += ", " + std::to_string(counter.ignored) + (counter.ignored == 1 ? " line" : " lines") +
            " ignored (see 'velquor rules check')";
  }
  return text;
}

}  // namespace velquor::host
