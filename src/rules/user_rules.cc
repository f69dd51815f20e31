#include "rules/user_rules.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "rules/keyword_rules.h"
#include "text/text_helpers.h"

namespace velquor {
namespace {

// A line that begins at or after this distance before the end is never read.
constexpr uint64_t kUnreadTail = 5;

bool Seek(HANDLE file, uint64_t position) {
  LONG high = static_cast<LONG>(static_cast<uint32_t>(position >> 32));
  const DWORD low =
      SetFilePointer(file, static_cast<LONG>(static_cast<uint32_t>(position)), &high, FILE_BEGIN);
  return !(low == INVALID_SET_FILE_POINTER && GetLastError() != 0);
}

// Numbers the file's physical lines as the loader consumes its bytes: LF, CR
// LF and a lone CR each end one line.
class LineCounter {
 public:
  int line() const { return line_; }

  void Consume(const std::string& bytes) {
    for (char c : bytes) {
      if (c == '\n') {
        if (!after_cr_) Next();
        after_cr_ = false;
      } else {
        if (c == '\r') Next();
        after_cr_ = c == '\r';
      }
    }
  }

 private:
  // A file of billions of line ends stops the count rather than overflow it.
  void Next() {
    if (line_ < INT_MAX) ++line_;
  }

  int line_ = 1;
  bool after_cr_ = false;
};

// Steps 2 to 12 of reading one line: classifies the line and appends its
// rule. `report` arrives with the position fields set.
void ApplyLine(const std::string& line, RuleLineReport* report) {
  using Outcome = RuleLineReport::Outcome;
  using Reason = RuleLineReport::Reason;
  report->text = Trim(line);
  const std::string& text = report->text;
  if (text.empty()) {
    report->outcome = Outcome::kBlank;
    return;
  }
  if (StartsWithNoCase(text, "//")) {
    report->outcome = Outcome::kComment;
    return;
  }
  report->outcome = Outcome::kIgnored;
  if (!StartsWithNoCase(text, "1") && !StartsWithNoCase(text, "N")) {
    report->reason = Reason::kNoMarker;
    return;
  }
  report->marker = Trim(GetField(text, 0, ','));
  report->score = ReadDecimal(GetField(text, 1, ','));
  report->keyword = Trim(UpperCase(GetField(text, 2, ',')));
  if (IsEmptyText(report->keyword)) {
    report->reason = Reason::kEmptyKeyword;
    return;
  }
  if (report->score == 0) {
    report->reason = Reason::kZeroScore;
    return;
  }
  const bool presence = EqualsNoCase(report->marker, "1");
  const bool occurrence = !presence && EqualsNoCase(report->marker, "N");
  if (!presence && !occurrence) {
    report->reason = Reason::kBadMarker;
    return;
  }
  KeywordRuleList& list = presence ? PresenceRules() : OccurrenceRules();
  report->list = presence ? RuleListKind::kPresence : RuleListKind::kOccurrence;
  if (list.count() >= KeywordRuleList::kCapacity) {
    report->reason = Reason::kListFull;
    return;
  }
  list.append(report->keyword, report->score);
  report->outcome = Outcome::kAdded;
}

// Tells the observer about the non-blank lines in the bytes that the loader
// leaves unread at the end of the file.
void ReportUnreadTail(HANDLE file, uint64_t position, uint64_t length, LineCounter* counter,
                      RuleFileObserver* observer) {
  std::string tail(static_cast<size_t>(length - position), '\0');
  DWORD got = 0;
  if (!Seek(file, position) ||
      !ReadFile(file, tail.data(), static_cast<DWORD>(tail.size()), &got, nullptr)) {
    observer->OnProblem(RuleFileProblem::kReadFailed, GetLastError(), position);
    return;
  }
  tail.resize(got);
  size_t begin = 0;
  while (begin < tail.size()) {
    size_t end = begin;
    while (end < tail.size() && tail[end] != '\n' && tail[end] != '\r') ++end;
    RuleLineReport report;
    report.line_number = counter->line();
    report.offset = position + begin;
    report.text = Trim(tail.substr(begin, end - begin));
    if (!report.text.empty()) {
      report.outcome = RuleLineReport::Outcome::kNotRead;
      observer->OnLine(report);
    }
    const size_t stop = std::min(end + 1, tail.size());
    counter->Consume(tail.substr(begin, stop - begin));
    begin = stop;
  }
}

}  // namespace

RuleLineStatus ReadRuleLine(HANDLE file, RuleLine* line) {
  LONG high = 0;
  const DWORD low = SetFilePointer(file, 0, &high, FILE_CURRENT);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != 0) return RuleLineStatus::kFault;
  const uint64_t start = (static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | low;

  // One byte beyond the chunk is read as well, only to tell what a cut line
  // loses; the line and the next position depend on the first 100 alone.
  char raw[kRuleLineChunk + 1];
  DWORD got = 0;
  if (!ReadFile(file, raw, sizeof raw, &got, nullptr)) return RuleLineStatus::kFault;
  const size_t n = std::min<size_t>(got, kRuleLineChunk);
  if (n == 0) return RuleLineStatus::kEndOfFile;

  const void* zero = std::memchr(raw, '\0', n);
  const size_t t_length = zero ? static_cast<size_t>(static_cast<const char*>(zero) - raw) : n;
  const std::string_view t(raw, t_length);
  size_t end = t.find('\n');
  if (end == std::string_view::npos) end = t.find('\r');

  line->start = start;
  line->cut = false;
  line->skipped_byte = -1;
  line->zero_byte = t_length < n;
  if (end != std::string_view::npos) {
    line->text.assign(t.substr(0, end));
    line->next = start + end + 1;
  } else if (n == kRuleLineChunk) {
    line->text.assign(t);
    line->next = start + kRuleLineChunk + 1;
    line->cut = true;
    if (got > kRuleLineChunk) line->skipped_byte = static_cast<unsigned char>(raw[kRuleLineChunk]);
  } else {
    line->text.assign(t);
    // Nothing before a zero byte would leave the reader where it stands; it
    // passes over the zero byte instead.
    line->next = start + std::max<size_t>(t_length, 1);
  }
  line->consumed.assign(raw, std::min<uint64_t>(line->next - start, got));
  if (!Seek(file, line->next)) return RuleLineStatus::kFault;
  return RuleLineStatus::kRead;
}

std::string ReadRuleLine(HANDLE file) {
  RuleLine line;
  if (ReadRuleLine(file, &line) != RuleLineStatus::kRead) return std::string();
  return line.text;
}

std::string GetField(const std::string& text, int n, char separator) {
  if (n < 0) return std::string();
  size_t begin = 0;
  for (int k = 0; k < n; ++k) {
    const size_t at = text.find(separator, begin);
    if (at == std::string::npos) return std::string();
    begin = at + 1;
  }
  const size_t end = text.find(separator, begin);
  return text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

void LoadUserRules(const std::string& path, RuleFileObserver* observer) {
  PresenceRules().clear();
  OccurrenceRules().clear();
  if (path.find("%MAINDIR%") != std::string::npos) {
    if (observer) observer->OnProblem(RuleFileProblem::kPlaceholderPath, 0, 0);
    return;
  }
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    if (observer) observer->OnProblem(RuleFileProblem::kOpenFailed, GetLastError(), 0);
    return;
  }
  DWORD high = 0;
  const DWORD low = GetFileSize(file, &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != 0) {
    if (observer) observer->OnProblem(RuleFileProblem::kSizeFailed, GetLastError(), 0);
    CloseHandle(file);
    return;
  }
  const uint64_t length = (static_cast<uint64_t>(high) << 32) | low;

  LineCounter counter;
  uint64_t position = 0;
  if (length >= kUnreadTail) {
    while (position < length - kUnreadTail) {
      // With both lists full no later line can change anything.
      if (observer == nullptr && PresenceRules().count() >= KeywordRuleList::kCapacity &&
          OccurrenceRules().count() >= KeywordRuleList::kCapacity) {
        break;
      }
      RuleLine line;
      const RuleLineStatus status = ReadRuleLine(file, &line);
      if (status != RuleLineStatus::kRead) {
        if (observer) {
          observer->OnProblem(status == RuleLineStatus::kFault ? RuleFileProblem::kReadFailed
                                                               : RuleFileProblem::kFileShrank,
                              status == RuleLineStatus::kFault ? GetLastError() : 0, position);
        }
        CloseHandle(file);
        return;
      }
      RuleLineReport report;
      report.line_number = counter.line();
      report.offset = line.start;
      report.cut = line.cut;
      report.skipped_byte = line.skipped_byte;
      report.zero_byte = line.zero_byte;
      ApplyLine(line.text, &report);
      if (observer) observer->OnLine(report);
      counter.Consume(line.consumed);
      position = line.next;
    }
  }
  if (observer && position < length) {
    ReportUnreadTail(file, position, length, &counter, observer);
  }
  CloseHandle(file);
}

void LoadUserRules(const std::string& path) { LoadUserRules(path, nullptr); }

std::string RulesPathForInstallDir(const std::string& install_dir) {
  if (IsEmptyText(install_dir) || install_dir.find("%MAINDIR%") != std::string::npos) {
    return std::string();
  }
  // Only the backslash counts: a value ending in "/" still gets one.
  std::string path = install_dir;
  if (path.back() != '\\') path += '\\';
  return path + "MYRULES.TXT";
}

void LoadAllRules(const std::string& rules_path) {
  PresenceRules().clear();
  OccurrenceRules().clear();
  if (!rules_path.empty()) LoadUserRules(rules_path);
  AddBuiltInRules();
}

}  // namespace velquor
