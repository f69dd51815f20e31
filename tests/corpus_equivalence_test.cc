// The filter's output on the whole generated corpus, at several read sizes,
// compared byte for byte with a plain reference kept here: a scanner that
// upper-cases its chunk and cuts the rests as it goes, judges that score
// keywords by one search per rule, and a stream that keeps surplus and
// held-back text apart. The fast paths of the real filter (tag search
// without an upper-cased copy, the keyword matcher, the settings cache) must
// never change a byte, a count or a footer. Runs in-process in a temporary
// profile with the built-in rules.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "corpus.h"
#include "e2e_util.h"
#include "engine/judges.h"
#include "engine/page_scanner.h"
#include "engine/replacement_markup.h"
#include "engine/scores.h"
#include "filter/filter_stream.h"
#include "inner_protocol.h"
#include "platform/registry.h"
#include "platform/resources.h"
#include "rules/keyword_rules.h"
#include "settings/store.h"
#include "text/text_helpers.h"

namespace velquor {
namespace {

using bench::CorpusPage;
using bench::PageFamilyName;
using host::EndOfData;
using host::MemoryProtocol;

int32_t Add(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// The reference's own judging state: its remembered ad link, and the
// removals it counted (the real judges count theirs in "Killed").
struct ReferenceState {
  std::string ad_link;
  uint32_t killed = 0;  // "Killed" as the real total should read now
};

std::string ReferenceJudge(bool applet, const std::string& segment, int32_t& modified,
                           int32_t& removed, ReferenceState& state) {
  if (ReadSetting(applet ? kApplets : kImages) == 0) return segment;
  std::string judged = UpperCase(segment);
  for (char& c : judged) {
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  }
  std::size_t tag = std::string::npos;
  for (const char* name : applet ? std::vector<const char*>{"<APPLET "}
                                 : std::vector<const char*>{"<IMG ", "<FIG ", "<OVERLAY "}) {
    tag = judged.find(name);
    if (tag != std::string::npos) break;
  }
  int32_t score = 0, width = 0, height = 0;
  if (tag == std::string::npos) {
    score = applet ? 0 : -50;
  } else {
    const std::size_t close = judged.find('>', tag);
    const std::string text =
        judged.substr(tag, close == std::string::npos ? std::string::npos : close - tag + 4);
    height = ReadNumberAttribute(text, "HEIGHT");
    width = ReadNumberAttribute(text, "WIDTH");
  }
  score = Add(score, SizeScore(width, height));
  score = Add(score, KeywordScoreByScanning(judged, nullptr));
  std::string target;
  bool repeat = false;
  if (!applet) {
    target = ReadTextAttribute(judged, "HREF");
    repeat = !IsEmptyText(state.ad_link) && state.ad_link == target;
    if (repeat) score = Add(score, 200);
  }
  if (score < 0 || static_cast<uint32_t>(score) < ReadSetting(kScore)) return segment;
  std::string result;
  if (!repeat) {
    modified = 1;
    removed = Add(removed, 1);
    ++state.killed;
    if (ReadSetting(kReplace) != 0) result = BuildReplacementMarkup(segment, height, width);
  }
  if (!applet) state.ad_link = target;
  return result;
}

// Whether the upper-cased text `before` leaves `opener` closed: its last
// `opener`, if any, lies before its last `closer`.
bool Closed(const std::string& before, const char* opener, const char* closer) {
  const std::size_t open = before.rfind(opener);
  const std::size_t close = before.rfind(closer);
  return open == std::string::npos || (close != std::string::npos && open < close);
}

std::string ReferenceScan(const std::string& chunk, bool end_of_data, int32_t& modified,
                          int32_t& removed, bool& footers_given, int32_t& carry_over,
                          ReferenceState& state) {
  carry_over = -1;
  std::size_t unclosed = std::string::npos;
  std::string rest = chunk, upper = UpperCase(chunk), output;
  for (;;) {
    const std::size_t link = upper.find("<A ");
    const std::size_t applet = upper.find("<APPLET ");
    if (link == std::string::npos && applet == std::string::npos) break;
    const bool is_applet =
        applet != std::string::npos && (link == std::string::npos || applet < link);
    const std::size_t start = is_applet ? applet : link;
    const std::size_t close = upper.find(is_applet ? "</APPLET>" : "</A>", start);
    if (close == std::string::npos) {
      if (!end_of_data && rest.size() < output.size() / 2) {
        carry_over = static_cast<int32_t>(output.size());
        unclosed = output.size() + start;
      }
      break;
    }
    const std::size_t length = close - start + (is_applet ? 9 : 4);
    const std::string cut = upper.substr(start, length);
    bool crosses = false;
    for (const char* edge : {"<SCRIPT", "</SCRIPT", "<STYLE", "</STYLE", "<!--", "-->"}) {
      crosses = crosses || cut.find(edge) != std::string::npos;
    }
    output += rest.substr(0, start);
    output += crosses
                  ? rest.substr(start, length)
                  : ReferenceJudge(is_applet, rest.substr(start, length), modified, removed, state);
    rest.erase(0, start + length);
    upper.erase(0, start + length);
  }
  output += rest;
  if (footers_given) return output;
  const std::string upper_output = UpperCase(output);
  std::size_t page_end = upper_output.find("</HTML>", 1);
  for (; page_end != std::string::npos; page_end = upper_output.find("</HTML>", page_end + 1)) {
    const std::string before = upper_output.substr(0, page_end);
    if (Closed(before, "<SCRIPT", "</SCRIPT") && Closed(before, "<STYLE", "</STYLE") &&
        Closed(before, "<!--", "-->")) {
      break;
    }
  }
  if (page_end == std::string::npos) return output;
  if (carry_over >= 0 && page_end > static_cast<std::size_t>(carry_over) && page_end >= unclosed) {
    return output;
  }
  const bool test = ReadSetting(kTest) != 0;
  std::string footers;
  if (test || (modified != 0 && ReadSetting(kAddModify) != 0)) footers += LoadResourceString(102);
  if (test || (removed > 0 && ReadSetting(kAddStats) != 0)) {
    footers += FormatStatisticsFooter(LoadResourceString(101), removed, state.killed);
  }
  if (footers.empty()) return output;
  if (carry_over >= 0) {
    carry_over = static_cast<int32_t>(std::max<std::size_t>(carry_over, page_end) + footers.size());
  }
  output.insert(page_end, footers);
  footers_given = true;
  return output;
}

// The whole page through the reference stream with reads of `read_size`.
std::string ReferenceFilter(const std::string& page, uint32_t read_size, ReferenceState& state) {
  MemoryProtocol inner(page);
  std::string out, surplus, held;
  int32_t modified = 0, removed = 0;
  bool footers_given = false;
  std::string buffer(read_size, '\0');
  for (;;) {
    if (!surplus.empty()) {
      const std::size_t n = std::min<std::size_t>(read_size, surplus.size());
      out += surplus.substr(0, n);
      surplus.erase(0, n);
      continue;
    }
    ULONG got = 0;
    const HRESULT result = inner.Read(buffer.data(), read_size, &got);
    int32_t carry = -1;
    std::string text = ReferenceScan(held + buffer.substr(0, got), result == S_FALSE, modified,
                                     removed, footers_given, carry, state);
    held.clear();
    if (carry >= 0) {
      held = text.substr(static_cast<std::size_t>(carry));
      text.resize(static_cast<std::size_t>(carry));
    }
    if (text.size() > read_size) {
      surplus = text.substr(read_size);
      text.resize(read_size);
    }
    out += text;
    if (result == S_FALSE && text.empty()) return out;
  }
}

// The whole page through a real filter stream with reads of `read_size`.
std::string RealFilter(const std::string& page, uint32_t read_size, bool separate_end = false) {
  FilterStream stream;
  MemoryProtocol inner(page, separate_end ? EndOfData::kSeparate : EndOfData::kWithData);
  std::string out;
  const HRESULT hr = host::PullPage(stream, inner, read_size,
                                    [&](const char* p, std::size_t n) { out.append(p, n); });
  EXPECT_EQ(hr, S_OK);
  return out;
}

class CorpusEquivalenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CloseRegistry();
    const char* old = std::getenv("VELQUOR_HOME");
    had_home_ = old != nullptr;
    if (had_home_) old_home_ = old;
    setenv("VELQUOR_HOME", home_.path().c_str(), 1);
    PresenceRules().clear();
    OccurrenceRules().clear();
    AddBuiltInRules();
  }
  void TearDown() override {
    CloseRegistry();
    if (had_home_) {
      setenv("VELQUOR_HOME", old_home_.c_str(), 1);
    } else {
      unsetenv("VELQUOR_HOME");
    }
    ProcessAdLink().Remember("");
  }

  void Set(const char* name, uint32_t value) {
    WriteStoreNumber(HKEY_CURRENT_USER, kConfigKey, name, value);
  }

  // Filters every page of the corpus at every read size with the real
  // stream and with the reference, and compares output and counts.
  void CompareOnCorpus(const std::vector<uint32_t>& read_sizes) {
    for (const CorpusPage& entry : bench::SmallCorpus(160 * 1024)) {
      const std::string page = bench::MakeCorpusPage(entry.family, entry.bytes, entry.seed);
      for (uint32_t read_size : read_sizes) {
        SCOPED_TRACE(std::string(PageFamilyName(entry.family)) + " " + std::to_string(entry.bytes) +
                     " bytes, seed " + std::to_string(entry.seed) + ", read size " +
                     std::to_string(read_size));
        const uint32_t killed_before = ReadSetting(kKilled);
        ProcessAdLink().Remember("");
        const std::string real = RealFilter(page, read_size);
        const uint32_t killed_after = ReadSetting(kKilled);

        ReferenceState state;
        state.killed = killed_before;
        const std::string expected = ReferenceFilter(page, read_size, state);
        ASSERT_EQ(real.size(), expected.size());
        ASSERT_TRUE(real == expected)
            << "first difference at byte "
            << std::mismatch(real.begin(), real.end(), expected.begin()).first - real.begin();
        ASSERT_EQ(killed_after, state.killed);
        // The corpus must exercise removals, or the comparison proves little.
        // (Reads much shorter than a segment let most segments through
        // unjudged: their tails are never short enough to hold back.)
        if (entry.family == bench::PageFamily::kPortal && read_size >= 512) {
          EXPECT_GT(killed_after, killed_before);
        }
      }
    }
  }

  test::TempDir home_;
  bool had_home_ = false;
  std::string old_home_;
};

TEST_F(CorpusEquivalenceTest, DefaultSettingsMatchTheReferenceAtEveryReadSize) {
  CompareOnCorpus({97, 512, 8192, 65536});
}

TEST_F(CorpusEquivalenceTest, ReplacementAndFootersMatchTheReference) {
  Set("Replace", 1);
  Set("Test", 1);
  CompareOnCorpus({512, 8192});
}

TEST_F(CorpusEquivalenceTest, ByteReadsMatchTheReferenceOnSmallPages) {
  for (bench::PageFamily family : bench::kAllPageFamilies) {
    SCOPED_TRACE(PageFamilyName(family));
    const std::string page = bench::MakeCorpusPage(family, 6 * 1024, 7);
    ProcessAdLink().Remember("");
    const uint32_t killed_before = ReadSetting(kKilled);
    const std::string real = RealFilter(page, 1);
    ReferenceState state;
    state.killed = killed_before;
    const std::string expected = ReferenceFilter(page, 1, state);
    ASSERT_TRUE(real == expected) << "real " << real.size() << " bytes, reference "
                                  << expected.size();
  }
}

TEST_F(CorpusEquivalenceTest, PagesAreCountedOncePerStart) {
  const uint32_t before = ReadSetting(kPages);
  const std::string page = bench::MakeCorpusPage(bench::PageFamily::kPlain, 10 * 1024, 1);
  for (int i = 0; i < 3; ++i) RealFilter(page, 8192);
  EXPECT_EQ(ReadSetting(kPages), before + 3);
}

// With both judges off and no footers, the filter changes nothing: every
// read size, and either way of reporting the end, gives the page itself.
TEST_F(CorpusEquivalenceTest, JudgesOffPassEveryPageUnchangedAtEveryReadSize) {
  Set("Images", 0);
  Set("Applets", 0);
  Set("Test", 0);
  for (const CorpusPage& entry : bench::SmallCorpus(40 * 1024)) {
    const std::string page = bench::MakeCorpusPage(entry.family, entry.bytes, entry.seed);
    for (uint32_t read_size : {1u, 3u, 64u, 4096u, 1u << 20}) {
      if (read_size == 1 && entry.bytes > 10 * 1024) continue;
      for (bool separate_end : {false, true}) {
        SCOPED_TRACE(std::string(PageFamilyName(entry.family)) + " " + std::to_string(entry.bytes) +
                     " bytes, read size " + std::to_string(read_size) +
                     (separate_end ? ", separate end" : ""));
        const std::string out = RealFilter(page, read_size, separate_end);
        ASSERT_EQ(out.size(), page.size());
        ASSERT_TRUE(out == page);
      }
    }
  }
}

// The vector tag searches give what the plain one gives, byte for byte: on
// the generated corpus, on every fuzz input taken as a page, and on a page
// put at every offset of a vector block, so that its tags also straddle the
// end of the chunk.
TEST_F(CorpusEquivalenceTest, VectorTagSearchesMatchThePlainOne) {
  Set("AddStats", 0);  // the total it shows grows from run to run
  Set("Replace", 1);
  std::vector<std::string> pages;
  for (const CorpusPage& entry : bench::SmallCorpus(40 * 1024)) {
    pages.push_back(bench::MakeCorpusPage(entry.family, entry.bytes, entry.seed));
  }
  for (const auto& dir : std::filesystem::directory_iterator(test::SourceDir() + "/fuzz/corpus")) {
    for (const auto& file : std::filesystem::directory_iterator(dir.path())) {
      pages.push_back(test::ReadFile(file.path().string()));
    }
  }
  for (int shift = 0; shift < 40; ++shift) {
    pages.push_back(std::string(shift, 'x') +
                    "<a href=/ads/1><img width=468 height=60></a>x<APPLET c></applet></HTML>"
                    "<a href=2><!-- --></a><a 4>--></a><a 5><Style></a><a 6>x</sCript></a>"
                    "<a 7><sx</a><A 3>tail</A");
  }
  for (const std::string& page : pages) {
    for (uint32_t read_size : {61u, 8192u}) {
      SCOPED_TRACE(std::to_string(page.size()) + " bytes, read size " + std::to_string(read_size));
      ASSERT_TRUE(UseTagSearch(TagSearch::kPlain));
      ProcessAdLink().Remember("");
      const std::string expected = RealFilter(page, read_size);
      for (TagSearch search : {TagSearch::kSse2, TagSearch::kAvx2}) {
        if (!UseTagSearch(search)) continue;
        ProcessAdLink().Remember("");
        ASSERT_TRUE(RealFilter(page, read_size) == expected);
      }
    }
  }
  UseTagSearch(TagSearch::kBest);
}

// The corpus is deterministic by seed and honours the sizes asked for.
TEST(CorpusTest, PagesAreDeterministicAndSized) {
  for (bench::PageFamily family : bench::kAllPageFamilies) {
    SCOPED_TRACE(PageFamilyName(family));
    const std::string a = bench::MakeCorpusPage(family, 50 * 1024, 3);
    EXPECT_EQ(a, bench::MakeCorpusPage(family, 50 * 1024, 3));
    EXPECT_NE(a, bench::MakeCorpusPage(family, 50 * 1024, 4));
    EXPECT_GE(a.size(), 50u * 1024);
    EXPECT_LE(a.size(), 50u * 1024 + 1024) << a.size();
    EXPECT_EQ(a.rfind("</BODY></HTML>\n"), a.size() - 15);
    const std::string upper = UpperCase(a);
    const bool has_segments =
        upper.find("<A ") != std::string::npos || upper.find("<APPLET ") != std::string::npos;
    EXPECT_EQ(has_segments, family != bench::PageFamily::kPlain);
  }
}

}  // namespace
}  // namespace velquor
