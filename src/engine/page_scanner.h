// The page scanner: cuts one chunk of an HTML page into link segments
// ("<A " up to the first "</A>") and applet segments ("<APPLET " up to the
// first "</APPLET>"), hands each to its judge, joins the chunk again with
// every segment replaced by its judge's answer, tells the caller how much of
// the tail to hold back until more data arrives, and inserts the page footers
// in front of the first "</HTML>" that closes the page. A segment that holds
// the edge of a script, a style sheet or a comment was cut out of markup that
// the scanner does not understand (a link written by a script, say) and
// passes unjudged. Called by the filter stream on every read. It keeps no
// state between calls: the page counters, the "footers given" flag and the
// held-back text belong to the caller; settings are read from the store at
// each use. Safe on any thread as long as each caller passes its own state.
#ifndef VELQUOR_ENGINE_PAGE_SCANNER_H_
#define VELQUOR_ENGINE_PAGE_SCANNER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "settings/store.h"

namespace velquor {

// The judges' contract: given one segment in the page's own letter case and
// the two page counters by reference; returns the text that takes its place;
// may set modified to 1 and add 1 to removed, nothing else.
using SegmentJudge = std::string (*)(const std::string& segment, int32_t& modified,
                                     int32_t& removed);

// Told of a segment that passes unjudged because it crosses a script, style
// or comment boundary (`applet`: which kind it is).
using SegmentNotice = void (*)(bool applet, const std::string& segment);

struct SegmentJudges {
  SegmentJudge link;
  SegmentJudge applet;
  SegmentNotice unjudged = nullptr;  // may be null
};

// {JudgeLinkSegment, JudgeAppletSegment} of engine/judges.h.
SegmentJudges DefaultJudges();

// Whether `segment` holds, in any letter case, "<SCRIPT", "</SCRIPT",
// "<STYLE", "</STYLE", "<!--" or "-->": such a segment is never judged.
bool CrossesMarkupBoundary(std::string_view segment);

// The first "</HTML>" (any letter case) of `output` at a position past 0 that
// stands outside a script, a style sheet and a comment: in the text before it
// the last "<SCRIPT" (if any) lies before the last "</SCRIPT", likewise for
// "<STYLE" and "</STYLE", and the last "<!--" (if any) before the last "-->".
// npos when none does.
std::size_t FindPageEnd(std::string_view output);

// Scans one chunk (any bytes, zero bytes included) and returns the rewritten
// text. `end_of_data`: the inner protocol reported the end of the data in
// this read, so nothing is held back. Sets carry_over to -1 or the index in
// the result from which the caller holds text back for the next chunk.
// Unless `footers_given` is set, the footers due go in front of the page end
// that FindPageEnd finds in the result, and `footers_given` is set once any
// went in; a page end inside the held-back text waits for that text's next
// scan, unless it comes before the unclosed segment (then the footers go in
// now and the held-back text begins at the "</HTML>"). The settings are read
// once for the chunk, into `settings` when given (refreshed first), so that a
// caller keeping one snapshot pays for reading them only after a change.
std::string ScanChunk(const std::string& chunk, bool end_of_data, int32_t& modified,
                      int32_t& removed, bool& footers_given, int32_t& carry_over,
                      const SegmentJudges& judges, SettingsSnapshot* settings = nullptr);

// The same over `chunk` where it lies, for a caller that holds the bytes
// where the result must go: false, with *output untouched, when the result
// is `chunk` itself (nothing judged away or replaced, no footers), so there
// is nothing to copy; true with the result in *output otherwise.
bool ScanChunkInto(std::string_view chunk, bool end_of_data, int32_t& modified, int32_t& removed,
                   bool& footers_given, int32_t& carry_over, const SegmentJudges& judges,
                   SettingsSnapshot* settings, std::string* output);

// The same with DefaultJudges().
std::string ScanChunk(const std::string& chunk, bool end_of_data, int32_t& modified,
                      int32_t& removed, bool& footers_given, int32_t& carry_over);

// The ways the scanner can search a chunk for tags. Each finds the same; the
// vector ones are faster where the processor has them.
enum class TagSearch { kBest, kPlain, kSse2, kAvx2 };

// Makes every scan of this process search with `search` from now on (kBest:
// the fastest this processor has); false, and nothing changed, when this
// build or processor lacks it. For tests that compare the ways, and
// benchmarks.
bool UseTagSearch(TagSearch search);

// Fills the statistics footer template (string table entry 101): the first
// "%li" gets `removed` as a signed number, the second `killed` as an unsigned
// one; "%%" stands for "%"; anything else is copied as it is.
std::string FormatStatisticsFooter(const std::string& format, int32_t removed, uint32_t killed);

}  // namespace velquor

#endif  // VELQUOR_ENGINE_PAGE_SCANNER_H_
