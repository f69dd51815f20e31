// The two process-wide keyword rule lists and the built-in rules. A rule pairs
// an upper-case keyword with a signed score; the keyword score adds a presence
// rule's score once when its keyword occurs in a segment, and an occurrence
// rule's score once per non-overlapping occurrence.
//
// Threading: the lists are filled on the loading thread during start-up (the
// user rules file first, then the built-in rules) and only read afterwards, by
// filter objects on any thread, without a lock. Each list is a fixed store set
// aside with the library's static data; adding a rule never allocates.
#ifndef VELQUOR_RULES_KEYWORD_RULES_H_
#define VELQUOR_RULES_KEYWORD_RULES_H_

#include <cstdint>
#include <string_view>

namespace velquor {

// A rules-file line holds at most 100 bytes, so no keyword is longer.
inline constexpr int kMaxKeywordLength = 100;

struct KeywordRule {
  char keyword[kMaxKeywordLength + 1];  // zero-terminated copy, may hold zeros
  uint32_t length;
  int32_t score;

  // The keyword's bytes (exactly `length` of them).
  std::string_view text() const { return std::string_view(keyword, length); }
};

// An ordered list of at most kCapacity keyword rules in order of addition.
class KeywordRuleList {
 public:
  static constexpr int kCapacity = 1000;

  constexpr KeywordRuleList() : rules_{}, count_(0), generation_(0) {}
  KeywordRuleList(const KeywordRuleList&) = delete;
  KeywordRuleList& operator=(const KeywordRuleList&) = delete;

  // Number of rules held, 0 to kCapacity.
  int count() const { return count_; }

  // The rule at `index`, 0 <= index < count().
  const KeywordRule& at(int index) const { return rules_[index]; }

  // Makes the list empty.
  void clear();

  // Adds the rule at the end without checking for duplicates. Ignored when the
  // list is full, or the keyword is empty or longer than kMaxKeywordLength.
  void append(std::string_view keyword, int32_t score);

  // Whether some rule's keyword equals `keyword`, ASCII letters compared
  // without regard to case and every other byte exactly.
  bool contains(std::string_view keyword) const;

  // A number that changes with every change of the list, so that a matcher
  // built from the list can tell when it must be rebuilt.
  uint64_t generation() const { return generation_; }

 private:
  KeywordRule rules_[kCapacity];
  int count_;
  uint64_t generation_;
};

// The presence keyword list (a rule scores once when its keyword occurs).
KeywordRuleList& PresenceRules();
// The occurrence keyword list (a rule scores once per occurrence).
KeywordRuleList& OccurrenceRules();

// Add a rule to the presence (occurrence) list unless that list already
// contains the keyword (ignoring case) or is full; the rule already present
// keeps its score.
void AddPresenceRule(std::string_view keyword, int32_t score);
void AddOccurrenceRule(std::string_view keyword, int32_t score);

// Adds the 18 built-in presence rules and then the 16 built-in occurrence
// rules through AddPresenceRule and AddOccurrenceRule, in table order. Runs
// after the user rules are loaded, so a user rule overrides a built-in one.
void AddBuiltInRules();

}  // namespace velquor

#endif  // VELQUOR_RULES_KEYWORD_RULES_H_
