#include "engine/keyword_matcher.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <mutex>
#include <new>
#include <utility>

#include "platform/mutex.h"
#include "rules/keyword_rules.h"

namespace velquor {
namespace {

// Scores are summed in unsigned arithmetic, which wraps like the signed
// 32-bit two's-complement sums the heuristic is defined by.
uint32_t Bits(int32_t value) { return static_cast<uint32_t>(value); }
int32_t Signed(uint32_t bits) { return static_cast<int32_t>(bits); }

}  // namespace

std::unique_ptr<KeywordMatcher> KeywordMatcher::Build() {
  auto m = std::make_unique<KeywordMatcher>();
  const KeywordRuleList& presence = PresenceRules();
  const KeywordRuleList& occurrence = OccurrenceRules();

  const auto add = [&m](std::string_view keyword) {
    auto [it, added] =
        m->numbers_.emplace(std::string(keyword), static_cast<int>(m->keywords_.size()));
    if (added) {
      m->keywords_.push_back(Keyword{static_cast<uint32_t>(keyword.size()), 0, 0});
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
      const size_t slot = state * classes + m->byte_class_[static_cast<unsigned char>(c)];
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
      m->edges_[to * classes + c].row = rows + renumbered[next[s * classes + c]] * classes;
    }
    m->terminal_[to] = terminal[s];
    // 0 ends an output chain; the start state is never on one.
    m->first_out_[to] = first_out[s] ? renumbered[first_out[s]] : 0;
    m->next_out_[to] = next_out[s] ? renumbered[next_out[s]] : 0;
  }
  return m;
}

const KeywordMatcher::Edge* KeywordMatcher::Run(std::string_view text, size_t from, size_t to,
                                                const Edge* state, HitList* hits) const {
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
  static_assert(kStreams == 1 || kStreams == 2 || kStreams == 4);
  // The text is cut into kStreams stretches read side by side: each step of
  // one stretch waits for the load of the step before, so reading several at
  // once keeps the processor busy. Each stretch starts in the state the text
  // before it leads to, so it finds exactly what one pass would.
  const size_t n = text.size();
  const size_t part = n / kStreams;
  HitList more[kStreams > 1 ? kStreams - 1 : 1];
  HitList* list[kStreams];
  list[0] = hits;
  for (int k = 1; k < kStreams; ++k) list[k] = &more[k - 1];
  const uint32_t* byte_class = byte_class_;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const Edge* output_from = output_from_;
  // The streams after the first begin by reading, without recording, the
  // max_length_ bytes before their stretch (part >= max_length_ here).
  const auto warmed = [&](int k) {
    const Edge* s = edges_.data();
    if (k == 0) return s;
    const unsigned char* at = bytes + part * static_cast<size_t>(k) - max_length_;
    for (size_t i = 0; i < max_length_; ++i) s = s[byte_class[at[i]]].row;
    return s;
  };
  // Each stream's state is a variable of its own, so that it stays in a
  // register. Hits are rare: the loop only stops at one, and the hits of that
  // step are recorded outside it, so that the loop holds no call and keeps
  // everything it needs in registers.
  const Edge* s0 = warmed(0);
  const Edge* s1 = kStreams > 1 ? warmed(1) : nullptr;
  const Edge* s2 = kStreams > 2 ? warmed(2) : nullptr;
  const Edge* s3 = kStreams > 2 ? warmed(3) : nullptr;
  const unsigned char* low = bytes;                                     // streams 0 and 1
  const unsigned char* high = kStreams > 2 ? bytes + 2 * part : bytes;  // streams 2 and 3
  const auto hit = [output_from](const Edge* s) { return s >= output_from; };
  for (size_t i = 0; i < part; ++i) {
    for (; i < part; ++i) {
      s0 = s0[byte_class[low[i]]].row;
      if constexpr (kStreams > 1) s1 = s1[byte_class[low[part + i]]].row;
      if constexpr (kStreams > 2) {
        s2 = s2[byte_class[high[i]]].row;
        s3 = s3[byte_class[high[part + i]]].row;
      }
      if (hit(s0) || (kStreams > 1 && hit(s1)) || (kStreams > 2 && (hit(s2) || hit(s3))))
          [[unlikely]] {
        break;
      }
    }
    if (i == part) break;
    if (hit(s0)) RecordHit(list[0], i + 1, s0);
    if constexpr (kStreams > 1) {
      if (hit(s1)) RecordHit(list[1], part + i + 1, s1);
    }
    if constexpr (kStreams > 2) {
      if (hit(s2)) RecordHit(list[2], 2 * part + i + 1, s2);
      if (hit(s3)) RecordHit(list[3], 3 * part + i + 1, s3);
    }
  }
  const Edge* last_state = kStreams == 1 ? s0 : kStreams == 2 ? s1 : s3;
  Run(text, part * kStreams, n, last_state, list[kStreams - 1]);
  for (int k = 1; k < kStreams; ++k) {
    Hit* h = more[k - 1].data();
    for (size_t i = 0; i < more[k - 1].size(); ++i) hits->push_back(h[i]);
  }
}

template <typename Found>
void KeywordMatcher::ForEachCount(std::string_view text, const Found& found) const {
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

std::vector<int32_t> KeywordMatcher::Counts(std::string_view text) const {
  std::vector<int32_t> counts(keywords_.size(), 0);
  ForEachCount(text, [&counts](uint32_t keyword, int32_t count) { counts[keyword] = count; });
  return counts;
}

namespace {

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

}  // namespace

const KeywordMatcher* CurrentKeywordMatcher() {
  const uint64_t presence = PresenceRules().generation();
  const uint64_t occurrence = OccurrenceRules().generation();
  const BuiltMatcher* built = shared_matcher.current.load(std::memory_order_acquire);
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

}  // namespace velquor
