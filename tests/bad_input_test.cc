// Bad inputs through the `velquor` program: a store it cannot use, a rules
// file it cannot read, and pages far larger or stranger than any real one.
// Each must give a clear result, filter on with what is left, and lose
// nothing the store could have taken.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e_util.h"

namespace velquor::test {
namespace {

// One advertisement between two words; no "</HTML>", so no footers.
const std::string kAdPage =
    "<P>before<A HREF=\"http://ads.example.net/c\"><IMG SRC=\"b.gif\" WIDTH=468 "
    "HEIGHT=60></A>after\n";
const std::string kAdPageFiltered = "<P>beforeafter\n";

const std::string kDefaultsList =
    "Images: 1 (default)\nApplets: 1 (default)\nScore: 100 (default)\n"
    "Replace: 0 (default)\nReplaceHtml: {Ad: <A %HREF%>%TEXT%</A>} (default)\n"
    "InstallDir:  (default)\nTest: 0 (default)\nAddModify: 1 (default)\n"
    "AddStats: 1 (default)\nExceptions:  (default)\nInspectHttps: 0 (default)\n"
    "TunnelHosts:  (default)\n";

// Starts counter_hammer holding the write lock of the store in `home`; returns
// once it holds it.
pid_t HoldStoreLock(const std::string& home) {
  int out = -1;
  const pid_t pid = SpawnWithProfile(COUNTER_HAMMER, {"lock", "60"}, home, &out);
  char buffer[8] = {};
  EXPECT_EQ(read(out, buffer, 7), 7);
  EXPECT_EQ(std::string(buffer), "locked\n");
  close(out);
  return pid;
}

// The program's view of a store it cannot use: settings at their defaults
// with the problem told once on stderr (a failure for a command that only
// reads the store), a page filtered with the defaults, a
// refused write that names the file, and the user's file left as it was.
void ExpectUnusableStore(const std::string& home, const std::string& problem) {
  SCOPED_TRACE(problem);
  const std::string page = home + "/../page.html";
  WriteFile(page, kAdPage);

  RunResult r = RunVelquor(home, {"config", "list"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, kDefaultsList);
  EXPECT_EQ(r.err, "velquor: " + problem + " (using the defaults)\n");

  r = RunVelquor(home, {"filter", page, page});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, kAdPageFiltered + kAdPageFiltered);
  EXPECT_EQ(r.err, "velquor: " + problem + " (using the defaults)\n");

  r = RunVelquor(home, {"config", "set", "Score", "5"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "velquor: config: cannot set Score: " + problem + "\n");
}

TEST(BadInput, StoreFileThatIsNotADatabase) {
  TempDir dir;
  const std::string home = dir.File("profile");
  ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
  const std::string junk(5000, 'j');
  WriteFile(home + "/registry.db", junk);
  ExpectUnusableStore(home, home + "/registry.db: not a registry database");
  EXPECT_EQ(ReadFile(home + "/registry.db"), junk);
}

TEST(BadInput, StoreFileThatIsADirectory) {
  TempDir dir;
  const std::string home = dir.File("profile");
  ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((home + "/registry.db").c_str(), 0700), 0);
  ExpectUnusableStore(home, home + "/registry.db: is a directory");
}

TEST(BadInput, ProfileDirectoryThatIsNotWritable) {
  // Permission bits do not bind the superuser, so the case cannot be made.
  if (geteuid() == 0) GTEST_SKIP() << "running as root: permissions do not bite";
  TempDir dir;
  const std::string home = dir.File("profile");
  ASSERT_EQ(mkdir(home.c_str(), 0500), 0);
  const std::string page = dir.File("page.html");
  WriteFile(page, kAdPage);
  RunResult r = RunVelquor(home, {"filter", page});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, kAdPageFiltered);
  EXPECT_NE(r.err.find(home + "/registry.db"), std::string::npos) << r.err;
  r = RunVelquor(home, {"config", "set", "Score", "5"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.rfind("velquor: config: cannot set Score: " + home + "/registry.db: ", 0), 0u)
      << r.err;
  chmod(home.c_str(), 0700);
}

TEST(BadInput, StoreLockedPastTheBusyTimeoutStillFilters) {
  TempDir home;
  ASSERT_EQ(RunVelquor(home.path(), {"config", "set", "Replace", "1"}).status, 0);
  ASSERT_EQ(RunVelquor(home.path(), {"config", "set", "ReplaceHtml", "[%HREF%]"}).status, 0);
  const std::string page = home.File("page.html");
  WriteFile(page, kAdPage);
  const pid_t locker = HoldStoreLock(home.path());

  // The settings are still read; only the totals cannot be counted.
  RunResult r = RunVelquor(home.path(), {"filter", page});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "<P>before[ HREF='http://ads.example.net/c']after\n");
  EXPECT_EQ(r.err, "velquor: " + home.File("registry.db") +
                       ": locked by another process past the 2 s timeout (using the defaults)\n");

  kill(locker, SIGKILL);
  waitpid(locker, nullptr, 0);
  // Once the lock is gone, pages are counted again.
  r = RunVelquor(home.path(), {"filter", page});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(RunVelquor(home.path(), {"stats"}).out, "Pages: 1\nKilled: 1\n");
}

TEST(BadInput, RulesFileThatIsADirectoryLeavesTheBuiltInRules) {
  TempDir home;
  ASSERT_EQ(mkdir(home.File("install").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(home.File("install/MYRULES.TXT").c_str(), 0700), 0);
  ASSERT_EQ(RunVelquor(home.path(), {"config", "set", "InstallDir", home.File("install")}).status,
            0);
  WriteFile(home.File("page.html"), kAdPage);
  const RunResult r = RunVelquor(home.path(), {"filter", home.File("page.html")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, kAdPageFiltered);
}

TEST(BadInput, UnreadableRulesFileLeavesTheBuiltInRules) {
  if (geteuid() == 0) GTEST_SKIP() << "running as root: permissions do not bite";
  TempDir home;
  ASSERT_EQ(mkdir(home.File("install").c_str(), 0700), 0);
  // Read, this rule would keep the advertisement.
  WriteFile(home.File("install/MYRULES.TXT"), "1,-1000,ADS.EXAMPLE\n\n\n\n\n\n");
  ASSERT_EQ(chmod(home.File("install/MYRULES.TXT").c_str(), 0), 0);
  ASSERT_EQ(RunVelquor(home.path(), {"config", "set", "InstallDir", home.File("install")}).status,
            0);
  WriteFile(home.File("page.html"), kAdPage);
  RunResult r = RunVelquor(home.path(), {"filter", home.File("page.html")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, kAdPageFiltered);
  r = RunVelquor(home.path(), {"rules", "check"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("MYRULES.TXT: Permission denied"), std::string::npos) << r.err;
}

// Pages that hold nothing to judge, or a segment that never closes, pass
// whole at the smallest and the largest read size, without footers (no page
// end is found, or nothing was changed).
TEST(BadInput, HugeAndStrangePagesPassUnchanged) {
  TempDir home;
  const struct {
    const char* name;
    std::string page;
  } cases[] = {
      {"50 MB in one line", "<HTML><BODY>" + std::string(50 << 20, 'w') + "</BODY></HTML>"},
      {"one unclosed link and 10 MB", "<A " + std::string(10 << 20, 'x')},
      {"zero bytes only", std::string(1 << 20, '\0')},
      {"nothing at all", ""},
  };
  for (const auto& c : cases) {
    WriteFile(home.File("page"), c.page);
    for (const char* read_size : {"8192", "67108864"}) {
      SCOPED_TRACE(std::string(c.name) + " read size " + read_size);
      const RunResult r =
          RunVelquor(home.path(), {"filter", "--read-size", read_size, home.File("page")});
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(r.out.size(), c.page.size());
      EXPECT_TRUE(r.out == c.page);
    }
  }
  EXPECT_EQ(RunVelquor(home.path(), {"stats"}).out, "Pages: 8\nKilled: 0\n");
}

TEST(BadInput, AttributeValueOfFiveMegabytes) {
  TempDir home;
  const std::string target = "http://ads.example.net/" + std::string(5 << 20, 'a');
  const std::string page =
      "<P>x<A HREF=\"" + target + "\"><IMG SRC=b.gif WIDTH=468 HEIGHT=60></A>y\n";
  WriteFile(home.File("page"), page);
  // Read whole, the link is judged and removed.
  RunResult r = RunVelquor(home.path(), {"filter", "--read-size", "67108864", home.File("page")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "<P>xy\n");
  // Replaced, its whole target goes into the markup.
  ASSERT_EQ(RunVelquor(home.path(), {"config", "set", "Replace", "1"}).status, 0);
  ASSERT_EQ(RunVelquor(home.path(), {"config", "set", "ReplaceHtml", "[%HREF%]"}).status, 0);
  r = RunVelquor(home.path(), {"filter", "--read-size", "67108864", home.File("page")});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string replaced = "<P>x[ HREF='" + target + "']y\n";
  EXPECT_EQ(r.out.size(), replaced.size());
  EXPECT_TRUE(r.out == replaced);
  // Read in pieces far shorter than the link, its long unclosed tail passes
  // unfiltered rather than being held back without end.
  r = RunVelquor(home.path(), {"filter", "--read-size", "8192", home.File("page")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.size(), page.size());
  EXPECT_TRUE(r.out == page);
  EXPECT_EQ(RunVelquor(home.path(), {"stats"}).out, "Pages: 3\nKilled: 2\n");
}

}  // namespace
}  // namespace velquor::test
