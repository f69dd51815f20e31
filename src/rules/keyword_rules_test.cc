#include "rules/keyword_rules.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace velquor {
namespace {

using std::string_literals::operator""s;

struct Rule {
  std::string keyword;
  int32_t score;
  bool operator==(const Rule&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Rule& r) {
  return os << "{\"" << r.keyword << "\", " << r.score << "}";
}

std::vector<Rule> Rules(const KeywordRuleList& list) {
  std::vector<Rule> rules;
  for (int i = 0; i < list.count(); ++i) {
    rules.push_back(Rule{std::string(list.at(i).text()), list.at(i).score});
  }
  return rules;
}

const std::vector<Rule> kPresenceTable = {
    {"REDIR", 10},     {"GET", 2},        {"BUTTONAD", 40},  {"BANNERAD", 40}, {"ADBUTTON", 40},
    {"ADBANNER", 40},  {"&AD=", 85},      {"?AD=", 85},      {"&ADID=", 85},   {"?ADID=", 85},
    {"&REDIRECT", 20}, {"?REDIRECT", 20}, {"ADVERTIS", 20},  {"PARTNER", 20},  {"/PROMO/", 50},
    {"HTTP://", 5},    {"FTP://", -50},   {"DOWNLOAD", -30},
};

const std::vector<Rule> kOccurrenceTable = {
    {"PROMO", 30}, {"/AD", 20},    {"AD/", 20},      {"ADS/", 20},    {"/AD/", 65}, {"\"AD/", 65},
    {"/ADS/", 65}, {"/ADS.", 65},  {"/AD.", 65},     {"\"ADS/", 65},  {"BUY", 10},  {"LINK", 3},
    {"ADV", 3},    {"BANNER", 10}, {"BANNERS/", 10}, {"SPONSOR", 15},
};

// The process-wide lists start empty for each test and are left holding the
// built-in rules, as a started library has them.
class KeywordRulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PresenceRules().clear();
    OccurrenceRules().clear();
  }
  void TearDown() override {
    PresenceRules().clear();
    OccurrenceRules().clear();
    AddBuiltInRules();
  }
};

TEST_F(KeywordRulesTest, BuiltInTablesInOrder) {
  AddBuiltInRules();
  EXPECT_EQ(Rules(PresenceRules()), kPresenceTable);
  EXPECT_EQ(Rules(OccurrenceRules()), kOccurrenceTable);
  EXPECT_EQ(OccurrenceRules().at(5).length, 4u);
  EXPECT_EQ(OccurrenceRules().at(5).keyword[0], '"');
  EXPECT_EQ(OccurrenceRules().at(9).length, 5u);
  EXPECT_EQ(OccurrenceRules().at(9).keyword[0], '"');
  // Adding them again changes nothing: every keyword is already present.
  AddBuiltInRules();
  EXPECT_EQ(PresenceRules().count(), 18);
  EXPECT_EQ(OccurrenceRules().count(), 16);
}

TEST_F(KeywordRulesTest, UserRuleReplacesBuiltInOfItsOwnListOnly) {
  PresenceRules().append("HTTP://", 7);
  AddBuiltInRules();
  std::vector<Rule> expected = kPresenceTable;
  expected.erase(expected.begin() + 15);
  expected.insert(expected.begin(), Rule{"HTTP://", 7});
  EXPECT_EQ(Rules(PresenceRules()), expected);

  PresenceRules().clear();
  OccurrenceRules().clear();
  OccurrenceRules().append("HTTP://", 7);
  AddBuiltInRules();
  EXPECT_EQ(Rules(PresenceRules()), kPresenceTable);
  ASSERT_EQ(OccurrenceRules().count(), 17);
  EXPECT_EQ(Rules(OccurrenceRules())[0], (Rule{"HTTP://", 7}));
}

TEST_F(KeywordRulesTest, AppendKeepsDuplicatesAddChecksIgnoringCase) {
  PresenceRules().append("SALE", 10);
  PresenceRules().append("SALE", 20);
  EXPECT_EQ(Rules(PresenceRules()), (std::vector<Rule>{{"SALE", 10}, {"SALE", 20}}));
  AddPresenceRule("sale", 30);
  AddPresenceRule("Redir", 1);
  AddBuiltInRules();
  EXPECT_EQ(PresenceRules().count(), 2 + 1 + 17);
  EXPECT_EQ(Rules(PresenceRules())[2], (Rule{"Redir", 1}));
  EXPECT_TRUE(PresenceRules().contains("redir"));
  EXPECT_TRUE(PresenceRules().contains("REDIR"));
  EXPECT_FALSE(PresenceRules().contains("REDI"));
  EXPECT_FALSE(PresenceRules().contains("SPONSOR"));
  // Only ASCII letters fold: "[" and "{" differ by the case bit but are
  // not letters.
  AddPresenceRule("[X", 1);
  AddPresenceRule("{x", 2);
  EXPECT_EQ(PresenceRules().count(), 22);
}

TEST_F(KeywordRulesTest, FullListTakesBuiltInsUntilFull) {
  for (int i = 0; i < 995; ++i) {
    PresenceRules().append("USER" + std::to_string(i), i);
  }
  OccurrenceRules().append("X", 1);
  AddBuiltInRules();
  ASSERT_EQ(PresenceRules().count(), 1000);
  const std::vector<Rule> all = Rules(PresenceRules());
  const std::vector<Rule> tail(all.begin() + 995, all.end());
  EXPECT_EQ(tail, std::vector<Rule>(kPresenceTable.begin(), kPresenceTable.begin() + 5));
  EXPECT_EQ(OccurrenceRules().count(), 17);

  // Duplicates skipped take no place: with one built-in keyword among the
  // user rules, rows 1 to 6 find room.
  PresenceRules().clear();
  for (int i = 0; i < 994; ++i) {
    PresenceRules().append("USER" + std::to_string(i), i);
  }
  PresenceRules().append("GET", 99);
  AddBuiltInRules();
  ASSERT_EQ(PresenceRules().count(), 1000);
  EXPECT_EQ(Rules(PresenceRules())[994], (Rule{"GET", 99}));
  EXPECT_EQ(Rules(PresenceRules())[999], (Rule{"ADBANNER", 40}));

  PresenceRules().append("MORE", 1);
  EXPECT_EQ(PresenceRules().count(), 1000);
}

TEST_F(KeywordRulesTest, AppendRejectsEmptyAndOverlongKeywords) {
  KeywordRuleList& list = PresenceRules();
  const uint64_t before = list.generation();
  list.append("", 1);
  list.append(std::string(101, 'K'), 1);
  EXPECT_EQ(list.count(), 0);
  list.append(std::string(100, 'K'), 1);
  list.append("A\0B"s, 2);
  ASSERT_EQ(list.count(), 2);
  EXPECT_EQ(list.at(0).text(), std::string(100, 'K'));
  EXPECT_EQ(list.at(1).text(), "A\0B"s);
  EXPECT_EQ(list.at(1).length, 3u);
  EXPECT_TRUE(list.contains("a\0b"s));
  EXPECT_FALSE(list.contains("A"));
  EXPECT_GT(list.generation(), before);
  const uint64_t filled = list.generation();
  list.clear();
  EXPECT_EQ(list.count(), 0);
  EXPECT_NE(list.generation(), filled);
}

}  // namespace
}  // namespace velquor
