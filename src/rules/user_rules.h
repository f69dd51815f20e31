// The user rules file, "MYRULES.TXT" in the installation directory: each
// valid line adds one keyword rule to the presence or the occurrence keyword
// list. Lines are read in chunks of at most 100 bytes; a line ends at the
// first LF of its chunk, or at its first CR when the chunk holds no LF, and a
// longer line is cut after 100 bytes, the byte after them skipped. A rule
// line is "marker,score,keyword" with the marker "1" (presence list) or "N"
// (occurrence list). Reading stops when the position reaches the file's
// length minus 5, so a line that begins in the last five bytes is never read.
//
// Callers: start-up (LoadAllRules, with the path of its setting) and `velquor rules check`, which
// watches the same load through a RuleFileObserver, so that the checker reports what the loader
// does rather than what a second parser thinks.
//
// Threading: the load writes the process-wide keyword lists and must run
// while nothing reads them (start-up, or a single-threaded host). Nothing
// here reports an error to the caller; a bad file or line is passed over.
#ifndef VELQUOR_RULES_USER_RULES_H_
#define VELQUOR_RULES_USER_RULES_H_

#include <cstdint>
#include <string>

#include "platform/files.h"

namespace velquor {

// Longest line the reader takes before cutting it.
inline constexpr int kRuleLineChunk = 100;

enum class RuleListKind { kPresence, kOccurrence };

// One line as ReadRuleLine took it from the file.
struct RuleLine {
  std::string text;        // the line without its line end, not yet trimmed
  uint64_t start = 0;      // offset of the line's first byte
  uint64_t next = 0;       // offset where the next line begins
  bool cut = false;        // 100 bytes without a line end: byte 101 skipped
  int skipped_byte = -1;   // that byte (0-255) when the file holds it, else -1
  bool zero_byte = false;  // a zero byte ended the text
  std::string consumed;    // the file's bytes from start to next, as far as read
};

enum class RuleLineStatus {
  kRead,       // a line was read and the file set to the next one
  kEndOfFile,  // nothing left to read at the position (the file shrank)
  kFault,      // the file could not be read or positioned
};

// Reads the line at the file's current position and sets the file to the
// start of the next line; a zero byte at the start of a short rest is passed
// over, so every read advances. On kEndOfFile or kFault `*line` is
// unspecified and the position is wherever the failure left it.
RuleLineStatus ReadRuleLine(HANDLE file, RuleLine* line);

// The same, handing out only the text: "" at the end or on a failure.
std::string ReadRuleLine(HANDLE file);

// Field `n` (from 0) of `text` split at `separator`: the text before the
// first separator for 0, between the n-th separator and the next (or the
// end) otherwise; "" when there are fewer than n separators or n < 0.
std::string GetField(const std::string& text, int n, char separator);

// What the loader did with one line of the file.
struct RuleLineReport {
  enum class Outcome {
    kBlank,    // nothing but white space
    kComment,  // begins with "//"
    kAdded,    // a rule was appended to `list`
    kIgnored,  // see `reason`
    kNotRead,  // begins in the last five bytes of the file
  };
  enum class Reason {
    kNone,
    kNoMarker,      // does not begin with "1" or "N"
    kBadMarker,     // the marker field is not exactly "1" or "N"
    kZeroScore,     // the score is 0 or has no digits
    kEmptyKeyword,  // the keyword field is empty
    kListFull,      // `list` already holds its 1000 rules
  };

  int line_number = 0;  // physical line of the file (from 1) where it begins
  uint64_t offset = 0;  // byte offset where it begins
  std::string text;     // the line as read, white space trimmed
  Outcome outcome = Outcome::kBlank;
  Reason reason = Reason::kNone;
  std::string marker;                           // trimmed marker field (rule candidates)
  RuleListKind list = RuleListKind::kPresence;  // kAdded and kListFull
  std::string keyword;                          // upper-cased, trimmed keyword (rule candidates)
  int32_t score = 0;                            // the score read (rule candidates)
  bool cut = false;                             // longer than 100 bytes: byte 101 skipped
  int skipped_byte = -1;                        // that byte, or -1 when the file ended there
  bool zero_byte = false;                       // a zero byte ended the line's text
};

// Why a load read nothing or stopped early. The rules added before stay.
enum class RuleFileProblem {
  kPlaceholderPath,  // the path contains "%MAINDIR%": no file is read
  kOpenFailed,       // missing, not a regular file, or not readable
  kSizeFailed,       // the file's length could not be taken
  kReadFailed,       // a read or a positioning failed
  kFileShrank,       // the file ended before the length taken at the start
};

// Watches a load. Calls arrive on the loading thread, in file order.
class RuleFileObserver {
 public:
  // Every line the loader reads, blank ones included, and every non-blank
  // line of the last five bytes (Outcome::kNotRead).
  virtual void OnLine(const RuleLineReport& report) = 0;
  // The load ended for `problem`; `error` is the platform's last error (0 if
  // none) and `offset` the position where it happened.
  virtual void OnProblem(RuleFileProblem problem, DWORD error, uint64_t offset) = 0;

 protected:
  ~RuleFileObserver() = default;
};

// Empties both keyword lists, then appends the rules of the file at `path`
// (`\` or `/` separators) in file order, without duplicate checks and at most
// 1000 per list. A path with "%MAINDIR%", a missing or unreadable file, or one
// shorter than five bytes leaves both lists empty; a failing read ends the
// load and keeps what was added. `observer` may be null.
void LoadUserRules(const std::string& path, RuleFileObserver* observer);
void LoadUserRules(const std::string& path);

// The rules path of an InstallDir value: "" when the value is empty or
// contains "%MAINDIR%"; otherwise the value, a backslash unless it already
// ends in one, and "MYRULES.TXT".
std::string RulesPathForInstallDir(const std::string& install_dir);

// Fills the keyword lists as start-up does: empties them, loads the user
// rules file at `rules_path` unless it is empty (callers pass the
// RulesPathForInstallDir of their "InstallDir" setting), then adds the
// built-in rules (a user rule keeps its place over a built-in one).
void LoadAllRules(const std::string& rules_path);

}  // namespace velquor

#endif  // VELQUOR_RULES_USER_RULES_H_
