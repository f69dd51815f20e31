#include "engine/scores.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <unordered_map>

#include "rules/keyword_rules.h"

namespace velquor {

namespace {

struct WordPair {
  std::string_view first;
  std::string_view second;
};

// Word pairs that together mark advertising wording, each worth kPairBonus.
constexpr WordPair kWordPairs[] = {
    {"FREE", "ADVERTIS"},   {"FREE", "BANNER"},     {"LINK", "EXCHANGE"},
    {"MEMBER", "EXCHANGE"}, {"BANNER", "EXCHANGE"}, {"MEMBER", "BANNER"},
    {"MARKETING", "BANNER"},
};
constexpr int kPairCount = sizeof(kWordPairs) / sizeof(kWordPairs[0]);
constexpr int32_t kPairBonus = 150;

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

void AddHit(std::vector<KeywordHit>* hits, KeywordHit::Kind kind,
            std::string_view keyword, int32_t occurrences,
            uint32_t contribution) {
  hits->push_back(KeywordHit{kind, std::string(keyword), occurrences,
                             Signed(contribution)});
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

// A deterministic automaton over every distinct keyword of both lists and
// every pair word (Aho-Corasick with a full transition table over classes of
// bytes), so a judged copy is read once however many rules there are. It
// reports every occurrence of every keyword; the non-overlapping count of each
// keyword is then taken from its occurrences in order, exactly as repeated
// searching would count them.
class KeywordMatcher {
 public:
  // Builds the matcher for the current lists. Null when the automaton would
  // be too large; the caller then counts by scanning.
  static std::unique_ptr<KeywordMatcher> Build();

  // The keywords that occur in `text`, each with its non-overlapping
  // occurrence count, in order of keyword number.
  struct Found {
    uint32_t keyword;
    int32_t count;
  };
  std::vector<Found> Count(std::string_view text) const;

  int32_t Score(std::string_view text) const;
  int32_t Score(std::string_view text, std::vector<KeywordHit>* hits) const;

  uint64_t presence_generation() const { return presence_generation_; }
  uint64_t occurrence_generation() const { return occurrence_generation_; }

 private:
  // A table of this many transitions (4 bytes each) is the most we set aside;
  // ordinary rule files need a small fraction of it.
  static constexpr size_t kMaxTransitions = size_t{1} << 23;

  struct Keyword {
    uint32_t length;
    uint32_t presence_sum;    // scores of presence rules with this keyword
    uint32_t occurrence_sum;  // scores of occurrence rules with this keyword
  };

  int KeywordNumber(std::string_view keyword) const {
    auto it = numbers_.find(std::string(keyword));
    return it == numbers_.end() ? -1 : it->second;
  }

  uint64_t presence_generation_ = 0;
  uint64_t occurrence_generation_ = 0;
  std::vector<Keyword> keywords_;
  std::unordered_map<std::string, int> numbers_;
  int pair_words_[kPairCount][2] = {};
  uint16_t byte_class_[256] = {};
  uint32_t class_count_ = 1;
  std::vector<uint32_t> next_;        // state * class_count_ + class
  std::vector<int32_t> terminal_;     // keyword ending at the state, or -1
  std::vector<uint32_t> first_out_;   // the state or its nearest terminal
                                      // proper suffix; 0 for none
  std::vector<uint32_t> next_out_;    // for a terminal state: the next one
};

std::unique_ptr<KeywordMatcher> KeywordMatcher::Build() {
  auto m = std::make_unique<KeywordMatcher>();
  const KeywordRuleList& presence = PresenceRules();
  const KeywordRuleList& occurrence = OccurrenceRules();
  m->presence_generation_ = presence.generation();
  m->occurrence_generation_ = occurrence.generation();

  const auto add = [&m](std::string_view keyword) {
    auto [it, added] = m->numbers_.emplace(std::string(keyword),
                                           static_cast<int>(m->keywords_.size()));
    if (added) {
      m->keywords_.push_back(
          Keyword{static_cast<uint32_t>(keyword.size()), 0, 0});
    }
    return it->second;
  };
  for (int p = 0; p < kPairCount; ++p) {
    m->pair_words_[p][0] = add(kWordPairs[p].first);
    m->pair_words_[p][1] = add(kWordPairs[p].second);
  }
  for (int i = 0; i < presence.count(); ++i) {
    const int k = add(presence.at(i).text());
    m->keywords_[k].presence_sum += Bits(presence.at(i).score);
  }
  for (int i = 0; i < occurrence.count(); ++i) {
    const int k = add(occurrence.at(i).text());
    m->keywords_[k].occurrence_sum += Bits(occurrence.at(i).score);
  }

  // Bytes that occur in no keyword all share class 0, which always leads
  // back to the start state.
  size_t total_length = 1;
  for (const auto& [keyword, number] : m->numbers_) {
    total_length += keyword.size();
    for (char c : keyword) {
      uint16_t& cls = m->byte_class_[static_cast<unsigned char>(c)];
      if (cls == 0) cls = static_cast<uint16_t>(m->class_count_++);
    }
  }
  const size_t classes = m->class_count_;
  if (total_length * classes > kMaxTransitions) return nullptr;

  // The trie: state 0 is the start; 0 in next_ means "no edge yet".
  m->next_.assign(classes, 0);
  m->terminal_.assign(1, -1);
  for (const auto& [keyword, number] : m->numbers_) {
    uint32_t state = 0;
    for (char c : keyword) {
      const size_t slot =
          state * classes + m->byte_class_[static_cast<unsigned char>(c)];
      if (m->next_[slot] == 0) {
        const uint32_t fresh = static_cast<uint32_t>(m->terminal_.size());
        m->next_[slot] = fresh;
        m->next_.resize(m->next_.size() + classes, 0);
        m->terminal_.push_back(-1);
      }
      state = m->next_[slot];
    }
    m->terminal_[state] = number;
  }

  // Breadth-first: each state's failure state is its longest proper suffix
  // in the trie; missing edges are filled from the failure state's.
  const size_t states = m->terminal_.size();
  std::vector<uint32_t> fail(states, 0);
  m->first_out_.assign(states, 0);
  m->next_out_.assign(states, 0);
  std::vector<uint32_t> queue;
  queue.reserve(states);
  for (size_t c = 0; c < classes; ++c) {
    const uint32_t child = m->next_[c];
    if (child != 0) queue.push_back(child);
  }
  for (size_t head = 0; head < queue.size(); ++head) {
    const uint32_t state = queue[head];
    m->next_out_[state] = m->first_out_[fail[state]];
    m->first_out_[state] =
        m->terminal_[state] >= 0 ? state : m->next_out_[state];
    for (size_t c = 0; c < classes; ++c) {
      uint32_t& edge = m->next_[state * classes + c];
      const uint32_t via_fail = m->next_[fail[state] * classes + c];
      if (edge != 0) {
        fail[edge] = via_fail;
        queue.push_back(edge);
      } else {
        edge = via_fail;
      }
    }
  }
  return m;
}

std::vector<KeywordMatcher::Found> KeywordMatcher::Count(
    std::string_view text) const {
  struct Occurrence {
    uint32_t keyword;
    size_t start;
  };
  std::vector<Occurrence> occurrences;
  occurrences.reserve(32);
  const size_t classes = class_count_;
  uint32_t state = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    state = next_[state * classes +
                  byte_class_[static_cast<unsigned char>(text[i])]];
    for (uint32_t out = first_out_[state]; out != 0; out = next_out_[out]) {
      const uint32_t k = static_cast<uint32_t>(terminal_[out]);
      occurrences.push_back(Occurrence{k, i + 1 - keywords_[k].length});
    }
  }
  // Group by keyword, each keyword's occurrences in order of their start.
  std::sort(occurrences.begin(), occurrences.end(),
            [](const Occurrence& a, const Occurrence& b) {
              return a.keyword != b.keyword ? a.keyword < b.keyword
                                            : a.start < b.start;
            });
  std::vector<Found> found;
  found.reserve(occurrences.size());
  size_t resume = 0;
  for (size_t i = 0; i < occurrences.size(); ++i) {
    const uint32_t k = occurrences[i].keyword;
    if (i == 0 || occurrences[i - 1].keyword != k) {
      resume = 0;
      found.push_back(Found{k, 0});
    }
    // Counting resumes after the end of the last counted occurrence.
    if (occurrences[i].start >= resume) {
      ++found.back().count;
      resume = occurrences[i].start + keywords_[k].length;
    }
  }
  return found;
}

int32_t KeywordMatcher::Score(std::string_view text) const {
  // The pair words are keywords 0 to kPairCount * 2 - 1 at most, numbered
  // first when the matcher was built.
  bool pair_word_found[kPairCount * 2] = {};
  uint32_t sum = 0;
  for (const Found& f : Count(text)) {
    const Keyword& k = keywords_[f.keyword];
    sum += k.presence_sum + k.occurrence_sum * static_cast<uint32_t>(f.count);
    if (f.keyword < kPairCount * 2) pair_word_found[f.keyword] = true;
  }
  for (const auto& words : pair_words_) {
    if (pair_word_found[words[0]] && pair_word_found[words[1]]) {
      sum += Bits(kPairBonus);
    }
  }
  return Signed(sum);
}

int32_t KeywordMatcher::Score(std::string_view text,
                              std::vector<KeywordHit>* hits) const {
  std::vector<int32_t> counts(keywords_.size(), 0);
  for (const Found& f : Count(text)) counts[f.keyword] = f.count;
  return SumRules(
      [this, &counts](std::string_view keyword) {
        const int k = KeywordNumber(keyword);
        return k < 0 ? 0 : counts[k];
      },
      hits);
}

// The matcher for the current lists, rebuilt when either list has changed
// since it was built. Callers on any thread share it; the lock covers only
// the check and the hand-over of a reference.
struct SharedMatcher {
  std::mutex mutex;
  std::shared_ptr<const KeywordMatcher> matcher;
  bool unusable = false;  // the lists of the last build were too large
  uint64_t presence_generation = 0;
  uint64_t occurrence_generation = 0;
  bool built = false;
};
constinit SharedMatcher shared_matcher;

std::shared_ptr<const KeywordMatcher> CurrentMatcher() {
  const uint64_t presence = PresenceRules().generation();
  const uint64_t occurrence = OccurrenceRules().generation();
  std::lock_guard<std::mutex> lock(shared_matcher.mutex);
  if (!shared_matcher.built ||
      shared_matcher.presence_generation != presence ||
      shared_matcher.occurrence_generation != occurrence) {
    shared_matcher.matcher.reset();
    try {
      shared_matcher.matcher = KeywordMatcher::Build();
    } catch (const std::bad_alloc&) {
      // Leave it null: scores are then counted by scanning.
    }
    shared_matcher.presence_generation = presence;
    shared_matcher.occurrence_generation = occurrence;
    shared_matcher.built = true;
  }
  return shared_matcher.matcher;
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
      return points + (h60 == 0   ? 50
                       : h60 <= 2 ? 40
                       : h60 <= 4 ? 30
                       : h60 <= 9 ? 25
                                  : 0);
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
  const std::shared_ptr<const KeywordMatcher> matcher = CurrentMatcher();
  if (!matcher) return KeywordScoreByScanning(judged, nullptr);
  return matcher->Score(judged);
}

int32_t KeywordScore(const std::string& judged, std::vector<KeywordHit>* hits) {
  if (hits == nullptr) return KeywordScore(judged);
  const std::shared_ptr<const KeywordMatcher> matcher = CurrentMatcher();
  if (!matcher) return KeywordScoreByScanning(judged, hits);
  return matcher->Score(judged, hits);
}

int32_t KeywordScoreByScanning(const std::string& judged,
                               std::vector<KeywordHit>* hits) {
  const std::string_view text(judged);
  return SumRules(
      [text](std::string_view keyword) { return CountIn(text, keyword); },
      hits);
}

}  // namespace velquor
