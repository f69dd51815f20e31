// `velquor rules check`, run as a user would: output, exit status, and the
// rules file found through the "InstallDir" setting.
#include <cstdlib>
#include <filesystem>
#include <string>

#include "e2e_util.h"
#include "gtest/gtest.h"
#include "platform/registry.h"
#include "platform/testing_registry.h"

namespace velquor::test {
namespace {

// Sets "InstallDir" in the profile at `home` through the registry itself.
void SetInstallDir(const std::string& home, const std::string& value) {
  setenv("VELQUOR_HOME", home.c_str(), 1);
  CloseRegistry();
  WriteTestText(HKEY_CURRENT_USER, "Software\\Morvanet\\Velquor\\Config", "InstallDir", value);
  CloseRegistry();
  unsetenv("VELQUOR_HOME");
}

TEST(RulesCheckTest, ReportsEveryKindOfLine) {
  TempDir dir;
  const std::string file = dir.File("MYRULES.TXT");
  WriteFile(file,
            "// my rules\r\n"
            "\r\n"
            "1,25,Banner Ad\r\n"
            "n,-5,  click here \r\n"
            "hello world\r\n"
            "12,5,x\r\n"
            "1,abc,x\r\n"
            "1,5\r\n"
            "1,5," +
                std::string(96, 'k') +
                "Xtail\r\n"
                "1 ,7,http://,rest\r\n"
                "N,3,\"q\\\xe9\r\n"
                "N,99999999999,get\r\n"
                "1,5,z");
  const RunResult result = RunVelquor(dir.path(), {"rules", "check", file});
  EXPECT_EQ(
      result.out,
      "line 1: comment\n"
      "line 3: presence rule \"BANNER AD\" score 25\n"
      "line 4: occurrence rule \"CLICK HERE\" score -5\n"
      "line 5: ignored, it does not begin with the marker 1 or N: \"hello world\"\n"
      "line 6: ignored, the marker field \"12\" is neither 1 nor N: \"12,5,x\"\n"
      "line 7: ignored, the score is 0 or has no digits: \"1,abc,x\"\n"
      "line 8: ignored, the keyword is empty: \"1,5\"\n"
      "line 9: presence rule \"" +
          std::string(96, 'K') +
          "\" score 5; cut after 100 bytes, byte 101 \"X\" is lost\n"
          "line 9: ignored, it does not begin with the marker 1 or N: \"tail\"\n"
          "line 10: presence rule \"HTTP://\" score 7\n"
          "line 11: occurrence rule \"\\\"Q\\\\\\xE9\" score 3\n"
          "line 12: occurrence rule \"GET\" score 2147483647; warning: the score "
          "\"99999999999\" is out of range and counts as 2147483647\n"
          "line 13: never read, it begins in the last five bytes of the file: \"1,5,z\"\n"
          "3 presence rules and 3 occurrence rules added; 6 lines ignored, "
          "1 line with lost bytes, 1 score out of range\n"
          "presence rule \"HTTP://\" score 7 takes the place of the built-in rule of score 5\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 1);
}

TEST(RulesCheckTest, ACleanFileExitsZeroAndTellsOfBuiltInsWithoutRoom) {
  TempDir dir;
  std::string rules = "// only rules\n\n";
  for (int i = 0; i < 995; ++i) rules += "1,1,word" + std::to_string(i) + "\n";
  rules += "N,40,promo\n";
  WriteFile(dir.File("rules.txt"), rules);
  const RunResult result = RunVelquor(dir.path(), {"rules", "check", dir.File("rules.txt")});
  const std::string tail =
      "line 998: occurrence rule \"PROMO\" score 40\n"
      "995 presence rules and 1 occurrence rule added; 0 lines ignored\n"
      "presence list: no room for 13 built-in rules (the list holds 1000 rules)\n"
      "occurrence rule \"PROMO\" score 40 takes the place of the built-in rule of score 30\n";
  ASSERT_GE(result.out.size(), tail.size()) << result.out;
  EXPECT_EQ(result.out.substr(result.out.size() - tail.size()), tail);
  EXPECT_EQ(result.status, 0) << result.err;
}

TEST(RulesCheckTest, FindsTheFileOfTheInstallDirSetting) {
  TempDir home;
  TempDir install;
  WriteFile(install.File("myrules.txt"), "1,5,found\n");
  SetInstallDir(home.path(), install.path());
  const RunResult result = RunVelquor(home.path(), {"rules", "check"});
  EXPECT_EQ(result.out, "rules file: " + install.path() +
                            "/MYRULES.TXT\n"
                            "line 1: presence rule \"FOUND\" score 5\n"
                            "1 presence rule and 0 occurrence rules added; 0 lines ignored\n");
  EXPECT_EQ(result.status, 0) << result.err;
  std::filesystem::remove(install.File("myrules.txt"));
  // Whatever is missing is named in plain words.
  const struct {
    std::string install_dir;  // "" unsets the setting
    std::string said;
  } missing[] = {
      {install.path(),
       "the rules file " + install.path() + "/MYRULES.TXT cannot be read (it does not exist)"},
      {"%MAINDIR%", "'%MAINDIR%', which contains %MAINDIR% and so names no directory"},
      {"", "the setting InstallDir is empty, so no rules file is read"},
  };
  for (const auto& c : missing) {
    if (c.install_dir.empty()) {
      RunVelquor(home.path(), {"config", "unset", "InstallDir"});
    } else {
      SetInstallDir(home.path(), c.install_dir);
    }
    const RunResult r = RunVelquor(home.path(), {"rules", "check"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
  }
}

TEST(RulesCheckTest, UnreadableFilesAndBadUsage) {
  TempDir dir;
  WriteFile(dir.File("tiny"), "1,5\n");
  WriteFile(dir.File("empty"), "");
  WriteFile(dir.File("big"), "1,999999999999,big\r\n");
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
    std::string out;
  } cases[] = {
      {{"rules", "check", dir.File("absent")},
       2,
       "velquor: rules check: " + dir.File("absent") + ": No such file or directory\n",
       ""},
      {{"rules", "check", dir.path()},
       2,
       "velquor: rules check: " + dir.path() + ": not a regular file\n",
       ""},
      {{"rules", "check", dir.File("x%MAINDIR%")},
       2,
       "velquor: rules check: " + dir.File("x%MAINDIR%") +
           ": the path contains %MAINDIR%, so no rules file is read\n",
       ""},
      {{"rules", "check", dir.File("tiny")},
       1,
       "",
       "line 1: never read, it begins in the last five bytes of the file: \"1,5\"\n"
       "0 presence rules and 0 occurrence rules added; 1 line ignored\n"},
      {{"rules", "check", dir.File("empty")},
       0,
       "velquor: rules check: " + dir.File("empty") + ": the file is empty, so it adds no rules\n",
       "0 presence rules and 0 occurrence rules added; 0 lines ignored\n"},
      {{"rules", "check", dir.File("big")},
       1,
       "",
       "line 1: presence rule \"BIG\" score 2147483647; warning: the score \"999999999999\" is "
       "out of range and counts as 2147483647\n"
       "1 presence rule and 0 occurrence rules added; 0 lines ignored, 1 score out of range\n"},
      {{"rules"}, 1, "velquor: rules: missing command 'check' (try 'velquor rules --help')\n", ""},
      {{"rules", "list"},
       1,
       "velquor: rules: unknown command; the only one is 'check' (try 'velquor rules --help')\n",
       ""},
      {{"rules", "check", "a", "b"},
       1,
       "velquor: rules: too many arguments (try 'velquor rules --help')\n",
       ""},
      {{"rules", "check", "-x"},
       1,
       "velquor: rules: unknown option '-x' (try 'velquor rules --help')\n",
       ""},
  };
  for (const auto& c : cases) {
    const RunResult result = RunVelquor(dir.path(), c.args);
    EXPECT_EQ(result.status, c.status) << c.args.back();
    EXPECT_EQ(result.err, c.err) << c.args.back();
    EXPECT_EQ(result.out, c.out) << c.args.back();
  }
  const RunResult piped = RunVelquor(dir.path(), {"rules", "check", "-"}, "N,7,ad\n// end\n");
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(piped.out.rfind("line 1: occurrence rule \"AD\" score 7\n", 0), 0u) << piped.out;
  const RunResult help = RunVelquor(dir.path(), {"rules", "check", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: velquor rules check [FILE]\n", 0), 0u) << help.out;
}

}  // namespace
}  // namespace velquor::test
