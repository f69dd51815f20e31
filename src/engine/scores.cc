#include "engine/scores.h"

#include <cstddef>
#include <string_view>

#include "engine/keyword_matcher.h"
#include "rules/keyword_rules.h"

namespace velquor {

namespace {

// Scores are summed in unsigned arithmetic, which wraps like the signed
// 32-bit two's-complement sums the heuristic is defined by.
uint32_t Bits(int32_t value) { return static_cast<uint32_t>(value); }
int32_t Signed(uint32_t bits) { return static_cast<int32_t>(bits); }

int64_t Distance(int32_t value, int32_t size) {
  const int64_t d = static_cast<int64_t>(value) - size;
  return d < 0 ? -d : d;
}

std::string PairName(const WordPair& pair) {
  std::string name(pair.first);
  name += '+';
  name.append(pair.second);
  return name;
}

void AddHit(std::vector<KeywordHit>* hits, KeywordHit::Kind kind, std::string_view keyword,
            int32_t occurrences, uint32_t contribution) {
  hits->push_back(KeywordHit{kind, std::string(keyword), occurrences, Signed(contribution)});
}

// The sum over both rule lists and the word pairs, given each keyword's
// non-overlapping occurrence count. Both implementations end here, so they
// differ only in how they count.
template <typename CountOf>
int32_t SumRules(const CountOf& count_of, std::vector<KeywordHit>* hits) {
  uint32_t sum = 0;
  const KeywordRuleList& presence = PresenceRules();
  for (int i = 0; i < presence.count(); ++i) {
    const KeywordRule& rule = presence.at(i);
    const int32_t n = count_of(rule.text());
    if (n == 0) continue;
    sum += Bits(rule.score);
    if (hits) AddHit(hits, KeywordHit::kPresence, rule.text(), n, Bits(rule.score));
  }
  const KeywordRuleList& occurrence = OccurrenceRules();
  for (int i = 0; i < occurrence.count(); ++i) {
    const KeywordRule& rule = occurrence.at(i);
    const int32_t n = count_of(rule.text());
    if (n == 0) continue;
    const uint32_t part = Bits(rule.score) * static_cast<uint32_t>(n);
    sum += part;
    if (hits) AddHit(hits, KeywordHit::kOccurrence, rule.text(), n, part);
  }
  for (const WordPair& pair : kWordPairs) {
    if (count_of(pair.first) == 0 || count_of(pair.second) == 0) continue;
    sum += Bits(kPairBonus);
    if (hits) {
      AddHit(hits, KeywordHit::kWordPair, PairName(pair), 1, Bits(kPairBonus));
    }
  }
  return Signed(sum);
}

int32_t CountIn(std::string_view text, std::string_view keyword) {
  if (keyword.empty()) return 0;
  int32_t count = 0;
  size_t from = 0;
  for (;;) {
    const size_t found = text.find(keyword, from);
    if (found == std::string_view::npos) break;
    ++count;
    from = found + keyword.size();
  }
  return count;
}

}  // namespace

int32_t SizeScore(int32_t width, int32_t height) {
  const int64_t w468 = Distance(width, 468);
  const int64_t w440 = Distance(width, 440);
  const int64_t w88 = Distance(width, 88);
  const int64_t w100 = Distance(width, 100);
  const int64_t w120 = Distance(width, 120);

  enum HeightRule { kA, kB, kC, kD, kE, kF, kG };
  int32_t points;
  HeightRule rule;
  if (w468 == 0) {
    points = 50, rule = kA;
  } else if (w468 <= 4) {
    points = 40, rule = kA;
  } else if (w468 <= 8) {
    points = 30, rule = kA;
  } else if (w468 <= 12) {
    points = 25, rule = kA;
  } else if (w440 == 0) {
    points = 45, rule = kB;
  } else if (w440 <= 4) {
    points = 30, rule = kB;
  } else if (width == 234) {
    points = 45, rule = kC;
  } else if (w88 == 0) {
    points = 49, rule = kD;
  } else if (w88 <= 2) {
    points = 40, rule = kD;
  } else if (w88 <= 4) {
    points = 30, rule = kD;
  } else if (w100 == 0) {
    points = 45, rule = kE;
  } else if (w100 <= 2) {
    points = 40, rule = kE;
  } else if (w100 <= 4) {
    points = 30, rule = kE;
  } else if (w120 == 0) {
    points = 45, rule = kF;
  } else if (w120 <= 2) {
    points = 40, rule = kF;
  } else {
    points = 0, rule = kG;
  }

  const int64_t h60 = Distance(height, 60);
  const int64_t h40 = Distance(height, 40);
  const int64_t h31 = Distance(height, 31);
  const int64_t h45 = Distance(height, 45);
  switch (rule) {
    case kA:
      return points + (h60 == 0 ? 50 : h60 <= 2 ? 40 : h60 <= 4 ? 30 : h60 <= 9 ? 25 : 0);
    case kB:
      return points + (h40 == 0 ? 45 : h40 <= 2 ? 30 : 0);
    case kC:
      return points + (height == 60 ? 45 : 0);
    case kD:
      return points + (h31 == 0 ? 49 : h31 <= 2 ? 40 : h31 <= 4 ? 30 : 0);
    case kE:
      if (height == 50) return points + 45;
      return points + (h45 == 0 ? 45 : h45 <= 2 ? 40 : h45 <= 4 ? 30 : 0);
    case kF:
      return points + (h60 == 0 ? 45 : h60 <= 2 ? 40 : 0);
    case kG:
      break;
  }
  switch (height) {
    case 31:
    case 45:
      return 45;
    case 60:
      return 50;
    default:
      return 0;
  }
}

int32_t CountOccurrences(const std::string& text, const std::string& keyword) {
  return CountIn(text, keyword);
}

int32_t KeywordScore(const std::string& judged) {
  const KeywordMatcher* matcher = CurrentKeywordMatcher();
  if (!matcher) return KeywordScoreByScanning(judged, nullptr);
  return matcher->Score(judged);
}

int32_t KeywordScore(const std::string& judged, std::vector<KeywordHit>* hits) {
  if (hits == nullptr) return KeywordScore(judged);
  const KeywordMatcher* matcher = CurrentKeywordMatcher();
  if (!matcher) return KeywordScoreByScanning(judged, hits);
  const std::vector<int32_t> counts = matcher->Counts(judged);
  return SumRules(
      [matcher, &counts](std::string_view keyword) {
        const int k = matcher->KeywordNumber(keyword);
        return k < 0 ? 0 : counts[k];
      },
      hits);
}

int32_t KeywordScoreByScanning(const std::string& judged, std::vector<KeywordHit>* hits) {
  const std::string_view text(judged);
  return SumRules([text](std::string_view keyword) { return CountIn(text, keyword); }, hits);
}

}  // namespace velquor
