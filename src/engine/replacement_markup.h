// The replacement markup: the short piece of HTML that takes the place of a
// removed advertisement when the "Replace" setting is on. It is built from
// the user's template ("ReplaceHtml", string 109 of the string table by
// default) by filling in eleven placeholders with values taken from the
// removed segment and the settings.
//
// Called by the judges, once per counted removal, on the thread of the filter
// object that reads the page. Stateless: the template and "InstallDir" are
// read from the store on every call.
#ifndef VELQUOR_ENGINE_REPLACEMENT_MARKUP_H_
#define VELQUOR_ENGINE_REPLACEMENT_MARKUP_H_

#include <cstdint>
#include <string>

namespace velquor {

// The longest "%TEXT%" value before "<" and ">" in it are written as
// entities; a longer text keeps its first kTextCut - 3 bytes and "...".
inline constexpr std::size_t kTextCut = 80;

// The string table entry that holds the default template.
inline constexpr unsigned kDefaultTemplateString = 109;

// Builds the markup for `segment` (the removed segment in the page's own
// letter case) with the height and width read from its image or applet tag
// (0 when absent). A "%HEIGHT%" or "%WIDTH%" whose size is 0 or less stays in
// the markup as written. Placeholders are filled in a fixed order, in the
// template's own text only: a value once inserted is never searched again,
// so values taken from the page cannot leave the quotes they are put in nor
// grow the markup beyond the template's count of placeholders. Never fails; an empty template gives
// "".
std::string BuildReplacementMarkup(const std::string& segment, int32_t height, int32_t width);

}  // namespace velquor

#endif  // VELQUOR_ENGINE_REPLACEMENT_MARKUP_H_
