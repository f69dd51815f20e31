#include "rules/keyword_rules.h"

#include <cstring>

#include "platform/ascii.h"

namespace velquor {

namespace {

struct BuiltInRule {
  std::string_view keyword;
  int32_t score;
};

constexpr BuiltInRule kBuiltInPresenceRules[] = {
    {"REDIR", 10},     {"GET", 2},        {"BUTTONAD", 40},  {"BANNERAD", 40}, {"ADBUTTON", 40},
    {"ADBANNER", 40},  {"&AD=", 85},      {"?AD=", 85},      {"&ADID=", 85},   {"?ADID=", 85},
    {"&REDIRECT", 20}, {"?REDIRECT", 20}, {"ADVERTIS", 20},  {"PARTNER", 20},  {"/PROMO/", 50},
    {"HTTP://", 5},    {"FTP://", -50},   {"DOWNLOAD", -30},
};

constexpr BuiltInRule kBuiltInOccurrenceRules[] = {
    {"PROMO", 30}, {"/AD", 20},    {"AD/", 20},      {"ADS/", 20},    {"/AD/", 65}, {"\"AD/", 65},
    {"/ADS/", 65}, {"/ADS.", 65},  {"/AD.", 65},     {"\"ADS/", 65},  {"BUY", 10},  {"LINK", 3},
    {"ADV", 3},    {"BANNER", 10}, {"BANNERS/", 10}, {"SPONSOR", 15},
};

static_assert(sizeof(kBuiltInPresenceRules) / sizeof(BuiltInRule) == 18);
static_assert(sizeof(kBuiltInOccurrenceRules) / sizeof(BuiltInRule) == 16);

// Both lists live in the library's static data, zero-filled and ready before
// any start-up code runs.
constinit KeywordRuleList presence_rules;
constinit KeywordRuleList occurrence_rules;

void AddUnlessPresent(KeywordRuleList& list, std::string_view keyword, int32_t score) {
  if (list.contains(keyword)) return;
  list.append(keyword, score);
}

}  // namespace

void KeywordRuleList::clear() {
  count_ = 0;
  ++generation_;
}

void KeywordRuleList::append(std::string_view keyword, int32_t score) {
  if (count_ >= kCapacity || keyword.empty() ||
      keyword.size() > static_cast<size_t>(kMaxKeywordLength)) {
    return;
  }
  KeywordRule& rule = rules_[count_];
  std::memcpy(rule.keyword, keyword.data(), keyword.size());
  rule.keyword[keyword.size()] = '\0';
  rule.length = static_cast<uint32_t>(keyword.size());
  rule.score = score;
  ++count_;
  ++generation_;
}

bool KeywordRuleList::contains(std::string_view keyword) const {
  for (int i = 0; i < count_; ++i) {
    if (AsciiEqualsNoCase(rules_[i].text(), keyword)) return true;
  }
  return false;
}

KeywordRuleList& PresenceRules() { return presence_rules; }
KeywordRuleList& OccurrenceRules() { return occurrence_rules; }

void AddPresenceRule(std::string_view keyword, int32_t score) {
  AddUnlessPresent(presence_rules, keyword, score);
}

void AddOccurrenceRule(std::string_view keyword, int32_t score) {
  AddUnlessPresent(occurrence_rules, keyword, score);
}

void AddBuiltInRules() {
  for (const BuiltInRule& rule : kBuiltInPresenceRules) {
    AddPresenceRule(rule.keyword, rule.score);
  }
  for (const BuiltInRule& rule : kBuiltInOccurrenceRules) {
    AddOccurrenceRule(rule.keyword, rule.score);
  }
}

}  // namespace velquor
