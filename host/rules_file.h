// Where the user rules file is and what state it is in, in the words that
// `velquor rules check` and `velquor proxy` tell the user. The library finds
// the file as "InstallDir" + "\MYRULES.TXT" and says nothing when it is not
// there; these say what is missing and how to set it. Single-threaded use.
#ifndef VELQUOR_HOST_RULES_FILE_H_
#define VELQUOR_HOST_RULES_FILE_H_

#include <cstdint>
#include <string>

namespace velquor::host {

struct RulesFileState {
  enum class Kind {
    kNoInstallDir,  // the setting InstallDir is empty or not stored
    kPlaceholder,   // InstallDir contains %MAINDIR%: no directory set
    kMissing,       // the file cannot be opened (`error` says why)
    kEmpty,         // the file holds no bytes
    kPresent,       // the file is there and holds bytes
  };
  Kind kind = Kind::kNoInstallDir;
  std::string install_dir;  // the setting as stored
  std::string path;         // the rules path as the library forms it ("" if none)
  std::string error;        // kMissing: the reason the file cannot be opened
  uint64_t size = 0;        // kPresent: its length in bytes
};

// The state of the rules file that the library reads at start-up.
RulesFileState FindRulesFile();

// The state of the file at `path` (which is then taken as set).
RulesFileState RulesFileAt(const std::string& path);

// One sentence on what is missing and how to set it, for kNoInstallDir,
// kPlaceholder, kMissing and kEmpty: "the setting InstallDir is empty, so no
// rules file is read; put rules in DIR/MYRULES.TXT and run 'velquor config
// set InstallDir DIR'". "" for kPresent.
std::string DescribeMissingRules(const RulesFileState& state);

// What a load of the library takes from the rules file now, for a log line:
// "/DIR/MYRULES.TXT: 3 rules" (counted with the library's loader), or
// "none: " and DescribeMissingRules. Uses this program's own keyword lists.
std::string DescribeUserRules();

}  // namespace velquor::host

#endif  // VELQUOR_HOST_RULES_FILE_H_
