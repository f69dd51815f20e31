// The page scanner: cuts one chunk of an HTML page into link segments
// ("<A " up to the first "</A>") and applet segments ("<APPLET " up to the
// first "</APPLET>"), hands each to its judge, joins the chunk again with
// every segment replaced by its judge's answer, tells the caller how much of
// the tail to hold back until more data arrives, and inserts the page footers
// in front of the first "</HTML>". Called by the filter stream on every read.
// It keeps no state between calls: the page counters and the held-back text
// belong to the caller; settings are read from the store at each use. Safe on
// any thread as long as each caller passes its own counters.
#ifndef VELQUOR_ENGINE_PAGE_SCANNER_H_
#define VELQUOR_ENGINE_PAGE_SCANNER_H_

#include <cstdint>
#include <string>

namespace velquor {

// The judges' contract: given one segment in the page's own letter case and
// the two page counters by reference; returns the text that takes its place;
// may set modified to 1 and add 1 to removed, nothing else.
using SegmentJudge = std::string (*)(const std::string& segment, int32_t& modified,
                                     int32_t& removed);

struct SegmentJudges {
  SegmentJudge link;
  SegmentJudge applet;
};

// {JudgeLinkSegment, JudgeAppletSegment} of engine/judges.h.
SegmentJudges DefaultJudges();

// Scans one chunk (any bytes, zero bytes included) and returns the rewritten
// text. `end_of_data`: the inner protocol reported the end of the data in
// this read, so nothing is held back. Sets carry_over to -1 or the index in
// the result from which the caller holds text back for the next chunk.
// Footers go in front of the first "</HTML>" (any letter case) found after
// position 0 of the result, unless it lies inside the held-back text.
std::string ScanChunk(const std::string& chunk, bool end_of_data, int32_t& modified,
                      int32_t& removed, int32_t& carry_over, const SegmentJudges& judges);

// The same with DefaultJudges().
std::string ScanChunk(const std::string& chunk, bool end_of_data, int32_t& modified,
                      int32_t& removed, int32_t& carry_over);

// Fills the statistics footer template (string table entry 101): the first
// "%li" gets `removed` as a signed number, the second `killed` as an unsigned
// one; "%%" stands for "%"; anything else is copied as it is.
std::string FormatStatisticsFooter(const std::string& format, int32_t removed, uint32_t killed);

}  // namespace velquor

#endif  // VELQUOR_ENGINE_PAGE_SCANNER_H_
