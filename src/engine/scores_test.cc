#include "engine/scores.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "rules/keyword_rules.h"

namespace velquor {
namespace {

using std::string_literals::operator""s;

struct SizeCase {
  int32_t width, height, expected;
};

TEST(SizeScoreTest, RowsAndHeightRules) {
  const SizeCase cases[] = {
      {468, 60, 100},
      {440, 40, 90},
      {234, 60, 90},
      {100, 45, 90},
      {100, 50, 90},
      {120, 60, 90},
      {88, 31, 98},
      {470, 55, 65},
      {480, 51, 50},
      {468, 70, 50},
      {0, 60, 50},
      {0, 0, 0},
      {125, 60, 50},
      {122, 60, 85},
      {234, 61, 45},
      {100, 48, 75},
      {100, 49, 75},
      {1, 31, 45},
      {1, 45, 45},
      {1, 46, 0},
      // Row boundaries around 468 with height rule A.
      {464, 60, 90},
      {472, 60, 90},
      {463, 60, 80},
      {473, 60, 80},
      {460, 60, 80},
      {476, 60, 80},
      {459, 60, 75},
      {477, 60, 75},
      {456, 60, 75},
      {455, 60, 50},
      {481, 60, 50},
      {468, 58, 90},
      {468, 62, 90},
      {468, 57, 80},
      {468, 64, 80},
      {468, 55, 75},
      {468, 69, 75},
      {468, 51, 75},
      {468, 50, 50},
      // 440 and rule B.
      {436, 40, 75},
      {444, 42, 60},
      {445, 40, 0},
      {440, 43, 45},
      {435, 60, 50},
      // 88 and rule D.
      {86, 31, 89},
      {90, 29, 80},
      {84, 34, 60},
      {92, 35, 60},
      {83, 31, 45},
      {93, 31, 45},
      {88, 36, 49},
      // 100 and rule E.
      {98, 45, 85},
      {102, 47, 80},
      {96, 41, 60},
      {104, 50, 75},
      {95, 45, 45},
      {105, 45, 45},
      {100, 40, 45},
      // 120 and rule F.
      {118, 60, 85},
      {121, 62, 80},
      {120, 63, 45},
      {117, 60, 50},
      // Extreme sizes: distances do not overflow.
      {INT32_MIN, INT32_MIN, 0},
      {INT32_MAX, INT32_MAX, 0},
      {INT32_MIN, 60, 50},
      {468, INT32_MIN, 50},
      {88, INT32_MAX, 49},
      {-468, 60, 50},
  };
  for (const SizeCase& c : cases) {
    EXPECT_EQ(SizeScore(c.width, c.height), c.expected)
        << "width " << c.width << " height " << c.height;
  }
}

TEST(CountOccurrencesTest, NonOverlapping) {
  const std::tuple<std::string, std::string, int32_t> cases[] = {
      {"AD/AD/", "AD/", 2}, {"AAA", "AA", 1},      {"AAAA", "AA", 2},   {"ABC", "", 0},
      {"", "A", 0},         {"X\0X\0"s, "\0"s, 2}, {"ABABA", "ABA", 1},
  };
  for (const auto& [text, keyword, expected] : cases) {
    EXPECT_EQ(CountOccurrences(text, keyword), expected)
        << "text " << text << " keyword " << keyword;
  }
}

// Each test sets the two process-wide lists itself and leaves them holding
// the built-in rules, as a started library has them.
class KeywordScoreTest : public ::testing::Test {
 protected:
  void SetUp() override { Clear(); }
  void TearDown() override {
    Clear();
    AddBuiltInRules();
  }
  static void Clear() {
    PresenceRules().clear();
    OccurrenceRules().clear();
  }
  // Checks both implementations against the expected sum and returns the
  // hits of the matcher.
  static std::vector<KeywordHit> Expect(const std::string& judged, int32_t expected) {
    std::vector<KeywordHit> hits;
    EXPECT_EQ(KeywordScore(judged), expected) << "judged: " << judged;
    EXPECT_EQ(KeywordScore(judged, &hits), expected) << "judged: " << judged;
    EXPECT_EQ(KeywordScoreByScanning(judged, nullptr), expected) << "judged: " << judged;
    return hits;
  }
};

std::string Describe(const std::vector<KeywordHit>& hits) {
  std::string out;
  for (const KeywordHit& h : hits) {
    const char* kind = h.kind == KeywordHit::kPresence     ? "P"
                       : h.kind == KeywordHit::kOccurrence ? "N"
                                                           : "W";
    out += std::string(kind) + " " + h.keyword + " x" + std::to_string(h.occurrences) + " = " +
           std::to_string(h.contribution) + "\n";
  }
  return out;
}

TEST_F(KeywordScoreTest, WordPairsWithoutRules) {
  Expect("", 0);
  EXPECT_EQ(Describe(Expect("FREE BANNER EXCHANGE", 300)),
            "W FREE+BANNER x1 = 150\nW BANNER+EXCHANGE x1 = 150\n");
  // Either order, inside longer words, all seven at once.
  Expect("ADVERTISING IS FREEWARE", 150);
  Expect("MARKETING LINK MEMBER FREE ADVERTIS BANNERS EXCHANGE", 7 * 150);
  Expect("free banner", 0);  // judged copies are upper case
}

TEST_F(KeywordScoreTest, PresenceOnceOccurrencePerMatch) {
  PresenceRules().append("AD", 5);
  OccurrenceRules().append("X", -3);
  OccurrenceRules().append("AA", 4);
  EXPECT_EQ(Describe(Expect("AD AD AD X X X AAA", 5 - 9 + 4)),
            "P AD x3 = 5\nN X x3 = -9\nN AA x1 = 4\n");
  // Duplicates count on their own, in both lists.
  PresenceRules().append("AD", 5);
  OccurrenceRules().append("AD", 1);
  EXPECT_EQ(Describe(Expect("AD AD", 10 + 2)), "P AD x2 = 5\nP AD x2 = 5\nN AD x2 = 2\n");
}

TEST_F(KeywordScoreTest, SumsWrapAsSigned32Bit) {
  OccurrenceRules().append("M", INT32_MAX);
  Expect("M M", -2);
  PresenceRules().append("P", INT32_MAX);
  PresenceRules().append("Q", 1);
  Expect("PQ", INT32_MIN);
  OccurrenceRules().append("N", INT32_MIN);
  Expect("NNN", INT32_MIN);
}

TEST_F(KeywordScoreTest, BuiltInRulesOnAnAdLink) {
  AddBuiltInRules();
  const std::string judged = "<A HREF=\"HTTP://ADS.EXAMPLE.COM/AD/CLICK?ADID=5\">";
  EXPECT_EQ(Describe(Expect(judged, 280)),
            "P ?ADID= x1 = 85\nP HTTP:// x1 = 5\nN /AD x2 = 40\n"
            "N AD/ x1 = 20\nN /AD/ x1 = 65\nN /ADS. x1 = 65\n");
  // "DOWNLOAD/" also holds "AD/".
  Expect("<A HREF=\"FTP://FILES.EXAMPLE.COM/DOWNLOAD/\">", -50 - 30 + 20);
  Expect("<A HREF=\"AD/BUY\">FREE BANNER</A>", 65 + 20 + 10 + 10 + 150);
}

TEST_F(KeywordScoreTest, ZeroBytesAreOrdinaryBytes) {
  PresenceRules().append("A\0B"s, 7);
  OccurrenceRules().append("\0"s, 1);
  Expect("A\0B\0"s, 7 + 2);
  Expect("AB"s, 0);
}

// Random keywords and texts over a small alphabet that makes overlaps,
// shared prefixes and suffixes common; the matcher must agree with plain
// searching on every sum and every hit.
TEST_F(KeywordScoreTest, MatcherAgreesWithScanningOnRandomInputs) {
  std::mt19937 random(12345);
  const std::string alphabet = "AB/\"D\0E"s;
  const auto word = [&](int max_length) {
    std::string w(1 + random() % max_length, ' ');
    for (char& c : w) c = alphabet[random() % alphabet.size()];
    return w;
  };
  for (int round = 0; round < 200; ++round) {
    Clear();
    const int presence = random() % 30;
    const int occurrence = random() % 30;
    for (int i = 0; i < presence; ++i) {
      PresenceRules().append(word(5), static_cast<int32_t>(random()));
    }
    for (int i = 0; i < occurrence; ++i) {
      OccurrenceRules().append(word(5), static_cast<int32_t>(random()));
    }
    if (round % 4 == 0) AddBuiltInRules();
    for (int t = 0; t < 20; ++t) {
      std::string text = word(200);
      if (t % 5 == 0) text += " FREE BANNER LINK EXCHANGE /AD/";
      std::vector<KeywordHit> fast, plain;
      const int32_t expected = KeywordScoreByScanning(text, &plain);
      ASSERT_EQ(KeywordScore(text), expected) << "round " << round;
      ASSERT_EQ(KeywordScore(text, &fast), expected) << "round " << round;
      ASSERT_EQ(Describe(fast), Describe(plain)) << "round " << round;
    }
  }
}

// The matcher reads long texts in several stretches side by side; a keyword
// that straddles the cut between two stretches, or ends exactly at one, must
// be counted once, and overlapping runs across a cut must still not overlap.
TEST_F(KeywordScoreTest, KeywordsAcrossEveryCutOfALongText) {
  PresenceRules().append("BANNERCUT", 7);
  OccurrenceRules().append("ABA", 5);
  OccurrenceRules().append("Q", 1);
  for (size_t length = 60; length <= 300; length += 7) {
    for (size_t at = 0; at + 9 <= length; ++at) {
      std::string text(length, '.');
      std::copy_n("BANNERCUT", 9, text.begin() + at);
      for (size_t i = at % 5; i + 5 <= length; i += 37) {
        std::copy_n("ABABA", 5, text.begin() + i);
      }
      text[length - 1] = 'Q';
      std::vector<KeywordHit> fast, plain;
      const int32_t expected = KeywordScoreByScanning(text, &plain);
      ASSERT_EQ(KeywordScore(text), expected) << "length " << length << " at " << at;
      ASSERT_EQ(KeywordScore(text, &fast), expected) << "length " << length;
      ASSERT_EQ(Describe(fast), Describe(plain)) << "length " << length << " at " << at;
    }
  }
}

// "P123" and the like, built without the string concatenation that g++ 12
// misreads as an overlapping copy at -O3.
std::string NumberedWord(char letter, unsigned number) {
  char word[16];
  std::snprintf(word, sizeof word, "%c%u", letter, number);
  return word;
}

TEST_F(KeywordScoreTest, ThousandUserRulesInEachList) {
  std::mt19937 random(7);
  for (int i = 0; i < 1000; ++i) {
    PresenceRules().append(NumberedWord('P', random() % 5000), i);
    OccurrenceRules().append(NumberedWord('O', random() % 5000), -i);
  }
  std::string text;
  for (int i = 0; i < 300; ++i) {
    text += NumberedWord(i % 2 ? 'P' : 'O', random() % 5000);
    text += ' ';
  }
  std::vector<KeywordHit> fast, plain;
  const int32_t expected = KeywordScoreByScanning(text, &plain);
  EXPECT_EQ(KeywordScore(text), expected);
  EXPECT_EQ(KeywordScore(text, &fast), expected);
  EXPECT_EQ(Describe(fast), Describe(plain));
  EXPECT_GT(plain.size(), 100u);
}

// Small rule sets are counted one keyword at a time as occurrences come,
// larger ones by grouping their occurrences; around the boundary between the
// two, keywords that overlap themselves ("/AD/" in "/AD/AD/") must still be
// counted without overlap, and each hit reported once.
TEST_F(KeywordScoreTest, SelfOverlappingKeywordsAroundTheSmallSetBoundary) {
  for (int extra = 40; extra <= 60; ++extra) {
    Clear();
    OccurrenceRules().append("/AD/", 65);
    OccurrenceRules().append("ABA", 5);
    PresenceRules().append("AA", 3);
    for (int i = 0; i < extra; ++i) {
      PresenceRules().append(NumberedWord('Z', static_cast<unsigned>(i)), 1);
    }
    const std::string text = "/AD/AD/AD/ ABABABA AAAA Z7 Z12 Z7";
    std::vector<KeywordHit> fast, plain;
    const int32_t expected = KeywordScoreByScanning(text, &plain);
    ASSERT_EQ(KeywordScore(text), expected) << "extra " << extra;
    ASSERT_EQ(KeywordScore(text, &fast), expected) << "extra " << extra;
    ASSERT_EQ(Describe(fast), Describe(plain)) << "extra " << extra;
    // "/AD/" twice, "ABA" twice, "AA" once, and Z1, Z7, Z12 (Z1 inside Z12).
    ASSERT_EQ(expected, 2 * 65 + 2 * 5 + 3 + 3) << "extra " << extra;
  }
}

TEST_F(KeywordScoreTest, OversizedRuleSetsStillScoreExactly) {
  // 2000 long keywords over every byte value: too large for the matcher's
  // table, so the scores are counted by scanning.
  std::mt19937 random(99);
  std::string text;
  for (int i = 0; i < 1000; ++i) {
    std::string p(100, ' '), o(100, ' ');
    for (char& c : p) c = static_cast<char>(random());
    for (char& c : o) c = static_cast<char>(random());
    PresenceRules().append(p, 3);
    OccurrenceRules().append(o, 5);
    if (i % 100 == 0) text += p + o + o;
  }
  ASSERT_EQ(PresenceRules().count(), 1000);
  Expect(text, 10 * 3 + 20 * 5);
}

TEST_F(KeywordScoreTest, ConcurrentCallersShareOneMatcher) {
  AddBuiltInRules();
  PresenceRules().append("SALE", 11);  // forces a rebuild on first use
  const std::string judged = "<A HREF=\"/ADS/X\">SALE</A>";
  const int32_t expected = KeywordScoreByScanning(judged, nullptr);
  std::vector<std::thread> threads;
  std::vector<int32_t> results(4 * 200, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        results[t * 200 + i] = KeywordScore(judged);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int32_t r : results) ASSERT_EQ(r, expected);
}

}  // namespace
}  // namespace velquor
