#include "rules/user_rules.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/testing_profile.h"
#include "rules/keyword_rules.h"

namespace velquor {
namespace {

namespace fs = std::filesystem;
using Outcome = RuleLineReport::Outcome;
using Reason = RuleLineReport::Reason;

// "KEYWORD=score;..." for a list, in order.
std::string Dump(const KeywordRuleList& list) {
  std::string out;
  for (int i = 0; i < list.count(); ++i) {
    if (!out.empty()) out += ';';
    out += std::string(list.at(i).text()) + "=" + std::to_string(list.at(i).score);
  }
  return out;
}

struct Recorder : RuleFileObserver {
  void OnLine(const RuleLineReport& report) override { lines.push_back(report); }
  void OnProblem(RuleFileProblem problem, DWORD error, uint64_t offset) override {
    problems.push_back({problem, error, offset});
  }
  struct Problem {
    RuleFileProblem problem;
    DWORD error;
    uint64_t offset;
  };
  std::vector<RuleLineReport> lines;
  std::vector<Problem> problems;
};

class UserRulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Each test is its own process under ctest, several at once: a name
    // of our own making would be shared between them.
    ASSERT_TRUE(profile_.Create()) << "cannot make a temporary directory";
    dir_ = profile_.dir;
    PresenceRules().clear();
    OccurrenceRules().clear();
  }
  void TearDown() override {
#if !defined(_WIN32)
    SetReadFaultAfterForTesting(-1);
#endif
    PresenceRules().clear();
    OccurrenceRules().clear();
    profile_.Remove();
  }

  std::string Write(const std::string& name, const std::string& data) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << data;
    return path.string();
  }

  // Loads `data` as the rules file; the reports land in recorder_.
  void Load(const std::string& data) {
    recorder_ = Recorder();
    LoadUserRules(Write("MYRULES.TXT", data), &recorder_);
  }

  TempProfile profile_;
  fs::path dir_;
  Recorder recorder_;
};

TEST_F(UserRulesTest, ReadRuleLineCutsLinesAsTheReaderDefinesThem) {
  const struct {
    const char* name;
    std::string data;
    std::vector<std::string> lines;  // every line up to the end of the file
    std::vector<uint64_t> nexts;
  } cases[] = {
      {"LF", "ab\ncd\n", {"ab", "cd"}, {3, 6}},
      {"CRLF keeps the CR", "ab\r\ncd\r\n", {"ab\r", "cd\r"}, {4, 8}},
      {"CR only", "ab\rcd\r", {"ab", "cd"}, {3, 6}},
      {"LF before an earlier CR", "ab\rcd\nef", {"ab\rcd", "ef"}, {6, 8}},
      {"no end at the end", "abc", {"abc"}, {3}},
      {"150 bytes lose byte 101",
       std::string(100, 'a') + "B" + std::string(49, 'c') + "\n",
       {std::string(100, 'a'), std::string(49, 'c')},
       {101, 151}},
      {"100 bytes and LF are one line",
       std::string(100, 'a') + "\nz",
       {std::string(100, 'a'), "z"},
       {101, 102}},
      {"CR counts only without LF in the chunk",
       "ab\r" + std::string(120, 'x') + "\n",
       {"ab", std::string(100, 'x'), std::string(19, 'x')},
       {3, 104, 124}},
      {"zero byte in a short rest is passed over",
       std::string("ab\0cd\n", 6),
       {"ab", "", "cd"},
       {2, 3, 6}},
      {"zero byte in a full chunk skips 101 bytes",
       std::string(1, '\0') + std::string(110, 'x'),
       {"", std::string(10, 'x')},
       {101, 111}},
  };
  for (const auto& c : cases) {
    HANDLE file = CreateFileA(Write("lines", c.data).c_str(), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << c.name;
    std::vector<std::string> lines;
    std::vector<uint64_t> nexts;
    RuleLine line;
    while (ReadRuleLine(file, &line) == RuleLineStatus::kRead) {
      lines.push_back(line.text);
      nexts.push_back(line.next);
      ASSERT_LT(lines.size(), 10u) << c.name << ": the reader stalls";
    }
    CloseHandle(file);
    EXPECT_EQ(lines, c.lines) << c.name;
    EXPECT_EQ(nexts, c.nexts) << c.name;
  }
}

TEST_F(UserRulesTest, ReadRuleLineTellsWhatACutLineLoses) {
  HANDLE file = CreateFileA(Write("cut", std::string(100, 'a') + "Bc").c_str(), GENERIC_READ, 0,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  RuleLine line;
  ASSERT_EQ(ReadRuleLine(file, &line), RuleLineStatus::kRead);
  EXPECT_TRUE(line.cut);
  EXPECT_EQ(line.skipped_byte, 'B');
  EXPECT_EQ(ReadRuleLine(file), "c");
  EXPECT_EQ(ReadRuleLine(file, &line), RuleLineStatus::kEndOfFile);
  CloseHandle(file);
}

TEST_F(UserRulesTest, GetFieldSplitsAtEverySeparator) {
  const struct {
    std::string text;
    int n;
    std::string field;
  } cases[] = {
      {"a,b,c", 0, "a"},   {"a,b,c", 1, "b"}, {"a,b,c", 2, "c"}, {"a,b,c", 3, ""},
      {"a,b", 2, ""},      {"abc", 0, "abc"}, {"", 0, ""},       {",,", 1, ""},
      {"a,b,c,d", 2, "c"}, {"a;b,c", 1, "c"}, {"a,b", -1, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetField(c.text, c.n, ','), c.field) << '"' << c.text << "\" field " << c.n;
  }
}

TEST_F(UserRulesTest, RuleLinesAreReadFieldByField) {
  const struct {
    std::string line;
    std::string presence;
    std::string occurrence;
  } cases[] = {
      {"1,5,foo", "FOO=5", ""},
      {"n,7,bar", "", "BAR=7"},
      {"N,7,bar", "", "BAR=7"},
      {"1   ,5,foo", "FOO=5", ""},
      {" \t1,5,foo  ", "FOO=5", ""},
      {" n\t,3,x", "", "X=3"},
      {"12,5,foo", "", ""},
      {"1x,5,foo", "", ""},
      {"x1,5,foo", "", ""},
      {"//1,5,foo", "", ""},
      {"1,5,  Inner  Space word  ", "INNER  SPACE WORD=5", ""},
      {"1,12abc,foo", "FOO=12", ""},
      {"1, +7,foo", "FOO=7", ""},
      {"1,-20,foo", "FOO=-20", ""},
      {"1,abc,foo", "", ""},
      {"1,0,foo", "", ""},
      {"1,5,foo,bar,baz", "FOO=5", ""},
      {"1,5", "", ""},
      {"1,5,   ", "", ""},
      {"1,99999999999,big", "BIG=2147483647", ""},
      {"1,-99999999999,small", "SMALL=-2147483648", ""},
      {"N,4,caf\xe9", "", "CAF\xe9=4"},
  };
  for (const auto& c : cases) {
    Load(c.line + "\n");
    EXPECT_EQ(Dump(PresenceRules()), c.presence) << c.line;
    EXPECT_EQ(Dump(OccurrenceRules()), c.occurrence) << c.line;
  }
}

TEST_F(UserRulesTest, EveryLineEndGivesTheSameRules) {
  for (const char* end : {"\n", "\r\n", "\r"}) {
    Load(std::string("// mine") + end + "1,5,one" + end + end + "N,6,two" + end + "1,7,three" +
         end);
    EXPECT_EQ(Dump(PresenceRules()), "ONE=5;THREE=7") << "line end " << int(end[0]);
    EXPECT_EQ(Dump(OccurrenceRules()), "TWO=6") << "line end " << int(end[0]);
  }
}

TEST_F(UserRulesTest, TheLastFiveBytesAreNeverRead) {
  const struct {
    std::string data;
    std::string presence;
  } cases[] = {
      {"1,5,a", ""},                        // five bytes in all
      {"1,5,ab", "AB=5"},                   // six: begins before length - 5
      {"1,5,foo\n1,5,b", "FOO=5"},          // a final line of five bytes
      {"1,5,foo\n1,5,b\r\n", "FOO=5;B=5"},  // the same with a line end
      {"1,5,foo\n1,5,bar", "FOO=5;BAR=5"},
  };
  for (const auto& c : cases) {
    Load(c.data);
    EXPECT_EQ(Dump(PresenceRules()), c.presence) << c.data;
  }
  Load("1,5,foo\n1,5,b");
  ASSERT_EQ(recorder_.lines.size(), 2u);
  EXPECT_EQ(recorder_.lines[1].outcome, Outcome::kNotRead);
  EXPECT_EQ(recorder_.lines[1].text, "1,5,b");
  EXPECT_EQ(recorder_.lines[1].line_number, 2);
}

TEST_F(UserRulesTest, ALongLineContinuesAfterTheLostByte) {
  const std::string keyword(96, 'K');
  Load("1,5," + keyword + "XN,3,tail\n");
  EXPECT_EQ(Dump(PresenceRules()), keyword + "=5");
  EXPECT_EQ(Dump(OccurrenceRules()), "TAIL=3");
  ASSERT_EQ(recorder_.lines.size(), 2u);
  EXPECT_TRUE(recorder_.lines[0].cut);
  EXPECT_EQ(recorder_.lines[0].skipped_byte, 'X');
  EXPECT_EQ(recorder_.lines[1].line_number, 1) << "the continuation is on the same line";
}

TEST_F(UserRulesTest, EachListTakesAThousandRulesAndDuplicatesStay) {
  std::string data = "1,10,dup\n1,20,dup\n";
  for (int i = 0; i < 1000; ++i)
    data += "1," + std::to_string(i + 1) + ",k" + std::to_string(i) + "\n";
  data += "N,5,other\nn,6,other\n";
  Load(data);
  ASSERT_EQ(PresenceRules().count(), 1000);
  EXPECT_EQ(PresenceRules().at(0).text(), "DUP");
  EXPECT_EQ(PresenceRules().at(1).score, 20);
  EXPECT_EQ(PresenceRules().at(999).text(), "K997");
  EXPECT_EQ(Dump(OccurrenceRules()), "OTHER=5;OTHER=6");
  ASSERT_EQ(recorder_.lines.size(), 1004u);
  EXPECT_EQ(recorder_.lines[1000].outcome, Outcome::kIgnored);
  EXPECT_EQ(recorder_.lines[1000].reason, Reason::kListFull);
  EXPECT_EQ(recorder_.lines[1000].line_number, 1001);
}

TEST_F(UserRulesTest, UserRulesTakeTheirBuiltInsPlaceInTheSameListOnly) {
  Load("1,7,http://\nN,9,get\n");
  AddBuiltInRules();
  ASSERT_EQ(PresenceRules().count(), 18);
  EXPECT_EQ(PresenceRules().at(0).text(), "HTTP://");
  EXPECT_EQ(PresenceRules().at(0).score, 7);
  int gets = 0;
  for (int i = 0; i < PresenceRules().count(); ++i) {
    if (PresenceRules().at(i).text() == "HTTP://") {
      EXPECT_EQ(i, 0) << "built-in HTTP:// added too";
    }
    if (PresenceRules().at(i).text() == "GET") gets += PresenceRules().at(i).score;
  }
  EXPECT_EQ(gets, 2) << "the built-in GET stays in the presence list";
  EXPECT_EQ(OccurrenceRules().count(), 17);
  EXPECT_EQ(OccurrenceRules().at(0).text(), "GET");

  std::string data;
  for (int i = 0; i < 995; ++i) data += "1,1,u" + std::to_string(i) + "\n";
  Load(data);
  AddBuiltInRules();
  ASSERT_EQ(PresenceRules().count(), 1000);
  EXPECT_EQ(PresenceRules().at(995).text(), "REDIR");
  EXPECT_EQ(PresenceRules().at(999).text(), "ADBUTTON");
  EXPECT_EQ(OccurrenceRules().count(), 16);
}

TEST_F(UserRulesTest, ZeroBytesNeverStallTheLoad) {
  Load(std::string(10, '\0') + "1,5,foo\n1,5,fo" + std::string(1, '\0') + "o\nN,2,end\n");
  EXPECT_EQ(Dump(PresenceRules()), "FOO=5;FO=5");
  EXPECT_EQ(Dump(OccurrenceRules()), "END=2");
  Load(std::string(200, '\0'));
  EXPECT_EQ(PresenceRules().count(), 0);
}

#if !defined(_WIN32)
// Only the Linux file functions can be made to fail part way.
TEST_F(UserRulesTest, AReadErrorEndsTheLoadKeepingEarlierRules) {
  SetReadFaultAfterForTesting(2);
  Load("1,1,one\n1,2,two\n1,3,three\n");
  EXPECT_EQ(Dump(PresenceRules()), "ONE=1;TWO=2");
  ASSERT_EQ(recorder_.problems.size(), 1u);
  EXPECT_EQ(recorder_.problems[0].problem, RuleFileProblem::kReadFailed);
  EXPECT_EQ(recorder_.problems[0].error, static_cast<DWORD>(ERROR_READ_FAULT));
  EXPECT_EQ(recorder_.problems[0].offset, 16u);
}
#endif

// Another program may write the file while it is read; one that cuts it
// short must end the load, not leave the reader waiting for bytes forever.
// Linux's file layer reads ahead in blocks of 64 KB, so the cut shows where
// the reader next needs bytes beyond its block; Windows reads the file as
// asked, so the cut shows at the very next line.
TEST_F(UserRulesTest, AFileCutShortWhileReadEndsTheLoad) {
  struct Truncator : Recorder {
    void OnLine(const RuleLineReport& report) override {
      Recorder::OnLine(report);
      if (lines.size() == 1) fs::resize_file(path, 8);
    }
    fs::path path;
  } truncator;
  truncator.path = dir_ / "MYRULES.TXT";
  std::string text = "1,1,one\n1,2,two\n";
  while (text.size() < 100 * 1024) text += "// padding\n";
  Write("MYRULES.TXT", text + "1,3,three\n");
  LoadUserRules(truncator.path.string(), &truncator);
  ASSERT_EQ(truncator.problems.size(), 1u);
  EXPECT_EQ(truncator.problems[0].problem, RuleFileProblem::kFileShrank);
#if defined(_WIN32)
  EXPECT_EQ(Dump(PresenceRules()), "ONE=1");
  EXPECT_EQ(truncator.problems[0].offset, 8u);
#else
  EXPECT_EQ(Dump(PresenceRules()), "ONE=1;TWO=2");
  EXPECT_GT(truncator.problems[0].offset, 60u * 1024);
  EXPECT_LE(truncator.problems[0].offset, 64u * 1024);
#endif
}

TEST_F(UserRulesTest, NoFileMeansEmptyLists) {
  PresenceRules().append("STALE", 1);
  fs::create_directories(dir_ / "isdir");
  const struct {
    std::string path;
    RuleFileProblem problem;
    DWORD error;
  } cases[] = {
    {(dir_ / "absent.txt").string(), RuleFileProblem::kOpenFailed,
     static_cast<DWORD>(ERROR_FILE_NOT_FOUND)},
#if defined(_WIN32)
    {(dir_ / "isdir").string(), RuleFileProblem::kOpenFailed,
     static_cast<DWORD>(ERROR_ACCESS_DENIED)},
#else
    {(dir_ / "isdir").string(), RuleFileProblem::kOpenFailed, ERROR_CANT_ACCESS_FILE},
#endif
    {Write("x%MAINDIR%y", "1,5,foo\n"), RuleFileProblem::kPlaceholderPath, 0},
  };
  for (const auto& c : cases) {
    Recorder recorder;
    LoadUserRules(c.path, &recorder);
    EXPECT_EQ(PresenceRules().count(), 0) << c.path;
    ASSERT_EQ(recorder.problems.size(), 1u) << c.path;
    EXPECT_EQ(recorder.problems[0].problem, c.problem) << c.path;
    EXPECT_EQ(recorder.problems[0].error, c.error) << c.path;
  }
}

TEST_F(UserRulesTest, TheRulesPathUsesABackslashAndFindsAnyCase) {
  const struct {
    std::string install_dir;
    std::string path;
  } cases[] = {
      {"", ""},
      {std::string(1, '\0') + "x", ""},
      {"%MAINDIR%", ""},
      {"C:\\Velquor%MAINDIR%", ""},
      {"/opt/velquor", "/opt/velquor\\MYRULES.TXT"},
      {"/opt/velquor\\", "/opt/velquor\\MYRULES.TXT"},
      {"/opt/velquor/", "/opt/velquor/\\MYRULES.TXT"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RulesPathForInstallDir(c.install_dir), c.path) << c.install_dir;
  }
  Write("myrules.txt", "1,5,found\n");
  LoadUserRules(RulesPathForInstallDir(dir_.string()));
  EXPECT_EQ(Dump(PresenceRules()), "FOUND=5");
}

TEST_F(UserRulesTest, ReportsNameThePhysicalLineOfEachReadLine) {
  Load("// c\r\n\r\nhello\r\n12,5,x\r\n1,0,x\r\n1,5\r\n" + std::string(101, 'y') +
       "z\r\nN,2,ok\r\n1,5,z");
  std::string seen;
  for (const RuleLineReport& r : recorder_.lines) {
    seen += std::to_string(r.line_number) + ":" + std::to_string(static_cast<int>(r.outcome)) +
            "/" + std::to_string(static_cast<int>(r.reason)) + " ";
  }
  // blank 0, comment 1, added 2, ignored 3, not read 4; reasons in declaration order
  EXPECT_EQ(seen, "1:1/0 2:0/0 3:3/1 4:3/2 5:3/3 6:3/4 7:3/1 7:3/1 8:2/0 9:4/0 ");
}

TEST_F(UserRulesTest, LoadAllRulesReadsTheGivenPathThenTheBuiltIns) {
  LoadAllRules("");
  EXPECT_EQ(PresenceRules().count(), 18);
  EXPECT_EQ(OccurrenceRules().count(), 16);

  Write("MYRULES.TXT", "N,50,promo\n");
  LoadAllRules(RulesPathForInstallDir(dir_.string()));
  EXPECT_EQ(PresenceRules().count(), 18);
  ASSERT_EQ(OccurrenceRules().count(), 16);
  EXPECT_EQ(OccurrenceRules().at(0).text(), "PROMO");
  EXPECT_EQ(OccurrenceRules().at(0).score, 50);
}

}  // namespace
}  // namespace velquor
