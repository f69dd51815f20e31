// The link and image judge and the applet judge: each decides whether one
// segment cut out by the page scanner is an advertisement and returns the
// text that takes its place. Called by the page scanner on the thread of the
// filter object that reads the page; the only state shared between threads
// is the remembered ad link and the store's totals.
#ifndef VELQUOR_ENGINE_JUDGES_H_
#define VELQUOR_ENGINE_JUDGES_H_

#include <cstdint>
#include <string>

namespace velquor {

// Judges a link segment ("<A " up to its "</A>", in the page's own letter
// case). Returns the segment unchanged, the empty text, or the replacement
// markup; may set `modified` to 1 and add 1 to `removed`, nothing else.
std::string JudgeLinkSegment(const std::string& segment, int32_t& modified,
                             int32_t& removed);

// The same for an applet segment ("<APPLET " up to its "</APPLET>").
std::string JudgeAppletSegment(const std::string& segment, int32_t& modified,
                               int32_t& removed);

}  // namespace velquor

#endif  // VELQUOR_ENGINE_JUDGES_H_
