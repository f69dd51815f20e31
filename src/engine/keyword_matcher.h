// The keyword matcher: one automaton over every keyword of the two rule lists
// and every word of the word pairs, so that the keyword score reads a judged
// copy once however many rules there are. Its only caller is the keyword
// score, which falls back to scanning when no matcher can be built.
//
// Threading: a matcher never changes once built. CurrentKeywordMatcher
// rebuilds it when a list has changed and publishes each version with one
// atomic store; any number of threads may score with the one it hands out.
#ifndef VELQUOR_ENGINE_KEYWORD_MATCHER_H_
#define VELQUOR_ENGINE_KEYWORD_MATCHER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velquor {

struct WordPair {
  std::string_view first;
  std::string_view second;
};

// Word pairs that together mark advertising wording, each worth kPairBonus.
inline constexpr WordPair kWordPairs[] = {
    {"FREE", "ADVERTIS"},   {"FREE", "BANNER"},   {"LINK", "EXCHANGE"},    {"MEMBER", "EXCHANGE"},
    {"BANNER", "EXCHANGE"}, {"MEMBER", "BANNER"}, {"MARKETING", "BANNER"},
};
inline constexpr int kPairCount = sizeof(kWordPairs) / sizeof(kWordPairs[0]);
inline constexpr int32_t kPairBonus = 150;

// A deterministic automaton over every distinct keyword of both lists and
// every pair word (Aho-Corasick with a full transition table over classes of
// bytes). It reports every occurrence of every keyword; the non-overlapping
// count of each keyword is then taken from its occurrences in order, exactly
// as repeated searching would count them.
class KeywordMatcher {
 public:
  // Builds the matcher for the current lists. Null when the automaton would
  // be too large; the caller then counts by scanning.
  static std::unique_ptr<KeywordMatcher> Build();

  // The keyword score of `text`: each rule's score once or times its count,
  // as the lists were when the matcher was built, plus the word-pair bonuses.
  int32_t Score(std::string_view text) const;

  // The non-overlapping count of every keyword in `text`, by keyword number.
  std::vector<int32_t> Counts(std::string_view text) const;

  // The number of `keyword` in Counts' result; -1 for a text that is no
  // keyword of the lists or the word pairs.
  int KeywordNumber(std::string_view keyword) const {
    auto it = numbers_.find(std::string(keyword));
    return it == numbers_.end() ? -1 : it->second;
  }

 private:
  // A table of this many transitions (8 bytes each, 32 MB) is the most we
  // set aside; ordinary rule files need a small fraction of it.
  static constexpr size_t kMaxTransitions = size_t{1} << 22;

  // One transition; a state is the address of its row of class_count_
  // transitions, so reading a byte costs one load of its class and one load
  // of the next row, with no arithmetic between them.
  struct Edge {
    const Edge* row;
  };

  struct Keyword {
    uint32_t length;
    uint32_t presence_sum;    // scores of presence rules with this keyword
    uint32_t occurrence_sum;  // scores of occurrence rules with this keyword
  };

  // A position where the automaton entered a state with keywords ending
  // there; `end` is one past the last byte read.
  struct Hit {
    size_t end;
    const Edge* state;  // the row of the state entered
  };
  struct Occurrence {
    uint32_t keyword;
    size_t start;
  };

  // A list that lives on the stack until it outgrows `N` entries.
  template <typename T, size_t N>
  class SmallList {
   public:
    void push_back(const T& item) {
      if (size_ < N) {
        inline_[size_++] = item;
        return;
      }
      if (size_ == N) spill_.assign(inline_, inline_ + N);
      spill_.push_back(item);
      ++size_;
    }
    size_t size() const { return size_; }
    T* data() { return size_ <= N ? inline_ : spill_.data(); }

   private:
    T inline_[N];
    size_t size_ = 0;
    std::vector<T> spill_;
  };
  using HitList = SmallList<Hit, 64>;
  using OccurrenceList = SmallList<Occurrence, 64>;

  // Runs the automaton over text[from, to) starting in `state`; records the
  // hits into `hits`. Returns the state reached.
  const Edge* Run(std::string_view text, size_t from, size_t to, const Edge* state,
                  HitList* hits) const;
  // The number of the state whose row is `row`.
  uint32_t StateNumber(const Edge* row) const {
    const uint64_t offset = static_cast<uint64_t>(row - edges_.data());
    return static_cast<uint32_t>((offset * class_reciprocal_) >> 40);
  }
  // Appends a hit; out of line, as it is rarely taken.
  [[gnu::noinline]] static void RecordHit(HitList* hits, size_t end, const Edge* state) {
    hits->push_back(Hit{end, state});
  }
  // Every hit in `text`, in order of their end.
  template <int kStreams>
  void FindHits(std::string_view text, HitList* hits) const;
  // Calls found(keyword number, non-overlapping count) for every keyword that
  // occurs in `text`, in order of keyword number.
  template <typename Found>
  void ForEachCount(std::string_view text, const Found& found) const;

  std::vector<Keyword> keywords_;
  std::unordered_map<std::string, int> numbers_;
  int pair_words_[kPairCount][2] = {};
  uint32_t byte_class_[256] = {};
  uint32_t class_count_ = 1;
  // A state's number is its row's offset in edges_ times 2^40 / class_count_,
  // rounded up, shifted right by 40: exact, as offsets stay below
  // kMaxTransitions.
  uint64_t class_reciprocal_ = 0;
  size_t max_length_ = 0;
  // Transitions: edges_[state * class_count_ + class]. The states with
  // keywords ending in them are numbered last, their rows from output_from_
  // on, so one comparison tells whether to look at them.
  std::vector<Edge> edges_;
  const Edge* output_from_ = nullptr;
  std::vector<int32_t> terminal_;    // keyword ending at the state, or -1
  std::vector<uint32_t> first_out_;  // the state or its nearest terminal
                                     // proper suffix; 0 for none
  std::vector<uint32_t> next_out_;   // for a terminal state: the next one
};

// The matcher for the lists as they are now; null when it would be too large
// or memory ran out, and scores must be counted by scanning. Valid until the
// library unloads.
const KeywordMatcher* CurrentKeywordMatcher();

}  // namespace velquor

#endif  // VELQUOR_ENGINE_KEYWORD_MATCHER_H_
