#include "engine/judges.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "engine/judge_test_profile.h"
#include "engine/page_scanner.h"
#include "platform/resources.h"

namespace velquor {
namespace {

const std::string kBanner = R"(<A HREF="/go"><IMG SRC="b.gif" WIDTH=468 HEIGHT=60></A>)";

class JudgesTest : public test::ProfileTest {
 protected:
  // Judges with this test's own remembered link and the real "Killed" count.
  std::string Judge(SegmentKind kind, const std::string& segment, SegmentJudgement* j = nullptr) {
    const JudgeScope scope = {&ad_link_, true, true};
    SegmentJudgement local;
    return JudgeSegment(kind, segment, modified_, removed_, scope, j ? j : &local);
  }
  std::string Link(const std::string& segment, SegmentJudgement* j = nullptr) {
    return Judge(SegmentKind::kLink, segment, j);
  }
  std::string Applet(const std::string& segment, SegmentJudgement* j = nullptr) {
    return Judge(SegmentKind::kApplet, segment, j);
  }

  RememberedAdLink ad_link_;
  int32_t modified_ = 0;
  int32_t removed_ = 0;
};

struct ScoreCase {
  const char* name;
  SegmentKind kind;
  std::string segment;
  const char* tag;
  int32_t width, height, size_score, penalty, total;
  Verdict verdict;
};

// Sizes, tag search and the penalty, with only the built-in rules: every
// segment here is free of keywords unless stated.
TEST_F(JudgesTest, ScoresTagSizeAndPenalty) {
  const ScoreCase cases[] = {
      {"banner", SegmentKind::kLink, kBanner, "<IMG ", 468, 60, 100, 0, 100, Verdict::kRemoved},
      {"text link", SegmentKind::kLink, R"(<A HREF="/news/">News</A>)", "", 0, 0, 0, -50, -50,
       Verdict::kKept},
      {"image tag broken by a line break", SegmentKind::kLink,
       "<A HREF=/b><IMG\r\nSRC=x\tWIDTH=468\nHEIGHT=60></A>", "<IMG ", 468, 60, 100, 0, 100,
       Verdict::kRemoved},
      {"IMG preferred to an earlier FIG", SegmentKind::kLink,
       "<A HREF=/f><FIG WIDTH=88 HEIGHT=31><IMG SRC=x WIDTH=470 HEIGHT=55></A>", "<IMG ", 470, 55,
       65, 0, 65, Verdict::kKept},
      {"FIG when there is no IMG", SegmentKind::kLink, "<A HREF=/f><fig width=88 height=31></A>",
       "<FIG ", 88, 31, 98, 0, 98, Verdict::kKept},
      {"OVERLAY last", SegmentKind::kLink, "<A HREF=/f><OVERLAY WIDTH=468 HEIGHT=60></A>",
       "<OVERLAY ", 468, 60, 100, 0, 100, Verdict::kRemoved},
      {"attributes past the tag end are not read", SegmentKind::kLink,
       "<A HREF=/x><IMG SRC=x.gif>abc WIDTH=468 HEIGHT=60</A>", "<IMG ", 0, 0, 0, 0, 0,
       Verdict::kKept},
      {"the tag ends at its first '>', quoted or not", SegmentKind::kLink,
       "<A HREF=/x><IMG SRC=\"a>b\" WIDTH=468 HEIGHT=60></A>", "<IMG ", 0, 0, 0, 0, 0,
       Verdict::kKept},
      {"lower-case applet", SegmentKind::kApplet,
       "<applet code=x.class width=468 height=60></applet>", "<APPLET ", 468, 60, 100, 0, 100,
       Verdict::kRemoved},
      {"applet without size", SegmentKind::kApplet, "<APPLET CODE=Ticker.class>x</APPLET>",
       "<APPLET ", 0, 0, 0, 0, 0, Verdict::kKept},
  };
  for (const ScoreCase& c : cases) {
    SCOPED_TRACE(c.name);
    ad_link_.Remember("");
    SegmentJudgement j;
    Judge(c.kind, c.segment, &j);
    EXPECT_EQ(j.tag, c.tag);
    EXPECT_EQ(j.width, c.width);
    EXPECT_EQ(j.height, c.height);
    EXPECT_EQ(j.size_score, c.size_score);
    EXPECT_EQ(j.penalty, c.penalty);
    EXPECT_EQ(j.keyword_score, 0);
    EXPECT_EQ(j.total, c.total);
    EXPECT_EQ(j.verdict, c.verdict);
  }
}

TEST_F(JudgesTest, BannerIsRemovedCountedAndRemembered) {
  SegmentJudgement j;
  EXPECT_EQ(Link(kBanner, &j), "");
  EXPECT_EQ(j.verdict, Verdict::kRemoved);
  EXPECT_EQ(j.link_target, "/GO");
  EXPECT_TRUE(j.threshold_read);
  EXPECT_EQ(j.threshold, 100u);
  EXPECT_EQ(modified_, 1);
  EXPECT_EQ(removed_, 1);
  EXPECT_EQ(Killed(), 1u);
  EXPECT_EQ(ad_link_.Get(), "/GO");
}

TEST_F(JudgesTest, RepeatIsRemovedSilentlyEvenWithReplace) {
  SetNumber("Replace", 1);
  ASSERT_NE(Link(kBanner), "");
  ASSERT_EQ(removed_, 1);
  SegmentJudgement j;
  EXPECT_EQ(Link(R"(<a href="/go">More offers</a>)", &j), "");
  EXPECT_EQ(j.verdict, Verdict::kRemovedAsRepeat);
  EXPECT_EQ(j.repeat_bonus, 200);
  EXPECT_EQ(j.total, 150);
  EXPECT_EQ(removed_, 1);
  EXPECT_EQ(Killed(), 1u);
  EXPECT_EQ(ad_link_.Get(), "/GO");
}

TEST_F(JudgesTest, RepeatBelowThresholdIsKeptAndLinkUnchanged) {
  ad_link_.Remember("/GO");
  // -50 penalty, -50 for "FTP://", -30 for "DOWNLOAD", +200: 70.
  const std::string segment = R"(<A HREF="/go">ftp://x download</A>)";
  SegmentJudgement j;
  EXPECT_EQ(Link(segment, &j), segment);
  EXPECT_EQ(j.total, 70);
  EXPECT_EQ(j.verdict, Verdict::kKept);
  EXPECT_EQ(ad_link_.Get(), "/GO");
  EXPECT_EQ(removed_, 0);
  EXPECT_EQ(modified_, 0);
}

TEST_F(JudgesTest, RemovalWithoutTargetForgetsTheLink) {
  ad_link_.Remember("/GO");
  EXPECT_EQ(Link("<A NAME=top><IMG WIDTH=468 HEIGHT=60></A>"), "");
  EXPECT_EQ(ad_link_.Get(), "");
  // An empty remembered link matches nothing, not even a link without target.
  SegmentJudgement j;
  Link("<A NAME=x>y</A>", &j);
  EXPECT_EQ(j.repeat_bonus, 0);
}

TEST_F(JudgesTest, ThresholdComparedUnsigned) {
  SetNumber("Score", 0);
  EXPECT_EQ(Link("<A HREF=/x><IMG SRC=a></A>"), "");  // total 0 reaches 0
  const std::string text = "<A HREF=/y>y</A>";
  EXPECT_EQ(Link(text), text);  // -50 is never an advertisement
  EXPECT_EQ(removed_, 1);

  SetNumber("Score", 0xFFFFFFFFu);
  SegmentJudgement j;
  EXPECT_EQ(Link(kBanner, &j), kBanner);
  EXPECT_EQ(j.threshold, 0xFFFFFFFFu);
  const std::string applet = "<APPLET CODE=a WIDTH=468 HEIGHT=60></APPLET>";
  EXPECT_EQ(Applet(applet), applet);
  EXPECT_EQ(removed_, 1);
}

TEST_F(JudgesTest, SwitchedOffJudgesPassEverything) {
  const std::string applet = "<APPLET CODE=a WIDTH=468 HEIGHT=60></APPLET>";
  SetNumber("Images", 0);
  ad_link_.Remember("/GO");
  SegmentJudgement j;
  EXPECT_EQ(Link(kBanner, &j), kBanner);
  EXPECT_EQ(j.verdict, Verdict::kNotJudged);
  EXPECT_EQ(ad_link_.Get(), "/GO");
  EXPECT_EQ(Applet(applet), "");  // applets are still judged
  EXPECT_EQ(removed_, 1);

  SetNumber("Images", 1);
  SetNumber("Applets", 0);
  EXPECT_EQ(Applet(applet, &j), applet);
  EXPECT_EQ(j.verdict, Verdict::kNotJudged);
  ad_link_.Remember("");
  EXPECT_EQ(Link(kBanner), "");
  EXPECT_EQ(removed_, 2);
  EXPECT_EQ(Killed(), 2u);
}

TEST_F(JudgesTest, ReplacementIsBuiltFromTheSegmentAsItCame) {
  SetNumber("Replace", 1);
  SegmentJudgement j;
  EXPECT_EQ(Link(R"(<a href="/Offer/7"><img src=x width=468 height=60 alt="Spring Sale"></a>)", &j),
            "{Ad: <A  HREF='/Offer/7'>Spring Sale</A>}");
  EXPECT_EQ(j.verdict, Verdict::kReplaced);
  SetText("ReplaceHtml", "[%WIDTH%%HEIGHT%]");
  EXPECT_EQ(Applet("<APPLET CODE=a WIDTH=468 HEIGHT=60></APPLET>"), "[ WIDTH=468 HEIGHT=60]");
  EXPECT_EQ(removed_, 2);
}

TEST_F(JudgesTest, IdenticalAppletsAreAllCountedAndLeaveTheLinkAlone) {
  ad_link_.Remember("/GO");
  const std::string applet = R"(<APPLET CODE="Ad.class" HREF="/go" WIDTH=468 HEIGHT=60></APPLET>)";
  SegmentJudgement j;
  EXPECT_EQ(Applet(applet, &j), "");
  EXPECT_EQ(j.repeat_bonus, 0);
  EXPECT_EQ(j.link_target, "");
  EXPECT_EQ(Applet(applet, &j), "");
  EXPECT_EQ(j.verdict, Verdict::kRemoved);
  EXPECT_EQ(removed_, 2);
  EXPECT_EQ(Killed(), 2u);
  EXPECT_EQ(ad_link_.Get(), "/GO");
}

TEST_F(JudgesTest, KeywordsAndPairsAreExplained) {
  // "FREE" and "BANNER" pair (+150), "BANNER" twice (+10 each), "HTTP://" (+5).
  SegmentJudgement j;
  Link(R"(<A HREF="http://x.example/">Free banner, banner</A>)", &j);
  EXPECT_EQ(j.keyword_score, 175);
  EXPECT_EQ(j.total, 125);
  ASSERT_EQ(j.keyword_hits.size(), 3u);
  EXPECT_EQ(j.keyword_hits[0].keyword, "HTTP://");
  EXPECT_EQ(j.keyword_hits[1].keyword, "BANNER");
  EXPECT_EQ(j.keyword_hits[1].occurrences, 2);
  EXPECT_EQ(j.keyword_hits[1].contribution, 20);
  EXPECT_EQ(j.keyword_hits[2].kind, KeywordHit::kWordPair);
  EXPECT_EQ(j.keyword_hits[2].contribution, 150);
  EXPECT_EQ(j.verdict, Verdict::kRemoved);
}

TEST_F(JudgesTest, TotalWrapsInsteadOfOverflowing) {
  AddPresenceRule("JACKPOT", 2147483647);
  SegmentJudgement j;
  const std::string segment = "<A HREF=/j><IMG WIDTH=468 HEIGHT=60>JACKPOT</A>";
  EXPECT_EQ(Link(segment, &j), segment);
  EXPECT_EQ(j.total, -2147483647 + 98);
  EXPECT_FALSE(j.threshold_read);
}

// The process-wide judges: the remembered link is the process's own.
TEST_F(JudgesTest, ProcessJudgesShareOneRememberedLink) {
  ProcessAdLink().Remember("");
  int32_t modified = 0, removed = 0;
  EXPECT_EQ(JudgeLinkSegment(R"(<A HREF="/p1"><IMG WIDTH=468 HEIGHT=60></A>)", modified, removed),
            "");
  EXPECT_EQ(ProcessAdLink().Get(), "/P1");
  EXPECT_EQ(JudgeAppletSegment("<APPLET WIDTH=468 HEIGHT=60 HREF=/p2></APPLET>", modified, removed),
            "");
  EXPECT_EQ(ProcessAdLink().Get(), "/P1");
  EXPECT_EQ(JudgeLinkSegment("<A HREF=/p1>again</A>", modified, removed), "");
  EXPECT_EQ(removed, 2);
  EXPECT_EQ(modified, 1);
  EXPECT_EQ(Killed(), 2u);
  ProcessAdLink().Remember("");
}

// Filter objects on several threads judge at once: the remembered link is
// read and replaced without a data race (run under -fsanitize=thread), and
// every counted removal reaches "Killed".
TEST_F(JudgesTest, ThreadsShareTheRememberedLinkSafely) {
  ProcessAdLink().Remember("");
  constexpr int kThreads = 4;
  constexpr int kRounds = 60;
  std::atomic<int> counted{0}, repeats{0}, other{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const JudgeScope scope = {&ProcessAdLink(), true, false};
      int32_t modified = 0, removed = 0;
      for (int i = 0; i < kRounds; ++i) {
        const std::string target = "/t" + std::to_string(t) + "/" + std::to_string(i % 3);
        const std::string segment = "<A HREF=\"" + target + "\"><IMG WIDTH=468 HEIGHT=60></A>";
        SegmentJudgement j;
        JudgeSegment(SegmentKind::kLink, segment, modified, removed, scope, &j);
        if (j.verdict == Verdict::kRemoved) {
          ++counted;
        } else if (j.verdict == Verdict::kRemovedAsRepeat) {
          ++repeats;
        } else {
          ++other;
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(other.load(), 0);
  EXPECT_EQ(counted.load() + repeats.load(), kThreads * kRounds);
  EXPECT_EQ(Killed(), static_cast<uint32_t>(counted.load()));
  const std::string last = ProcessAdLink().Get();
  EXPECT_EQ(last.substr(0, 2), "/T") << last;
  ProcessAdLink().Remember("");
}

// Through the scanner: the footers tell only of counted removals, so a page
// whose only advertisement repeats the remembered link gets none, while the
// page that first removed it reports it, in either letter case of the end tag.
TEST_F(JudgesTest, PagesWhoseOnlyRemovalsAreRepeatsGetNoFooters) {
  ProcessAdLink().Remember("");
  const std::string modify = LoadResourceString(102);
  const std::string page = "<P>" + kBanner + "<A HREF=/news>News</A></html>";
  const struct {
    const char* name;
    std::string expected;
    int32_t modified, removed;
    uint32_t killed;
  } pages[] = {
      {"first page: counted",
       "<P><A HREF=/news>News</A>" + modify +
           FormatStatisticsFooter(LoadResourceString(101), 1, 1) + "</html>",
       1, 1, 1},
      {"second page: a repeat, silent", "<P><A HREF=/news>News</A></html>", 0, 0, 1},
  };
  for (const auto& p : pages) {
    SCOPED_TRACE(p.name);
    int32_t modified = 0, removed = 0, carry = 0;
    bool footers_given = false;
    EXPECT_EQ(ScanChunk(page, false, modified, removed, footers_given, carry), p.expected);
    EXPECT_EQ(carry, -1);
    EXPECT_EQ(modified, p.modified);
    EXPECT_EQ(removed, p.removed);
    EXPECT_EQ(Killed(), p.killed);
  }
  ProcessAdLink().Remember("");
}

}  // namespace
}  // namespace velquor
