#include "rules/keyword_rules.h"

namespace velquor {

void KeywordRuleList::clear() {}
void KeywordRuleList::append(std::string_view, int32_t) {}
bool KeywordRuleList::contains(std::string_view) const { return false; }

namespace {
constinit KeywordRuleList presence_rules;
constinit KeywordRuleList occurrence_rules;
}  // namespace

KeywordRuleList& PresenceRules() { return presence_rules; }
KeywordRuleList& OccurrenceRules() { return occurrence_rules; }
void AddPresenceRule(std::string_view, int32_t) {}
void AddOccurrenceRule(std::string_view, int32_t) {}
void AddBuiltInRules() {}

}  // namespace velquor
