#include "engine/page_scanner.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "platform/resources.h"
#include "platform/testing_registry.h"
#include "settings/store.h"

namespace velquor {
namespace {

// One profile directory for the whole program, so no test touches a real
// profile; each test sets the values it depends on.
const auto* const kProfile = ::testing::AddGlobalTestEnvironment(new TempProfileEnvironment);

// Test judges: they mark what they were given so boundaries show in the
// output, or remove and count as an advertisement would be.
std::string MarkLink(const std::string& s, int32_t&, int32_t&) { return "[L:" + s + "]"; }
std::string MarkApplet(const std::string& s, int32_t&, int32_t&) { return "[P:" + s + "]"; }
std::string Keep(const std::string& s, int32_t&, int32_t&) { return s; }
std::string RemoveAndCount(const std::string&, int32_t& modified, int32_t& removed) {
  modified = 1;
  ++removed;
  return "";
}
constexpr SegmentJudges kMarking{MarkLink, MarkApplet};
constexpr SegmentJudges kKeeping{Keep, Keep};
constexpr SegmentJudges kRemoving{RemoveAndCount, RemoveAndCount};

const std::string kModify = LoadResourceString(102);

std::string Stats(int32_t removed, uint32_t killed) {
  return FormatStatisticsFooter(LoadResourceString(101), removed, killed);
}

class PageScannerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetConfig("Test", 0);
    SetConfig("AddModify", 1);
    SetConfig("AddStats", 1);
    WriteStoreNumber(HKEY_CURRENT_USER, kStatsKey, "Killed", 0);
  }
  static void SetConfig(const char* name, uint32_t value) {
    WriteStoreNumber(HKEY_CURRENT_USER, kConfigKey, name, value);
  }

  std::string Scan(const std::string& chunk, const SegmentJudges& judges,
                   bool end_of_data = false) {
    return ScanChunk(chunk, end_of_data, modified_, removed_, footers_given_, carry_, judges);
  }

  int32_t modified_ = 0;
  bool footers_given_ = false;
  int32_t removed_ = 0;
  int32_t carry_ = 12345;
};

TEST_F(PageScannerTest, SegmentBoundaries) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"", ""},
      {"plain text, no tags", "plain text, no tags"},
      {"x<a href=1>t</a>y", "x[L:<a href=1>t</a>]y"},
      {"<A\nHREF=1>t</A><A\tHREF=2>u</A><A>v</A>", "<A\nHREF=1>t</A><A\tHREF=2>u</A><A>v</A>"},
      {"<A 1><A 2>x</A>y</A>", "[L:<A 1><A 2>x</A>]y</A>"},
      {"<APPLET c><A h>t</A></APPLET><b>", "[P:<APPLET c><A h>t</A></APPLET>]<b>"},
      {"<A h><applet c></applet></A>", "[L:<A h><applet c></applet></A>]"},
      {"<aPpLeT c>x</ApPlEt>", "[P:<aPpLeT c>x</ApPlEt>]"},
      {"<APPLET\nc></APPLET>", "<APPLET\nc></APPLET>"},
      {"<a 1>x</a> mid <a 2>y</A>!", "[L:<a 1>x</a>] mid [L:<a 2>y</A>]!"},
      {"<A 1>x</A ><A 2>", "<A 1>x</A ><A 2>"},
      {"<a 1></a><applet 2></applet><a 3></a>",
       "[L:<a 1></a>][P:<applet 2></applet>][L:<a 3></a>]"},
      {std::string("a\0<a \0>t</a>\0b", 15), std::string("a\0[L:<a \0>t</a>]\0b", 19)},
  };
  for (const auto& c : cases) {
    std::string out = Scan(c.in, kMarking);
    EXPECT_EQ(out, c.out) << "input: " << c.in;
    EXPECT_EQ(carry_, -1) << "input: " << c.in;
  }
}

TEST_F(PageScannerTest, UnclosedFirstSegmentPassesWholeChunk) {
  std::string out = Scan("text before <A HREF=x>no end", kMarking);
  EXPECT_EQ(out, "text before <A HREF=x>no end");
  EXPECT_EQ(carry_, -1);
}

TEST_F(PageScannerTest, HoldBackOnlyTailsShorterThanHalfTheOutput) {
  const struct {
    std::string in;
    const SegmentJudges* judges;
    bool end_of_data;
    int32_t carry;
  } cases[] = {
      {"x<A 1></A><A y", &kKeeping, false, 10},    // 4 < 10/2
      {"x<A 1></A><A yz", &kKeeping, false, -1},   // 5 is not < 5
      {"xx<A 1></A><A yz", &kKeeping, false, -1},  // 11/2 rounds down to 5
      {"xx<A 1></A><A y", &kKeeping, false, 11},
      {"x<A 1></A><A y", &kKeeping, true, -1},              // nothing more will come
      {"0123456789<A 1></A><A y", &kRemoving, false, 10},   // measured on the output
      {"0123456789<A 1></A>a<A y", &kRemoving, false, -1},  // plain text counts in the tail
  };
  for (const auto& c : cases) {
    std::string out = Scan(c.in, *c.judges, c.end_of_data);
    EXPECT_EQ(carry_, c.carry) << "input: " << c.in << " out: " << out;
  }
  EXPECT_EQ(Scan("0123456789<A 1></A><A y", kRemoving), "0123456789<A y");
}

TEST_F(PageScannerTest, FooterRules) {
  const std::string both0 = kModify + Stats(0, 0);
  const struct {
    const char* name;
    std::string in;
    uint32_t test, add_modify, add_stats;
    int32_t modified, removed;
    std::string out;
  } cases[] = {
      {"position 0", "</HTML>x", 1, 1, 1, 0, 0, "</HTML>x"},
      {"test mode", "x</html>y", 1, 1, 1, 0, 0, "x" + both0 + "</html>y"},
      {"nothing to report", "x</HTML>", 0, 1, 1, 0, 0, "x</HTML>"},
      {"modified only", "x</HTML>", 0, 1, 1, 1, 0, "x" + kModify + "</HTML>"},
      {"counted", "x</HTML>", 0, 1, 1, 1, 3, "x" + kModify + Stats(3, 0) + "</HTML>"},
      {"AddModify off", "x</HTML>", 0, 0, 1, 1, 3, "x" + Stats(3, 0) + "</HTML>"},
      {"AddStats off", "x</HTML>", 0, 1, 0, 1, 3, "x" + kModify + "</HTML>"},
      {"test overrides off", "x</HTML>", 7, 0, 0, 0, 0, "x" + both0 + "</HTML>"},
      {"first end only", "a</HTML>b</HTML>", 1, 1, 1, 0, 0, "a" + both0 + "</HTML>b</HTML>"},
      {"mixed case", "a</hTmL>", 1, 1, 1, 0, 0, "a" + both0 + "</hTmL>"},
      {"not an end tag", "a</HTML >", 1, 1, 1, 0, 0, "a</HTML >"},
  };
  for (const auto& c : cases) {
    SetConfig("Test", c.test);
    SetConfig("AddModify", c.add_modify);
    SetConfig("AddStats", c.add_stats);
    modified_ = c.modified;
    removed_ = c.removed;
    footers_given_ = false;
    EXPECT_EQ(Scan(c.in, kKeeping), c.out) << c.name;
    EXPECT_EQ(carry_, -1) << c.name;
  }
}

TEST_F(PageScannerTest, StatisticsFooterCountsThisChunkAndKilledTotal) {
  WriteStoreNumber(HKEY_CURRENT_USER, kStatsKey, "Killed", 42);
  removed_ = 2;  // from earlier chunks of the page
  std::string out = Scan("a<A 1></A><A 2></A>b</HTML>", kRemoving);
  EXPECT_EQ(out, "ab" + kModify + Stats(4, 42) + "</HTML>");
  EXPECT_NE(out.find("removed 4 ads from this page (removed 42 total ads.)"), std::string::npos)
      << out;
  EXPECT_EQ(modified_, 1);
  EXPECT_EQ(removed_, 4);
}

TEST_F(PageScannerTest, KilledTotalIsPrintedUnsigned) {
  SetConfig("Test", 1);
  WriteStoreNumber(HKEY_CURRENT_USER, kStatsKey, "Killed", 4294967295u);
  std::string out = Scan("a</HTML>", kKeeping);
  EXPECT_NE(out.find("(removed 4294967295 total ads.)"), std::string::npos) << out;
}

TEST_F(PageScannerTest, FootersAndHeldBackText) {
  SetConfig("Test", 1);
  const std::string both = kModify + Stats(0, 0);

  // "</HTML>" in the held-back tail but before the unclosed tag: the
  // footers go in now and the held-back text begins at the "</HTML>".
  std::string out = Scan("01234567890123456789<A 1></A>x</HTML><A ", kKeeping);
  EXPECT_EQ(out, "01234567890123456789<A 1></A>x" + both + "</HTML><A ");
  ASSERT_EQ(carry_, static_cast<int32_t>(30 + both.size()));
  footers_given_ = false;

  // "</HTML>" inside the unclosed segment: no footers now, index unchanged;
  // they come when the tail is scanned again.
  out = Scan("01234567890123456789<A 1></A>x<A </HTML>", kKeeping);
  EXPECT_EQ(carry_, 29) << out;
  EXPECT_EQ(out, "01234567890123456789<A 1></A>x<A </HTML>");
  EXPECT_FALSE(footers_given_);

  // "</HTML>" exactly at the held-back index: footers go out now, and the
  // held-back text begins with "</HTML>".
  out = Scan("01234567890123456789<A 1></A></HTML><A ", kKeeping);
  EXPECT_EQ(out, "01234567890123456789<A 1></A>" + both + "</HTML><A ");
  ASSERT_EQ(carry_, static_cast<int32_t>(29 + both.size()));
  EXPECT_EQ(out.substr(static_cast<std::size_t>(carry_)), "</HTML><A ");

  // Scanning that held-back text again adds nothing: the footers were given.
  EXPECT_EQ(Scan("</HTML><A 2>x</A></HTML>", kKeeping), "</HTML><A 2>x</A></HTML>");
  footers_given_ = false;

  // "</HTML>" before the held-back index: the index moves by the footers.
  out = Scan("01234567890123456789</HTML><A 1></A><A ", kKeeping);
  EXPECT_EQ(out, "01234567890123456789" + both + "</HTML><A 1></A><A ");
  ASSERT_EQ(carry_, static_cast<int32_t>(36 + both.size()));
  EXPECT_EQ(out.substr(static_cast<std::size_t>(carry_)), "<A ");
  footers_given_ = false;

  // At the end of the data the tail is not held back and gets its footers.
  out = Scan("01234567890123456789<A 1></A>x<A </HTML>", kKeeping, true);
  EXPECT_EQ(carry_, -1);
  EXPECT_EQ(out, "01234567890123456789<A 1></A>x<A " + both + "</HTML>");
}

// A segment cut across a script, a style sheet or a comment is not judged:
// it and the text before it pass unchanged, the counters stay, and scanning
// goes on after it.
TEST_F(PageScannerTest, SegmentsAcrossScriptStyleOrCommentAreNotJudged) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      // A link written by a script runs to the page's own "</A>".
      {"<script>document.write('<a href=\"http://ad/\">' + n + '<\\/a>');</script>"
       "<A HREF=\"/\">Home</A><a 2>x</a>",
       "<script>document.write('<a href=\"http://ad/\">' + n + '<\\/a>');</script>"
       "<A HREF=\"/\">Home</A>[L:<a 2>x</a>]"},
      {"<A 1><ScRiPt src=x></A>", "<A 1><ScRiPt src=x></A>"},
      {"<A 1><style>a{}</style></A>", "<A 1><style>a{}</style></A>"},
      {"<A 1></STYLE></A>", "<A 1></STYLE></A>"},
      {"<A 1><!-- c</A>", "<A 1><!-- c</A>"},
      {"<A 1>--></A>", "<A 1>--></A>"},
      {"<APPLET 1><script></script></APPLET>", "<APPLET 1><script></script></APPLET>"},
      {"a<A 1><!-- x --></A>b<A 2>y</A>", "a<A 1><!-- x --></A>b[L:<A 2>y</A>]"},
      // Near misses are judged.
      {"<A 1>- -> <! -- <SCRIP <STYL </SCRIP</A>", "[L:<A 1>- -> <! -- <SCRIP <STYL </SCRIP</A>]"},
      {"<A 1>x</A><!-- y -->", "[L:<A 1>x</A>]<!-- y -->"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Scan(c.in, kMarking), c.out) << "input: " << c.in;
  }
  EXPECT_EQ(Scan("<A 1><!--x--></A><A 2></A>", kRemoving), "<A 1><!--x--></A>");
  EXPECT_EQ(removed_, 1);
}

// Footers go before the first "</HTML>" past position 0 that stands outside
// script, style and comment text, and once a page.
TEST_F(PageScannerTest, FootersSkipScriptStyleAndCommentText) {
  SetConfig("Test", 1);
  const std::string both = kModify + Stats(0, 0);
  const struct {
    std::string in;
    bool given_before;
    std::string out;  // "@" marks where the footers go; none: unchanged
  } cases[] = {
      {"<script>document.write(\"</html>\")</script></HTML>", false,
       "<script>document.write(\"</html>\")</script>@</HTML>"},
      {"<SCRIPT>w(\"</html>\")", false, ""},
      {"<script></script><script>'</html>'</html>", false, ""},
      {"<style>/*</html>*/</style>x</html>", false, "<style>/*</html>*/</style>x@</html>"},
      {"<!-- </html> -->x</html>", false, "<!-- </html> -->x@</html>"},
      {"<!-- a --><!-- </html>", false, ""},
      {"<!-->x</html>", false, "<!-->x@</html>"},
      {"</HTML>x</HTML>", false, "</HTML>x@</HTML>"},
      {"x</HTML>", true, ""},
  };
  for (const auto& c : cases) {
    footers_given_ = c.given_before;
    const std::size_t at = c.out.find('@');
    const std::string expected =
        at == std::string::npos ? c.in : c.out.substr(0, at) + both + c.out.substr(at + 1);
    EXPECT_EQ(Scan(c.in, kKeeping), expected) << "input: " << c.in;
    EXPECT_EQ(footers_given_, c.given_before || at != std::string::npos) << "input: " << c.in;
  }
  // No footers due: the flag stays clear for a later chunk.
  SetConfig("Test", 0);
  footers_given_ = false;
  EXPECT_EQ(Scan("x</HTML>", kKeeping), "x</HTML>");
  EXPECT_FALSE(footers_given_);
}

TEST(FormatStatisticsFooter, FillsTwoFieldsSignedThenUnsigned) {
  EXPECT_EQ(FormatStatisticsFooter("%li|%li|%li|%%|%d|%", -5, 4294967295u),
            "-5|4294967295|%li|%|%d|%");
  EXPECT_EQ(FormatStatisticsFooter("", 1, 2), "");
  EXPECT_EQ(Stats(3, 17),
            "\r\n<HR><CENTER><B><A HREF=\"https://velquor.example/\">Velquor</A> removed 3 ads "
            "from this page (removed 17 total ads.)</B></CENTER>");
}

}  // namespace
}  // namespace velquor
