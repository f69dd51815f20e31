// `velquor filter` as a user runs it: read sizes, end-of-data styles,
// standard input, an output directory, and files that cannot be read.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "e2e_util.h"
#include "engine/page_scanner.h"
#include "platform/registry.h"
#include "platform/resources.h"
#include "settings/store.h"

namespace velquor::test {
namespace {

std::string PlainPath() { return SourceDir() + "/examples/plain.html"; }

// Writes a setting into the profile at `home` from this process.
void SetStoreNumber(const std::string& home, const char* key, const char* name, uint32_t value) {
  setenv("VELQUOR_HOME", home.c_str(), 1);
  CloseRegistry();
  WriteStoreNumber(HKEY_CURRENT_USER, key, name, value);
  CloseRegistry();
}

TEST(FilterCommand, EveryReadSizeAndEndStyleGivesThePageUnchanged) {
  TempDir home;
  const std::string page = ReadFile(PlainPath());
  ASSERT_FALSE(page.empty());
  for (const char* eof : {"with-data", "separate"}) {
    for (const char* size : {"1", "2", "3", "7", "64", "375", "376", "377", "8192"}) {
      RunResult r =
          RunVelquor(home.path(), {"filter", "--read-size", size, "--eof", eof, PlainPath()});
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(r.out, page) << "--read-size " << size << " --eof " << eof;
    }
  }
  RunResult stats = RunVelquor(home.path(), {"stats"});
  EXPECT_EQ(stats.out, "Pages: 18\nKilled: 0\n") << stats.err;
}

TEST(FilterCommand, StandardInputAndDashAndSeveralFilesInOrder) {
  TempDir home;
  const std::string page = ReadFile(PlainPath());
  const std::string odd = std::string("zero\0bytes <a href=x>stay</a>\n", 31);
  RunResult r = RunVelquor(home.path(), {"filter"}, odd);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, odd);
  r = RunVelquor(home.path(), {"filter", "--read-size=5", PlainPath(), "-", PlainPath()}, odd);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, page + odd + page);
}

TEST(FilterCommand, OutputDirectoryGetsOneFilePerPageAndStdoutNothing) {
  TempDir home;
  TempDir out;
  const std::string page = ReadFile(PlainPath());
  WriteFile(out.File("plain.html"), "old contents");
  RunResult r =
      RunVelquor(home.path(), {"filter", "-o", out.path(), PlainPath(), "-"}, "from stdin");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(ReadFile(out.File("plain.html")), page);
  EXPECT_EQ(ReadFile(out.File("stdin")), "from stdin");

  r = RunVelquor(home.path(), {"filter", "-o", out.File("missing"), PlainPath()});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "velquor: filter: " + out.File("missing") + ": No such file or directory\n");
}

// An output that would replace its own input, or that two pages would
// share, is refused for those pages alone: nothing lost, the rest filtered.
TEST(FilterCommand, OutputsThatWouldOverwriteAnInputOrEachOtherAreRefused) {
  TempDir home, dir;
  std::filesystem::create_directories(dir.File("a"));
  std::filesystem::create_directories(dir.File("b"));
  for (const char* name : {"a/page.html", "b/page.html", "own.html", "other.html"})
    WriteFile(dir.File(name), std::string("<P>") + name + "</P>");
  RunResult r = RunVelquor(
      home.path(), {"filter", "-o", dir.path(), dir.File("a/page.html"), dir.File("own.html"),
                    dir.File("b/page.html"), dir.File("b/../other.html")});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "velquor: filter: " + dir.File("a/page.html") + ", " + dir.File("b/page.html") +
                       ": all would be written to " + dir.File("page.html") +
                       "; none of them is filtered\n" + "velquor: filter: " + dir.File("own.html") +
                       ": the output " + dir.File("own.html") +
                       " is the input itself; it is not filtered\n" +
                       "velquor: filter: " + dir.File("b/../other.html") + ": the output " +
                       dir.File("other.html") + " is the input itself; it is not filtered\n");
  EXPECT_FALSE(std::filesystem::exists(dir.File("page.html")));
  EXPECT_EQ(ReadFile(dir.File("own.html")), "<P>own.html</P>");
  TempDir out;
  r = RunVelquor(home.path(), {"filter", "-o", out.path(), "-", "-", dir.File("own.html")}, "x");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(ReadFile(out.File("own.html")), "<P>own.html</P>");
  EXPECT_FALSE(std::filesystem::exists(out.File("stdin")));
}

TEST(FilterCommand, UnreadableFileIsReportedAndTheOthersStillFiltered) {
  TempDir home;
  TempDir out;
  const std::string page = ReadFile(PlainPath());
  const std::string missing = out.File("nope.html");
  RunResult r = RunVelquor(home.path(), {"filter", missing, PlainPath(), out.path()});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, page);
  EXPECT_EQ(r.err, "velquor: filter: " + missing + ": No such file or directory\n" +
                       "velquor: filter: " + out.path() + ": Is a directory\n");

  // With -o, a page that fails leaves no file behind and an earlier output
  // of the same name unchanged.
  TempDir dir;
  WriteFile(dir.File("plain.html"), "earlier");
  std::filesystem::create_directory(out.File("plain.html"));
  r = RunVelquor(home.path(), {"filter", "-o", dir.path(), missing, out.File("plain.html")});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "velquor: filter: " + missing + ": No such file or directory\n" +
                       "velquor: filter: " + out.File("plain.html") + ": Is a directory\n");
  int entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    ++entries;
    EXPECT_EQ(entry.path().filename(), "plain.html");
  }
  EXPECT_EQ(entries, 1);
  EXPECT_EQ(ReadFile(dir.File("plain.html")), "earlier");
}

TEST(FilterCommand, UsageErrors) {
  TempDir home;
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"filter", "--read-size", "0"},
       "velquor: filter: --read-size must be a number from 1 to 67108864, not '0'\n"},
      {{"filter", "--read-size", "-3"},
       "velquor: filter: --read-size must be a number from 1 to 67108864, not '-3'\n"},
      {{"filter", "--read-size"}, "velquor: filter: --read-size needs a value\n"},
      {{"filter", "--eof", "later"},
       "velquor: filter: --eof must be 'with-data' or 'separate', not 'later'\n"},
      {{"filter", "--frob"},
       "velquor: filter: unknown option '--frob' (try 'velquor filter --help')\n"},
  };
  for (const auto& c : cases) {
    RunResult r = RunVelquor(home.path(), c.args);
    EXPECT_EQ(r.status, 1) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
  RunResult help = RunVelquor(home.path(), {"filter", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: velquor filter", 0), 0u) << help.out;
}

TEST(FilterCommand, TestModeAddsTheFootersOnceBeforeTheEndOfThePage) {
  TempDir home;
  SetStoreNumber(home.path(), kConfigKey, "Test", 1);
  SetStoreNumber(home.path(), kStatsKey, "Killed", 4294967295u);
  const std::string page = ReadFile(PlainPath());
  const std::size_t end = page.find("</HTML>");
  ASSERT_NE(end, std::string::npos);
  const std::string expected = page.substr(0, end) + LoadResourceString(102) +
                               FormatStatisticsFooter(LoadResourceString(101), 0, 4294967295u) +
                               page.substr(end);
  for (const char* size : {"64", "8192"}) {
    RunResult r = RunVelquor(home.path(), {"filter", "--read-size", size, PlainPath()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected) << "--read-size " << size;
  }
  EXPECT_NE(expected.find("(removed 4294967295 total ads.)"), std::string::npos);
}

}  // namespace
}  // namespace velquor::test
