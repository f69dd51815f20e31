#include "engine/scores.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "platform/mutex.h"
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

  int32_t Score(std::string_view text) const;
  int32_t Score(std::string_view text, std::vector<KeywordHit>* hits) const;

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

  int KeywordNumber(std::string_view keyword) const {
    auto it = numbers_.find(std::string(keyword));
    return it == numbers_.end() ? -1 : it->second;
  }

  // Runs the automaton over text[from, to) starting in `state`; records the
  // hits into `hits`. Returns the state reached.
  const Edge* Run(std::string_view text, size_t from, size_t to,
                  const Edge* state, HitList* hits) const;
  // The number of the state whose row is `row`.
  uint32_t StateNumber(const Edge* row) const {
    const uint64_t offset = static_cast<uint64_t>(row - edges_.data());
    return static_cast<uint32_t>((offset * class_reciprocal_) >> 40);
  }
  // Appends a hit; out of line, as it is rarely taken.
  [[gnu::noinline]] static void RecordHit(HitList* hits, size_t end,
                                          const Edge* state) {
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
  std::vector<int32_t> terminal_;     // keyword ending at the state, or -1
  std::vector<uint32_t> first_out_;   // the state or its nearest terminal
                                      // proper suffix; 0 for none
  std::vector<uint32_t> next_out_;    // for a terminal state: the next one
};

std::unique_ptr<KeywordMatcher> KeywordMatcher::Build() {
  auto m = std::make_unique<KeywordMatcher>();
  const KeywordRuleList& presence = PresenceRules();
  const KeywordRuleList& occurrence = OccurrenceRules();

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
    m->max_length_ = std::max(m->max_length_, keyword.size());
    for (char c : keyword) {
      uint32_t& cls = m->byte_class_[static_cast<unsigned char>(c)];
      if (cls == 0) cls = m->class_count_++;
    }
  }
  const size_t classes = m->class_count_;
  if (total_length * classes > kMaxTransitions) return nullptr;
  static_assert(kMaxTransitions <= (size_t{1} << 23));
  m->class_reciprocal_ = ((uint64_t{1} << 40) + classes - 1) / classes;

  // The trie: state 0 is the start; 0 in next means "no edge yet".
  std::vector<uint32_t> next(classes, 0);
  std::vector<int32_t> terminal(1, -1);
  for (const auto& [keyword, number] : m->numbers_) {
    uint32_t state = 0;
    for (char c : keyword) {
      const size_t slot =
          state * classes + m->byte_class_[static_cast<unsigned char>(c)];
      if (next[slot] == 0) {
        const uint32_t fresh = static_cast<uint32_t>(terminal.size());
        next[slot] = fresh;
        next.resize(next.size() + classes, 0);
        terminal.push_back(-1);
      }
      state = next[slot];
    }
    terminal[state] = number;
  }

  // Breadth-first: each state's failure state is its longest proper suffix
  // in the trie; missing edges are filled from the failure state's.
  const size_t states = terminal.size();
  std::vector<uint32_t> fail(states, 0);
  std::vector<uint32_t> first_out(states, 0);
  std::vector<uint32_t> next_out(states, 0);
  std::vector<uint32_t> queue;
  queue.reserve(states);
  for (size_t c = 0; c < classes; ++c) {
    const uint32_t child = next[c];
    if (child != 0) queue.push_back(child);
  }
  for (size_t head = 0; head < queue.size(); ++head) {
    const uint32_t state = queue[head];
    next_out[state] = first_out[fail[state]];
    first_out[state] = terminal[state] >= 0 ? state : next_out[state];
    for (size_t c = 0; c < classes; ++c) {
      uint32_t& edge = next[state * classes + c];
      const uint32_t via_fail = next[fail[state] * classes + c];
      if (edge != 0) {
        fail[edge] = via_fail;
        queue.push_back(edge);
      } else {
        edge = via_fail;
      }
    }
  }

  // Renumber: states without output first (the start state stays 0, as no
  // keyword is empty), then those with output.
  std::vector<uint32_t> renumbered(states, 0);
  uint32_t count = 0;
  for (size_t s = 0; s < states; ++s) {
    if (first_out[s] == 0) renumbered[s] = count++;
  }
  const size_t output_states = count;
  for (size_t s = 0; s < states; ++s) {
    if (first_out[s] != 0) renumbered[s] = count++;
  }
  m->edges_.assign(states * classes, Edge{nullptr});
  const Edge* rows = m->edges_.data();
  m->output_from_ = rows + output_states * classes;
  m->terminal_.assign(states, -1);
  m->first_out_.assign(states, 0);
  m->next_out_.assign(states, 0);
  for (size_t s = 0; s < states; ++s) {
    const size_t to = renumbered[s];
    for (size_t c = 0; c < classes; ++c) {
      m->edges_[to * classes + c].row =
          rows + renumbered[next[s * classes + c]] * classes;
    }
    m->terminal_[to] = terminal[s];
    // 0 ends an output chain; the start state is never on one.
    m->first_out_[to] = first_out[s] ? renumbered[first_out[s]] : 0;
    m->next_out_[to] = next_out[s] ? renumbered[next_out[s]] : 0;
  }
  return m;
}

const KeywordMatcher::Edge* KeywordMatcher::Run(std::string_view text,
                                                size_t from, size_t to,
                                                const Edge* state,
                                                HitList* hits) const {
  const uint32_t* byte_class = byte_class_;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = from; i < to; ++i) {
    state = state[byte_class[bytes[i]]].row;
    if (state >= output_from_) hits->push_back(Hit{i + 1, state});
  }
  return state;
}

template <int kStreams>
void KeywordMatcher::FindHits(std::string_view text, HitList* hits) const {
  // The text is cut into kStreams stretches read side by side: each step of
  // one stretch waits for the load of the step before, so reading several at
  // once keeps the processor busy. Each stretch starts in the state the text
  // before it leads to, so it finds exactly what one pass would.
  const size_t n = text.size();
  const size_t part = n / kStreams;
  const Edge* state[kStreams];
  size_t begin[kStreams];
  HitList more[kStreams > 1 ? kStreams - 1 : 1];
  for (int k = 0; k < kStreams; ++k) {
    begin[k] = part * static_cast<size_t>(k);
    state[k] = edges_.data();
  }
  HitList* list[kStreams];
  list[0] = hits;
  for (int k = 1; k < kStreams; ++k) list[k] = &more[k - 1];
  const uint32_t* byte_class = byte_class_;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const Edge* output_from = output_from_;
  // Spelled out per stream so that each stream's state stays in a register;
  // the stretches are read through their own pointers, indexed together.
  // Hits are rare, so recording one is kept out of the loop's registers.
  // The streams after the first begin by reading, without recording, the
  // max_length_ bytes before their stretch (part >= max_length_ here).
  [&]<size_t... K>(std::index_sequence<K...>) {
    const unsigned char* from[kStreams] = {(bytes + begin[K])...};
    const size_t warm = kStreams > 1 ? max_length_ : 0;
    for (size_t i = 0; i < warm; ++i) {
      ((K == 0 ? void()
               : void(state[K] = state[K][byte_class[(from[K] - warm)[i]]].row)),
       ...);
    }
    const auto step = [&](const Edge*& s, const unsigned char* at,
                          HitList* to) {
      s = s[byte_class[*at]].row;
      if (s >= output_from) [[unlikely]] {
        RecordHit(to, static_cast<size_t>(at - bytes) + 1, s);
      }
    };
    for (size_t i = 0; i < part; ++i) (step(state[K], from[K] + i, list[K]), ...);
  }(std::make_index_sequence<kStreams>{});
  HitList* last = kStreams == 1 ? hits : &more[kStreams - 2];
  Run(text, part * kStreams, n, state[kStreams - 1], last);
  for (int k = 1; k < kStreams; ++k) {
    Hit* h = more[k - 1].data();
    for (size_t i = 0; i < more[k - 1].size(); ++i) hits->push_back(h[i]);
  }
}

template <typename Found>
void KeywordMatcher::ForEachCount(std::string_view text,
                                  const Found& found) const {
  HitList hits;
  // Stretches shorter than a few keyword lengths would spend more on finding
  // their start state than side-by-side reading saves.
  const size_t n = text.size();
  if (n >= 128 && n >= 16 * max_length_) {
    FindHits<4>(text, &hits);
  } else if (n >= 64 && n >= 8 * max_length_) {
    FindHits<2>(text, &hits);
  } else {
    FindHits<1>(text, &hits);
  }

  // Every keyword ending at each hit, longest first along the output chain.
  // Hits are in order of their end, so each keyword's occurrences come in
  // order of their start.
  const Hit* h = hits.data();
  if (keywords_.size() <= 64) {
    // Few keywords (the built-in rules): count each keyword as its
    // occurrences come, with a bit per keyword saying which have begun, so
    // nothing needs clearing, sorting or a list of occurrences.
    uint64_t seen = 0;
    int32_t count[64];
    size_t resume[64];
    for (size_t i = 0; i < hits.size(); ++i) {
      const uint32_t state = StateNumber(h[i].state);
      for (uint32_t out = first_out_[state]; out != 0; out = next_out_[out]) {
        const uint32_t k = static_cast<uint32_t>(terminal_[out]);
        const size_t length = keywords_[k].length;
        const size_t start = h[i].end - length;
        const uint64_t bit = uint64_t{1} << k;
        if ((seen & bit) == 0) {
          seen |= bit;
          count[k] = 1;
          resume[k] = start + length;
        } else if (start >= resume[k]) {
          // Counting resumes after the end of the last counted occurrence.
          ++count[k];
          resume[k] = start + length;
        }
      }
    }
    for (; seen != 0; seen &= seen - 1) {
      const int k = std::countr_zero(seen);
      found(static_cast<uint32_t>(k), count[k]);
    }
    return;
  }
  OccurrenceList list;
  for (size_t i = 0; i < hits.size(); ++i) {
    const uint32_t state = StateNumber(h[i].state);
    for (uint32_t out = first_out_[state]; out != 0; out = next_out_[out]) {
      const uint32_t k = static_cast<uint32_t>(terminal_[out]);
      list.push_back(Occurrence{k, h[i].end - keywords_[k].length});
    }
  }
  // Group by keyword, keeping each keyword's occurrences in order; the lists
  // of a segment are short, so insertion sort is the cheap stable sort here.
  Occurrence* o = list.data();
  const size_t size = list.size();
  const auto by_keyword = [](const Occurrence& a, const Occurrence& b) {
    return a.keyword < b.keyword;
  };
  if (size <= 64) {
    for (size_t i = 1; i < size; ++i) {
      const Occurrence item = o[i];
      size_t j = i;
      for (; j > 0 && by_keyword(item, o[j - 1]); --j) o[j] = o[j - 1];
      o[j] = item;
    }
  } else {
    std::stable_sort(o, o + size, by_keyword);
  }
  for (size_t i = 0; i < size;) {
    const uint32_t k = o[i].keyword;
    const size_t length = keywords_[k].length;
    int32_t count = 0;
    size_t resume = 0;
    for (; i < size && o[i].keyword == k; ++i) {
      // Counting resumes after the end of the last counted occurrence.
      if (o[i].start >= resume) {
        ++count;
        resume = o[i].start + length;
      }
    }
    found(k, count);
  }
}

int32_t KeywordMatcher::Score(std::string_view text) const {
  // The pair words are keywords 0 to kPairCount * 2 - 1 at most, numbered
  // first when the matcher was built.
  bool pair_word_found[kPairCount * 2] = {};
  uint32_t sum = 0;
  ForEachCount(text, [&](uint32_t keyword, int32_t count) {
    const Keyword& k = keywords_[keyword];
    sum += k.presence_sum + k.occurrence_sum * static_cast<uint32_t>(count);
    if (keyword < kPairCount * 2) pair_word_found[keyword] = true;
  });
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
  ForEachCount(text, [&counts](uint32_t keyword, int32_t count) {
    counts[keyword] = count;
  });
  return SumRules(
      [this, &counts](std::string_view keyword) {
        const int k = KeywordNumber(keyword);
        return k < 0 ? 0 : counts[k];
      },
      hits);
}

// The matcher built for one version of the lists. Null `matcher` means the
// lists of that version were too large: scores are then counted by scanning.
struct BuiltMatcher {
  std::unique_ptr<const KeywordMatcher> matcher;
  uint64_t presence_generation;
  uint64_t occurrence_generation;
};

// The matcher for the current lists, rebuilt when either list has changed
// since it was built. Scoring reads the published version with one acquire
// load and takes no lock and no reference: the lists change only while the
// library starts (and in tests), so a version once published is kept, with
// every one before it, until the library unloads. Their number is the number
// of list changes that a score saw, one or two in a loaded library.
struct SharedMatcher {
  Mutex mutex;  // serialises rebuilds and guards `versions`
  std::atomic<const BuiltMatcher*> current{nullptr};
  std::vector<std::unique_ptr<const BuiltMatcher>> versions;
};
constinit SharedMatcher shared_matcher;

// The matcher for the lists as they are now; null when scores must be counted
// by scanning. Valid until the library unloads.
const KeywordMatcher* CurrentMatcher() {
  const uint64_t presence = PresenceRules().generation();
  const uint64_t occurrence = OccurrenceRules().generation();
  const BuiltMatcher* built =
      shared_matcher.current.load(std::memory_order_acquire);
  if (built != nullptr && built->presence_generation == presence &&
      built->occurrence_generation == occurrence) {
    return built->matcher.get();
  }
  std::lock_guard<Mutex> lock(shared_matcher.mutex);
  // Another caller may have rebuilt it while this one waited.
  built = shared_matcher.current.load(std::memory_order_relaxed);
  if (built != nullptr && built->presence_generation == presence &&
      built->occurrence_generation == occurrence) {
    return built->matcher.get();
  }
  std::unique_ptr<const KeywordMatcher> matcher;
  try {
    matcher = KeywordMatcher::Build();
  } catch (const std::bad_alloc&) {
    // Leave it null: scores are then counted by scanning.
  }
  try {
    shared_matcher.versions.push_back(std::make_unique<const BuiltMatcher>(
        BuiltMatcher{std::move(matcher), presence, occurrence}));
  } catch (const std::bad_alloc&) {
    // Nowhere to keep it: count this score by scanning and try again next time.
    return nullptr;
  }
  built = shared_matcher.versions.back().get();
  shared_matcher.current.store(built, std::memory_order_release);
  return built->matcher.get();
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
  const KeywordMatcher* matcher = CurrentMatcher();
  if (!matcher) return KeywordScoreByScanning(judged, nullptr);
  return matcher->Score(judged);
}

int32_t KeywordScore(const std::string& judged, std::vector<KeywordHit>* hits) {
  if (hits == nullptr) return KeywordScore(judged);
  const KeywordMatcher* matcher = CurrentMatcher();
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
