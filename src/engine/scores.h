// The size score and the keyword score that both judges add into a segment's
// total. The size score says how closely an image's or applet's size matches
// the standard banner and button sizes; the keyword score applies the two
// keyword rule lists and the fixed word-pair bonuses to a judged copy.
//
// Threading: pure functions of their inputs and of the rule lists, which do
// not change after start-up. The keyword score keeps a matcher built from the
// lists, rebuilt when a list changes; concurrent callers on several threads
// share it safely.
#ifndef VELQUOR_ENGINE_SCORES_H_
#define VELQUOR_ENGINE_SCORES_H_

#include <cstdint>
#include <string>
#include <vector>

namespace velquor {

// 0 to 100: width points of the first matching size row plus the height
// points of that row's height rule. Any int32 width and height are accepted.
int32_t SizeScore(int32_t width, int32_t height);

// Number of non-overlapping occurrences of `keyword` in `text`, each search
// resuming after the end of the previous match; 0 for an empty keyword.
int32_t CountOccurrences(const std::string& text, const std::string& keyword);

// The keyword score of a judged copy: every presence rule whose keyword occurs
// adds its score once, every occurrence rule adds its score times its count,
// and each of the seven word pairs whose words both occur adds 150. Sums and
// products wrap as signed 32-bit two's-complement numbers.
int32_t KeywordScore(const std::string& judged);

// One contribution to a keyword score, for explaining a verdict.
struct KeywordHit {
  enum Kind { kPresence, kOccurrence, kWordPair } kind;
  std::string keyword;  // for a word pair "FIRST+SECOND"
  int32_t occurrences;  // non-overlapping occurrences (1 for a word pair)
  int32_t contribution;
};

// The same sum as KeywordScore(judged). When `hits` is not null, every rule
// that hit is appended to it (presence rules in list order, then occurrence
// rules in list order, then the word pairs in table order).
int32_t KeywordScore(const std::string& judged, std::vector<KeywordHit>* hits);

// The plain implementation of KeywordScore: one substring search per rule and
// pair word. Gives exactly the same results; used when the matcher cannot be
// built, and as the reference the matcher is checked against.
int32_t KeywordScoreByScanning(const std::string& judged, std::vector<KeywordHit>* hits);

}  // namespace velquor

#endif  // VELQUOR_ENGINE_SCORES_H_
