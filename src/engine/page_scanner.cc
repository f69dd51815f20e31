#include "engine/page_scanner.h"

#include <cstdio>
#include <cstring>
#include <limits>

#include "engine/judges.h"
#include "platform/resources.h"
#include "settings/store.h"

namespace velquor {
namespace {

constexpr char kLinkOpen[] = "<A ";
constexpr char kLinkClose[] = "</A>";
constexpr char kAppletOpen[] = "<APPLET ";
constexpr char kAppletClose[] = "</APPLET>";
constexpr char kPageEnd[] = "</HTML>";
constexpr std::size_t kLinkCloseLength = sizeof kLinkClose - 1;
constexpr std::size_t kAppletCloseLength = sizeof kAppletClose - 1;
constexpr std::size_t kPageEndLength = sizeof kPageEnd - 1;

constexpr UINT kStatisticsFooterId = 101;
constexpr UINT kModificationFooterId = 102;

std::string UpperCopy(const std::string& text) {
  std::string upper(text.size(), '\0');
  const unsigned char* in = reinterpret_cast<const unsigned char*>(text.data());
  unsigned char* out = reinterpret_cast<unsigned char*>(upper.data());
  // Branch-free so the compiler can vectorise it: a page is mostly letters.
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = in[i];
    out[i] = static_cast<unsigned char>(c - (static_cast<unsigned char>(c - 'a') < 26 ? 32 : 0));
  }
  return upper;
}

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// First position of `kPageEnd` in `text` compared as if `text` were
// upper-cased, or npos. Searches in place: the output may be large.
std::size_t FindPageEnd(const std::string& text) {
  if (text.size() < kPageEndLength) return std::string::npos;
  const char* base = text.data();
  const std::size_t last = text.size() - kPageEndLength;
  std::size_t pos = 0;
  while (pos <= last) {
    const void* hit = std::memchr(base + pos, '<', last - pos + 1);
    if (hit == nullptr) return std::string::npos;
    pos = static_cast<std::size_t>(static_cast<const char*>(hit) - base);
    std::size_t i = 1;
    while (i < kPageEndLength && AsciiUpper(base[pos + i]) == kPageEnd[i]) ++i;
    if (i == kPageEndLength) return pos;
    ++pos;
  }
  return std::string::npos;
}

// Finding an opening tag again from scratch after every segment would make
// a chunk full of links quadratic; a found position stays valid until the
// scan passes it, and "not found" stays true for the rest of the chunk.
class TagFinder {
 public:
  TagFinder(const std::string& upper, const char* tag) : upper_(upper), tag_(tag) {}

  std::size_t FindFrom(std::size_t from) {
    if (!searched_ || (found_ != std::string::npos && found_ < from)) {
      found_ = upper_.find(tag_, from);
      searched_ = true;
    }
    return found_;
  }

 private:
  const std::string& upper_;
  const char* tag_;
  std::size_t found_ = std::string::npos;
  bool searched_ = false;
};

// The footers due at the end of the page, in order, for the current counters
// and settings; "" when none is due.
std::string PageFooters(int32_t modified, int32_t removed) {
  const bool test = ReadSetting(kTest) != 0;
  std::string footers;
  if (test || (modified != 0 && ReadSetting(kAddModify) != 0)) {
    footers += LoadResourceString(kModificationFooterId);
  }
  if (test || (removed > 0 && ReadSetting(kAddStats) != 0)) {
    footers += FormatStatisticsFooter(LoadResourceString(kStatisticsFooterId), removed,
                                      ReadSetting(kKilled));
  }
  return footers;
}

}  // namespace

SegmentJudges DefaultJudges() { return SegmentJudges{JudgeLinkSegment, JudgeAppletSegment}; }

std::string FormatStatisticsFooter(const std::string& format, int32_t removed,
                                   uint32_t killed) {
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

std::string ScanChunk(const std::string& chunk, bool end_of_data, int32_t& modified,
                      int32_t& removed, int32_t& carry_over, const SegmentJudges& judges) {
  carry_over = -1;
  const std::string upper = UpperCopy(chunk);
  TagFinder links(upper, kLinkOpen);
  TagFinder applets(upper, kAppletOpen);
  std::string output;
  output.reserve(chunk.size());

  // `rest` is where the as-received rest begins; nothing before it is looked
  // at again.
  std::size_t rest = 0;
  while (rest < chunk.size()) {
    const std::size_t link = links.FindFrom(rest);
    const std::size_t applet = applets.FindFrom(rest);
    if (link == std::string::npos && applet == std::string::npos) break;

    const bool is_applet = applet != std::string::npos && (link == std::string::npos || applet < link);
    const std::size_t start = is_applet ? applet : link;
    const std::size_t close = upper.find(is_applet ? kAppletClose : kLinkClose, start);
    if (close == std::string::npos) {
      // An unclosed segment: hold its tail back for the next chunk when it is
      // short next to what has been produced, so the segment can be judged
      // whole; a long tail passes unfiltered. At the end of the data nothing
      // more will come, so nothing is held back.
      const std::size_t tail = chunk.size() - rest;
      if (!end_of_data && tail < output.size() / 2 &&
          output.size() <= static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
        carry_over = static_cast<int32_t>(output.size());
      }
      break;
    }

    const std::size_t end = close + (is_applet ? kAppletCloseLength : kLinkCloseLength);
    const std::string segment = chunk.substr(start, end - start);
    output.append(chunk, rest, start - rest);
    output += is_applet ? judges.applet(segment, modified, removed)
                        : judges.link(segment, modified, removed);
    rest = end;
  }
  output.append(chunk, rest, std::string::npos);

  // Footers go in front of the first "</HTML>" past the very start of the
  // output. When text is held back, a "</HTML>" inside it gets its footers
  // when that text is scanned again; one at exactly the held-back index gets
  // them now, and the index moves past them so that the "</HTML>" starts the
  // next chunk at position 0, where it receives none a second time.
  const std::size_t page_end = FindPageEnd(output);
  if (page_end == std::string::npos || page_end == 0) return output;
  if (carry_over >= 0 && page_end > static_cast<std::size_t>(carry_over)) return output;
  const std::string footers = PageFooters(modified, removed);
  if (footers.empty()) return output;
  if (carry_over >= 0) {
    const std::size_t moved = static_cast<std::size_t>(carry_over) + footers.size();
    carry_over = moved <= static_cast<std::size_t>(std::numeric_limits<int32_t>::max())
                     ? static_cast<int32_t>(moved)
                     : -1;
  }
  output.insert(page_end, footers);
  return output;
}

std::string ScanChunk(const std::string& chunk, bool end_of_data, int32_t& modified,
                      int32_t& removed, int32_t& carry_over) {
  return ScanChunk(chunk, end_of_data, modified, removed, carry_over, DefaultJudges());
}

}  // namespace velquor
