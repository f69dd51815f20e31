// The bundled portal page through `velquor filter` and `velquor explain`, each
// in a fresh profile, compared byte for byte with the files in golden/.
// Set VELQUOR_UPDATE_GOLDEN=1 to rewrite those files from the current output
// (then read the difference before committing it).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "e2e_util.h"

namespace velquor::test {
namespace {

std::string PortalPath() { return SourceDir() + "/examples/portal.html"; }

void ExpectGolden(const std::string& name, const std::string& actual) {
  const std::string path = SourceDir() + "/tests/golden/" + name;
  const char* update = std::getenv("VELQUOR_UPDATE_GOLDEN");
  if (update != nullptr && std::string(update) == "1") WriteFile(path, actual);
  const std::string expected = ReadFile(path);
  EXPECT_FALSE(expected.empty()) << "no golden file " << path;
  EXPECT_EQ(actual, expected) << "output differs from " << path;
}

void SetConfig(const std::string& home, const std::string& name, const std::string& value) {
  RunResult r = RunVelquor(home, {"config", "set", name, value});
  ASSERT_EQ(r.status, 0) << r.err;
}

TEST(PortalPage, FilteredWithDefaultSettings) {
  TempDir home;
  RunResult r = RunVelquor(home.path(), {"filter", PortalPath()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  ExpectGolden("portal.filtered.html", r.out);
}

TEST(PortalPage, FilteredWithReplacement) {
  TempDir home;
  SetConfig(home.path(), "Replace", "1");
  RunResult r = RunVelquor(home.path(), {"filter", PortalPath()});
  ASSERT_EQ(r.status, 0) << r.err;
  ExpectGolden("portal.replaced.html", r.out);
}

TEST(PortalPage, ExplainedAsAFreshProcessWithoutTouchingTheTotals) {
  TempDir home;
  RunResult filtered = RunVelquor(home.path(), {"filter", PortalPath()});
  ASSERT_EQ(filtered.status, 0) << filtered.err;
  RunResult before = RunVelquor(home.path(), {"config", "get", "Killed"});

  // The filter run remembered the last removed link; explain starts empty.
  RunResult r = RunVelquor(home.path(), {"explain", PortalPath()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  ExpectGolden("portal.explain.txt", r.out);

  RunResult after = RunVelquor(home.path(), {"config", "get", "Killed"});
  EXPECT_EQ(after.out, before.out);
  EXPECT_EQ(after.status, before.status);

  const std::string page = ReadFile(PortalPath());
  for (const char* arg : {"-", ""}) {
    SCOPED_TRACE(std::string("stdin via '") + arg + "'");
    std::vector<std::string> args = {"explain"};
    if (*arg) args.push_back(arg);
    RunResult piped = RunVelquor(home.path(), args, page);
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.out, r.out);
  }
}

TEST(PortalPage, ExplainUsesTheUserRules) {
  TempDir home;
  TempDir install;
  WriteFile(install.File("MYRULES.TXT"),
            "// house rules\r\n1,-500,CASINO\r\n// end of the rules\r\n");
  SetConfig(home.path(), "InstallDir", install.path());
  RunResult r = RunVelquor(home.path(), {"explain", PortalPath()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("  keyword \"CASINO\" present -500\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("31 segments: 24 kept, 7 removed, 0 replaced, "
                       "0 removed as repeats\n"),
            std::string::npos)
      << r.out;
}

// Links written by scripts, markup in comments and a "</html>" in a script
// string: the page's own links and scripts come through whole, the plain
// banner is removed, and the footers go before the real end of the page.
TEST(ScriptedPage, FilteredAndExplainedAroundScriptsAndComments) {
  TempDir home;
  const std::string page = SourceDir() + "/tests/golden/scripted.html";
  RunResult filtered = RunVelquor(home.path(), {"filter", page});
  ASSERT_EQ(filtered.status, 0) << filtered.err;
  ExpectGolden("scripted.filtered.html", filtered.out);
  RunResult explained = RunVelquor(home.path(), {"explain", page});
  ASSERT_EQ(explained.status, 0) << explained.err;
  ExpectGolden("scripted.explain.txt", explained.out);
}

TEST(ExplainCommand, ReportsSegmentsAndReplacements) {
  TempDir home;
  SetConfig(home.path(), "Replace", "1");
  const std::string page =
      "<p><a href=\"/x\">News</a>\n"
      "<a href=\"/ads/1\"><img src=\"b.gif\" width=468 height=60 alt=\"Sale\"></a>\n"
      "<APPLET CODE=\"A.class\" WIDTH=88 HEIGHT=31>x</APPLET></html>";
  RunResult r = RunVelquor(home.path(), {"explain"}, page);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "link at byte 3, 21 bytes: kept\n"
            "  target \"/X\"\n"
            "  no image tag -50\n"
            "  total -50, below zero\n"
            "link at byte 25, 69 bytes: replaced\n"
            "  target \"/ADS/1\"\n"
            "  IMG width 468 height 60, size score +100\n"
            "  keyword \"/AD\" 1 time +20\n"
            "  keyword \"ADS/\" 1 time +20\n"
            "  keyword \"/ADS/\" 1 time +65\n"
            "  total 205, threshold 100\n"
            "  replacement \"{Ad: <A  HREF='/ads/1'>Sale</A>}\"\n"
            "applet at byte 95, 52 bytes: kept\n"
            "  APPLET width 88 height 31, size score +98\n"
            "  total 98, threshold 100\n"
            "3 segments: 2 kept, 0 removed, 1 replaced, 0 removed as repeats\n");
}

TEST(ExplainCommand, NamesTheSwitchThatTurnedAJudgeOff) {
  TempDir home;
  SetConfig(home.path(), "Applets", "0");
  RunResult r = RunVelquor(home.path(), {"explain"},
                           "<APPLET WIDTH=468 HEIGHT=60></APPLET><A NAME=x>\x01</A>");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "applet at byte 0, 37 bytes: kept, not judged (Applets is 0)\n"
            "link at byte 37, 15 bytes: kept\n"
            "  target \"\"\n"
            "  no image tag -50\n"
            "  total -50, below zero\n"
            "2 segments: 2 kept, 0 removed, 0 replaced, 0 removed as repeats\n");
}

TEST(ExplainCommand, UsageAndFileErrors) {
  TempDir home;
  RunResult help = RunVelquor(home.path(), {"explain", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: velquor explain [FILE]\n", 0), 0u) << help.out;

  RunResult missing = RunVelquor(home.path(), {"explain", home.File("none.html")});
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err,
            "velquor: explain: " + home.File("none.html") + ": No such file or directory\n");

  RunResult two = RunVelquor(home.path(), {"explain", "a", "b"});
  EXPECT_EQ(two.status, 1);
  EXPECT_NE(two.err.find("more than one file"), std::string::npos) << two.err;

  RunResult option = RunVelquor(home.path(), {"explain", "--verbose"});
  EXPECT_EQ(option.status, 1);
  EXPECT_NE(option.err.find("unknown option '--verbose'"), std::string::npos) << option.err;
}

}  // namespace
}  // namespace velquor::test
