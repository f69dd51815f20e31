// Fuzz target: the user rules file loader, given the input as MYRULES.TXT.
//
// Properties beyond no crash and no hang: the rules in each list are exactly
// the lines the loader reported as added, in order and with the same keyword
// and score (what `velquor rules check` shows is what the filter uses); each
// rule is a non-empty upper-case keyword of at most 100 bytes with a nonzero
// score; the lists hold at most 1000 rules; lines are reported in file order;
// and a load without an observer gives the same lists.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "rules/keyword_rules.h"
#include "rules/user_rules.h"

namespace velquor::fuzz {
namespace {

struct Rule {
  std::string keyword;
  int32_t score;
  bool operator==(const Rule&) const = default;
};

class Recorder final : public RuleFileObserver {
 public:
  void OnLine(const RuleLineReport& report) override {
    if (report.offset < last_offset_ || (seen_ && report.offset == last_offset_)) {
      Fail("lines reported out of file order", std::to_string(report.offset));
    }
    if (report.line_number < last_line_) Fail("line numbers went back");
    seen_ = true;
    last_offset_ = report.offset;
    last_line_ = report.line_number;
    if (report.outcome == RuleLineReport::Outcome::kAdded) {
      (report.list == RuleListKind::kPresence ? presence : occurrence)
          .push_back({report.keyword, report.score});
    }
  }
  void OnProblem(RuleFileProblem, DWORD, uint64_t) override {}

  std::vector<Rule> presence, occurrence;

 private:
  bool seen_ = false;
  uint64_t last_offset_ = 0;
  int last_line_ = 0;
};

std::vector<Rule> Contents(const KeywordRuleList& list) {
  std::vector<Rule> out;
  for (int i = 0; i < list.count(); ++i) {
    out.push_back({std::string(list.at(i).text()), list.at(i).score});
  }
  return out;
}

void CheckRules(const std::vector<Rule>& rules) {
  if (rules.size() > static_cast<std::size_t>(KeywordRuleList::kCapacity)) {
    Fail("a list holds more than its capacity", std::to_string(rules.size()));
  }
  for (const Rule& r : rules) {
    if (r.keyword.empty() || r.keyword.size() > static_cast<std::size_t>(kMaxKeywordLength)) {
      Fail("a keyword of a bad length", std::to_string(r.keyword.size()));
    }
    for (char c : r.keyword) {
      if (c >= 'a' && c <= 'z') Fail("a keyword that is not upper-cased", r.keyword);
    }
    if (r.score == 0) Fail("a rule with score 0", r.keyword);
  }
}

// One input through the target's properties.
void TestInput(const uint8_t* data, std::size_t size) {
  const std::string path = UsePrivateProfile() + "/MYRULES.TXT";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) Fail("cannot write the rules file", path);
  if (size > 0 && std::fwrite(data, 1, size, f) != size) Fail("cannot write the rules file", path);
  std::fclose(f);

  Recorder recorder;
  LoadUserRules(path, &recorder);
  const std::vector<Rule> presence = Contents(PresenceRules());
  const std::vector<Rule> occurrence = Contents(OccurrenceRules());
  CheckRules(presence);
  CheckRules(occurrence);
  if (presence != recorder.presence || occurrence != recorder.occurrence) {
    Fail("the lists differ from the lines reported as added",
         "presence " + std::to_string(presence.size()) + " vs " +
             std::to_string(recorder.presence.size()) + ", occurrence " +
             std::to_string(occurrence.size()) + " vs " +
             std::to_string(recorder.occurrence.size()));
  }

  LoadUserRules(path);
  if (Contents(PresenceRules()) != presence || Contents(OccurrenceRules()) != occurrence) {
    Fail("a load without an observer gave other rules");
  }
}

}  // namespace
}  // namespace velquor::fuzz

VELQUOR_FUZZ_TARGET_IN_PRIVATE_PROFILE(velquor::fuzz::TestInput)
