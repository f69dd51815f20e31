#include "engine/page_scanner.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>

#include "engine/judges.h"
#include "platform/ascii.h"
#include "platform/resources.h"
#include "settings/store.h"

// The vector searches need SSE2, which every x86-64 processor has, and are
// built with GCC and clang only; elsewhere (32-bit Windows among them) the
// plain search serves.
#if defined(__x86_64__) && defined(__SSE2__) && defined(__GNUC__) && !defined(_WIN32)
#define VELQUOR_SCANNER_SIMD 1
#include <immintrin.h>
#else
#define VELQUOR_SCANNER_SIMD 0
#endif

namespace velquor {
namespace {

constexpr char kLinkOpen[] = "<A ";
constexpr char kLinkClose[] = "</A>";
constexpr char kAppletOpen[] = "<APPLET ";
constexpr char kAppletClose[] = "</APPLET>";
constexpr char kPageEnd[] = "</HTML>";
constexpr std::size_t kLinkCloseLength = sizeof kLinkClose - 1;
constexpr std::size_t kAppletCloseLength = sizeof kAppletClose - 1;

constexpr UINT kStatisticsFooterId = 101;
constexpr UINT kModificationFooterId = 102;

// Whether `text` holds `tag` (upper case, beginning with '<') at `pos`, its
// letters in either case: the same as finding it in an upper-cased copy,
// without making one.
bool TagAt(std::string_view text, std::size_t pos, std::string_view tag) {
  if (text.size() - pos < tag.size()) return false;
  for (std::size_t i = 1; i < tag.size(); ++i) {
    if (AsciiUpper(text[pos + i]) != tag[i]) return false;
  }
  return true;
}

// The next '<' at or after `from`, or npos. Tags in HTML are often only a
// few dozen bytes apart, where a library search costs more to set up than
// it saves, so the first bytes are looked at eight at a time here and only a
// longer stretch goes to memchr.
std::size_t NextAngle(std::string_view text, std::size_t from) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHighs = 0x8080808080808080ull;
  constexpr uint64_t kAngles = kOnes * static_cast<unsigned char>('<');
  constexpr std::size_t kShortStretch = 64;
  const char* data = text.data();
  const std::size_t size = text.size();
  std::size_t pos = from;
  if constexpr (std::endian::native == std::endian::little) {
    const std::size_t stop =
        size - std::min(size, kShortStretch) > from ? from + kShortStretch : size;
    for (; pos + 8 <= stop; pos += 8) {
      uint64_t word;
      std::memcpy(&word, data + pos, 8);
      const uint64_t x = word ^ kAngles;
      // The lowest flagged byte is always a real '<' (borrows only run
      // upwards), which is the only one wanted.
      const uint64_t found = (x - kOnes) & ~x & kHighs;
      if (found != 0) return pos + static_cast<std::size_t>(std::countr_zero(found) >> 3);
    }
  }
  if (pos >= size) return std::string_view::npos;
  const void* hit = std::memchr(data + pos, '<', size - pos);
  return hit == nullptr ? std::string_view::npos
                        : static_cast<std::size_t>(static_cast<const char*>(hit) - data);
}

// What a tag search looks for: a '<' followed by `after` (a lower-case
// letter, in either case; 0: nothing), or by '/' and then `after_slash` (a
// lower-case letter, in either case). Every tag the scanner looks for
// begins so, and most of a page's other '<' do not, so they are skipped
// without a look at each.
struct TagQuery {
  char after;
  char after_slash;
};

constexpr char kCaseBit = 0x20;

bool QueryMatches(std::string_view text, std::size_t pos, TagQuery q) {
  if (text[pos] != '<' || pos + 1 >= text.size()) return false;
  const char next = text[pos + 1];
  if (q.after != 0 && static_cast<char>(next | kCaseBit) == q.after) return true;
  return next == '/' && pos + 2 < text.size() &&
         static_cast<char>(text[pos + 2] | kCaseBit) == q.after_slash;
}

// The plain search: every '<', then a look at what follows it.
std::size_t FindQueryPlain(std::string_view text, std::size_t from, TagQuery q) {
  for (std::size_t pos = NextAngle(text, from); pos != std::string_view::npos;
       pos = NextAngle(text, pos + 1)) {
    if (QueryMatches(text, pos, q)) return pos;
  }
  return std::string_view::npos;
}

#if VELQUOR_SCANNER_SIMD
// Vector searches: the '<', the byte after it and the one after that are
// compared for a whole block of positions at once; the last few positions,
// where a block would read past the end, go to the plain search.
std::size_t FindQuerySse2(std::string_view text, std::size_t from, TagQuery q) {
  const char* data = text.data();
  const std::size_t size = text.size();
  const __m128i angle = _mm_set1_epi8('<');
  const __m128i slash = _mm_set1_epi8('/');
  const __m128i case_bit = _mm_set1_epi8(kCaseBit);
  const __m128i after = _mm_set1_epi8(q.after);
  const __m128i after_on = _mm_set1_epi8(q.after != 0 ? -1 : 0);
  const __m128i after_slash = _mm_set1_epi8(q.after_slash);
  std::size_t pos = from;
  for (; pos + 18 <= size; pos += 16) {
    const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos));
    const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos + 1));
    const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos + 2));
    const __m128i first =
        _mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(v1, case_bit), after), after_on);
    const __m128i closing = _mm_and_si128(_mm_cmpeq_epi8(v1, slash),
                                          _mm_cmpeq_epi8(_mm_or_si128(v2, case_bit), after_slash));
    const int mask =
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(v0, angle), _mm_or_si128(first, closing)));
    if (mask != 0)
      return pos + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(mask)));
  }
  return pos < size ? FindQueryPlain(text, pos, q) : std::string_view::npos;
}

__attribute__((target("avx2"))) std::size_t FindQueryAvx2(std::string_view text, std::size_t from,
                                                          TagQuery q) {
  const char* data = text.data();
  const std::size_t size = text.size();
  const __m256i angle = _mm256_set1_epi8('<');
  const __m256i slash = _mm256_set1_epi8('/');
  const __m256i case_bit = _mm256_set1_epi8(kCaseBit);
  const __m256i after = _mm256_set1_epi8(q.after);
  const __m256i after_on = _mm256_set1_epi8(q.after != 0 ? -1 : 0);
  const __m256i after_slash = _mm256_set1_epi8(q.after_slash);
  std::size_t pos = from;
  for (; pos + 34 <= size; pos += 32) {
    const __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + pos));
    const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + pos + 1));
    const __m256i v2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + pos + 2));
    const __m256i first =
        _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_or_si256(v1, case_bit), after), after_on);
    const __m256i closing =
        _mm256_and_si256(_mm256_cmpeq_epi8(v1, slash),
                         _mm256_cmpeq_epi8(_mm256_or_si256(v2, case_bit), after_slash));
    const unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(
        _mm256_and_si256(_mm256_cmpeq_epi8(v0, angle), _mm256_or_si256(first, closing))));
    if (mask != 0) return pos + static_cast<std::size_t>(std::countr_zero(mask));
  }
  return pos < size ? FindQuerySse2(text, pos, q) : std::string_view::npos;
}
#endif  // VELQUOR_SCANNER_SIMD

using FindQueryFn = std::size_t (*)(std::string_view, std::size_t, TagQuery);

FindQueryFn BestSearch() {
#if VELQUOR_SCANNER_SIMD
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? FindQueryAvx2 : FindQuerySse2;
#else
  return FindQueryPlain;
#endif
}

// The search in use; chosen at the first scan (every thread chooses the
// same, so a race only repeats the choice).
constinit std::atomic<FindQueryFn> tag_search{nullptr};

// Whether the markup-boundary check of a segment looks at sixteen positions
// at a time; off with the plain tag search, so that both can be compared.
constinit std::atomic<bool> vector_boundaries{true};

std::size_t FindQuery(std::string_view text, std::size_t from, TagQuery q) {
  FindQueryFn find = tag_search.load(std::memory_order_relaxed);
  if (find == nullptr) {
    find = BestSearch();
    tag_search.store(find, std::memory_order_relaxed);
  }
  return find(text, from, q);
}

// First position at or after `from` where the closing tag `tag` ("</A>",
// "</APPLET>" or "</HTML>") begins in any letter case, or npos.
std::size_t FindClosingTag(std::string_view text, std::size_t from, std::string_view tag) {
  const TagQuery query = {0, static_cast<char>(tag[2] | kCaseBit)};
  for (std::size_t pos = FindQuery(text, from, query); pos != std::string_view::npos;
       pos = FindQuery(text, pos + 1, query)) {
    if (TagAt(text, pos, tag)) return pos;
  }
  return std::string_view::npos;
}

// First position at or after `from` where a link or an applet segment opens,
// or npos; *is_applet tells which. Both are found in one pass, so a chunk
// full of links is scanned once however many segments it holds. The first
// "</HTML>" passed on the way, if any, goes to *page_end (left alone when
// one was found before): in a chunk without any segment the output is the
// chunk, and it need not be searched again.
std::size_t FindSegmentStart(std::string_view text, std::size_t from, bool* is_applet,
                             std::size_t* page_end) {
  constexpr TagQuery kQuery = {'a', 'h'};
  for (std::size_t pos = FindQuery(text, from, kQuery); pos != std::string_view::npos;
       pos = FindQuery(text, pos + 1, kQuery)) {
    if (text[pos + 1] != '/') {
      if (TagAt(text, pos, kLinkOpen)) {
        *is_applet = false;
        return pos;
      }
      if (TagAt(text, pos, kAppletOpen)) {
        *is_applet = true;
        return pos;
      }
    } else if (*page_end == std::string_view::npos && TagAt(text, pos, kPageEnd)) {
      *page_end = pos;
    }
  }
  return std::string_view::npos;
}

// The footers due at the end of the page, in order, for the current counters
// and settings; "" when none is due.
std::string PageFooters(const SettingsSnapshot& settings, int32_t modified, int32_t removed) {
  const bool test = settings.test != 0;
  std::string footers;
  if (test || (modified != 0 && settings.add_modify != 0)) {
    footers += LoadResourceString(kModificationFooterId);
  }
  if (test || (removed > 0 && settings.add_stats != 0)) {
    footers += FormatStatisticsFooter(LoadResourceString(kStatisticsFooterId), removed,
                                      ReadSetting(kKilled));
  }
  return footers;
}

}  // namespace

bool UseTagSearch(TagSearch search) {
  FindQueryFn find = nullptr;
  switch (search) {
    case TagSearch::kBest:
      find = BestSearch();
      break;
    case TagSearch::kPlain:
      find = FindQueryPlain;
      break;
    case TagSearch::kSse2:
#if VELQUOR_SCANNER_SIMD
      find = FindQuerySse2;
#endif
      break;
    case TagSearch::kAvx2:
#if VELQUOR_SCANNER_SIMD
      if (__builtin_cpu_supports("avx2")) find = FindQueryAvx2;
#endif
      break;
  }
  if (find == nullptr) return false;
  tag_search.store(find, std::memory_order_relaxed);
  vector_boundaries.store(search != TagSearch::kPlain, std::memory_order_relaxed);
  return true;
}

SegmentJudges DefaultJudges() { return SegmentJudges{JudgeLinkSegment, JudgeAppletSegment}; }

std::string FormatStatisticsFooter(const std::string& format, int32_t removed, uint32_t killed) {
  std::string out;
  out.reserve(format.size() + 16);
  int field = 0;
  std::size_t i = 0;
  while (i < format.size()) {
    if (format[i] != '%') {
      out += format[i++];
    } else if (format.compare(i, 2, "%%") == 0) {
      out += '%';
      i += 2;
    } else if (field < 2 && format.compare(i, 3, "%li") == 0) {
      char number[24];
      if (field == 0) {
        std::snprintf(number, sizeof number, "%ld", static_cast<long>(removed));
      } else {
        std::snprintf(number, sizeof number, "%lu", static_cast<unsigned long>(killed));
      }
      out += number;
      ++field;
      i += 3;
    } else {
      out += format[i++];
    }
  }
  return out;
}

namespace {

// Whether a script, style or comment boundary begins at `pos`: "<SCRIPT",
// "</SCRIPT", "<STYLE", "</STYLE", "<!--" in any letter case, or "-->".
bool BoundaryAt(std::string_view segment, std::size_t pos) {
  if (segment[pos] == '-') return segment.compare(pos, 3, "-->") == 0;
  if (segment[pos] != '<' || pos + 1 >= segment.size()) return false;
  // Most tags of a link are none of these: one look at the byte after the
  // '<' settles it for them.
  switch (AsciiUpper(segment[pos + 1])) {
    case 'S':
      return TagAt(segment, pos, "<SCRIPT") || TagAt(segment, pos, "<STYLE");
    case '/':
      return TagAt(segment, pos, "</SCRIPT") || TagAt(segment, pos, "</STYLE");
    case '!':
      return TagAt(segment, pos, "<!--");
    default:
      return false;
  }
}

}  // namespace

bool CrossesMarkupBoundary(std::string_view segment) {
#if VELQUOR_SCANNER_SIMD
  const std::size_t size = segment.size();
  // Candidates are a '<' followed by 's', "/s" or '!' (letters in either
  // case), and "-->"; each is then looked at whole. No boundary begins in
  // the last two positions, so a last block ending three bytes early
  // (overlapping the one before it) leaves none out.
  if (size >= 18 && vector_boundaries.load(std::memory_order_relaxed)) {
    const char* data = segment.data();
    const __m128i angle = _mm_set1_epi8('<');
    const __m128i dash = _mm_set1_epi8('-');
    const __m128i close = _mm_set1_epi8('>');
    const __m128i slash = _mm_set1_epi8('/');
    const __m128i bang = _mm_set1_epi8('!');
    const __m128i case_bit = _mm_set1_epi8(kCaseBit);
    const __m128i s_letter = _mm_set1_epi8('s');
    std::size_t done = 0;  // positions before it have been looked at
    for (std::size_t pos = 0;; pos += 16) {
      const bool last = pos + 18 > size;
      if (last) pos = size - 18;
      const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos));
      const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos + 1));
      const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos + 2));
      const __m128i closing = _mm_and_si128(_mm_cmpeq_epi8(v1, slash),
                                            _mm_cmpeq_epi8(_mm_or_si128(v2, case_bit), s_letter));
      const __m128i after_angle = _mm_or_si128(_mm_cmpeq_epi8(_mm_or_si128(v1, case_bit), s_letter),
                                               _mm_or_si128(closing, _mm_cmpeq_epi8(v1, bang)));
      const __m128i tag = _mm_and_si128(_mm_cmpeq_epi8(v0, angle), after_angle);
      const __m128i comment_end =
          _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(v0, dash), _mm_cmpeq_epi8(v1, dash)),
                        _mm_cmpeq_epi8(v2, close));
      unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(tag, comment_end)));
      if (done > pos) mask &= ~0u << (done - pos);
      for (; mask != 0; mask &= mask - 1) {
        if (BoundaryAt(segment, pos + static_cast<std::size_t>(std::countr_zero(mask)))) {
          return true;
        }
      }
      done = pos + 16;
      if (last || done + 2 >= size) return false;
    }
  }
#endif
  for (std::size_t pos = NextAngle(segment, 0); pos != std::string_view::npos;
       pos = NextAngle(segment, pos + 1)) {
    if (BoundaryAt(segment, pos)) return true;
  }
  return segment.find("-->") != std::string_view::npos;
}

std::size_t FindPageEnd(std::string_view output) {
  constexpr std::size_t kNone = std::string_view::npos;
  // The last opener and closer of each kind seen so far; kNone for none.
  // Comment closers do not begin with '<': they are looked for only when a
  // page end comes after a comment opener.
  std::size_t script_open = kNone, script_close = kNone;
  std::size_t style_open = kNone, style_close = kNone;
  std::size_t comment_open = kNone;
  const auto closed = [](std::size_t open, std::size_t close) {
    return open == kNone || (close != kNone && open < close);
  };
  for (std::size_t pos = NextAngle(output, 0); pos != kNone; pos = NextAngle(output, pos + 1)) {
    if (pos + 1 >= output.size()) break;
    switch (AsciiUpper(output[pos + 1])) {
      case 'S':
        if (TagAt(output, pos, "<SCRIPT")) script_open = pos;
        if (TagAt(output, pos, "<STYLE")) style_open = pos;
        break;
      case '!':
        if (TagAt(output, pos, "<!--")) comment_open = pos;
        break;
      case '/':
        if (TagAt(output, pos, "</SCRIPT")) {
          script_close = pos;
        } else if (TagAt(output, pos, "</STYLE")) {
          style_close = pos;
        } else if (pos > 0 && TagAt(output, pos, kPageEnd) && closed(script_open, script_close) &&
                   closed(style_open, style_close) &&
                   (comment_open == kNone || output.find("-->", comment_open) < pos)) {
          return pos;
        }
        break;
      default:
        break;
    }
  }
  return kNone;
}

bool ScanChunkInto(std::string_view chunk, bool end_of_data, int32_t& modified, int32_t& removed,
                   bool& footers_given, int32_t& carry_over, const SegmentJudges& judges,
                   SettingsSnapshot* settings, std::string* output) {
  carry_over = -1;
  SettingsSnapshot local_settings;
  SettingsSnapshot& chunk_settings = settings != nullptr ? *settings : local_settings;
  chunk_settings.Refresh();
  const ChunkSettingsScope settings_scope(&chunk_settings);

  // The output is the text in `out` followed by the chunk from `pending` up
  // to `rest`: text passes into `out` only once something before or in it
  // has changed, so a chunk that nothing changes is never copied.
  std::string out;
  std::size_t pending = 0;
  std::string judged;  // room for the judged copies, used again
  std::string result;
  bool changed = false;
  const auto produced = [&](std::size_t rest) { return out.size() + (rest - pending); };
  const auto change = [&](std::size_t upto) {
    if (!changed) out.reserve(chunk.size());
    changed = true;
    out.append(chunk.data() + pending, upto - pending);
  };

  // `rest` is where the as-received rest begins; nothing before it is looked
  // at again.
  std::size_t rest = 0;
  std::size_t page_end_in_chunk = std::string::npos;
  std::size_t unclosed_in_output = std::string::npos;
  bool any_segment = false;
  while (rest < chunk.size()) {
    bool is_applet = false;
    const std::size_t start = FindSegmentStart(chunk, rest, &is_applet, &page_end_in_chunk);
    if (start == std::string::npos) break;
    any_segment = true;
    const std::size_t close = FindClosingTag(chunk, start, is_applet ? kAppletClose : kLinkClose);
    if (close == std::string::npos) {
      // An unclosed segment: hold its tail back for the next chunk when it is
      // short next to what has been produced, so the segment can be judged
      // whole; a long tail passes unfiltered. At the end of the data nothing
      // more will come, so nothing is held back.
      const std::size_t tail = chunk.size() - rest;
      const std::size_t so_far = produced(rest);
      if (!end_of_data && tail < so_far / 2 &&
          so_far <= static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
        carry_over = static_cast<int32_t>(so_far);
        unclosed_in_output = so_far + (start - rest);
      }
      break;
    }

    const std::size_t end = close + (is_applet ? kAppletCloseLength : kLinkCloseLength);
    const std::string_view cut(chunk.data() + start, end - start);
    if (CrossesMarkupBoundary(cut)) {
      // Cut across a script, a style sheet or a comment (a link that a
      // script writes, whose "</A>" is the page's own): what it holds is not
      // one link, and removing it would take the page's content with it.
      if (judges.unjudged != nullptr) judges.unjudged(is_applet, std::string(cut));
    } else {
      const SegmentJudge judge = is_applet ? judges.applet : judges.link;
      bool goes = false;
      if (judge == (is_applet ? JudgeAppletSegment : JudgeLinkSegment)) {
        goes = JudgeSegmentInPlace(is_applet ? SegmentKind::kApplet : SegmentKind::kLink, cut,
                                   modified, removed, &judged, &result);
      } else {
        const std::string segment(cut);
        result = judge(segment, modified, removed);
        goes = result != segment;
      }
      if (goes) {
        change(start);
        out += result;
        pending = end;
      }
    }
    rest = end;
  }
  if (changed) change(chunk.size());
  const std::string_view text = changed ? std::string_view(out) : chunk;

  // Footers go once per page, in front of the first "</HTML>" past the very
  // start of the output that is not script, style or comment text. A page
  // end inside the held-back text gets its footers when that text is
  // scanned again, unless it comes before the unclosed segment: then they go
  // in now, judged with the whole chunk in view, and the held-back text
  // begins at the "</HTML>" (what lies between is plain text, which a second
  // scan would leave as it is). A page end at exactly the held-back index
  // gets them now too, and the index moves past them.
  std::size_t page_end = std::string::npos;
  // The page end is looked for with its script and comment context only in
  // a chunk that holds a "</HTML>" at all, which is found quickly.
  if (!footers_given && (page_end_in_chunk != std::string::npos ||
                         (any_segment && FindClosingTag(text, 0, kPageEnd) != std::string::npos))) {
    page_end = FindPageEnd(text);
  }
  if (page_end != std::string::npos && carry_over >= 0 &&
      page_end > static_cast<std::size_t>(carry_over) && page_end >= unclosed_in_output) {
    page_end = std::string::npos;
  }
  const std::string footers = page_end != std::string::npos
                                  ? PageFooters(chunk_settings, modified, removed)
                                  : std::string();
  if (footers.empty()) {
    if (changed) *output = std::move(out);
    return changed;
  }
  if (carry_over >= 0) {
    const std::size_t moved =
        std::max(static_cast<std::size_t>(carry_over), page_end) + footers.size();
    carry_over = moved <= static_cast<std::size_t>(std::numeric_limits<int32_t>::max())
                     ? static_cast<int32_t>(moved)
                     : -1;
  }
  output->clear();
  output->reserve(text.size() + footers.size());
  output->append(text.substr(0, page_end));
  output->append(footers);
  output->append(text.substr(page_end));
  footers_given = true;
  return true;
}

std::string ScanChunk(const std::string& chunk, bool end_of_data, int32_t& modified,
                      int32_t& removed, bool& footers_given, int32_t& carry_over,
                      const SegmentJudges& judges, SettingsSnapshot* settings) {
  std::string output;
  if (!ScanChunkInto(chunk, end_of_data, modified, removed, footers_given, carry_over, judges,
                     settings, &output)) {
    return chunk;
  }
  return output;
}

std::string ScanChunk(const std::string& chunk, bool end_of_data, int32_t& modified,
                      int32_t& removed, bool& footers_given, int32_t& carry_over) {
  return ScanChunk(chunk, end_of_data, modified, removed, footers_given, carry_over,
                   DefaultJudges());
}

}  // namespace velquor
