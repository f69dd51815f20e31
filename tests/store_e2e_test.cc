// End-to-end tests of `velquor config`, `velquor stats` and `velquor reg`,
// and of the store shared by several processes.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_util.h"

namespace velquor::test {
namespace {

const char kDefaults[] =
    "Images: 1 (default)\n"
    "Applets: 1 (default)\n"
    "Score: 100 (default)\n"
    "Replace: 0 (default)\n"
    "ReplaceHtml: {Ad: <A %HREF%>%TEXT%</A>} (default)\n"
    "InstallDir:  (default)\n"
    "Test: 0 (default)\n"
    "AddModify: 1 (default)\n"
    "AddStats: 1 (default)\n"
    "Exceptions:  (default)\n"
    "InspectHttps: 0 (default)\n"
    "TunnelHosts:  (default)\n";

// Starts the helper with VELQUOR_HOME=home without waiting; its stdout goes to
// *out_fd when asked.
pid_t StartHammer(const std::string& home, const std::vector<std::string>& args,
                  int* out_fd = nullptr) {
  return SpawnWithProfile(COUNTER_HAMMER, args, home, out_fd);
}

int Wait(pid_t pid) { return WaitForChild(pid); }

TEST(StoreE2e, ConfigListShowsDefaultsAndCreatesNothing) {
  TempDir dir;
  std::string home = dir.File("profile");
  RunResult r = RunVelquor(home, {"config", "list"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, kDefaults);
  EXPECT_EQ(r.err, "");
  r = RunVelquor(home, {"stats"});
  EXPECT_EQ(r.out, "Pages: 0\nKilled: 0\n");
  EXPECT_EQ(RunProgram("/bin/sh", {"-c", "test -e '" + home + "'"}).status, 1)
      << "reads created the profile";
}

TEST(StoreE2e, ConfigSetGetUnset) {
  TempDir home;
  struct Step {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
  } steps[] = {
      {{"config", "set", "score", "120"}, 0, "", ""},
      {{"config", "get", "SCORE"}, 0, "120\n", ""},
      {{"config", "set", "ReplaceHtml", "[ad: %HREF%]"}, 0, "", ""},
      {{"config", "get", "replacehtml"}, 0, "[ad: %HREF%]\n", ""},
      {{"config", "set", "ReplaceHtml", ""}, 0, "", ""},
      {{"config", "get", "ReplaceHtml"}, 0, "\n", ""},
      {{"config", "set", "Images", "4294967295"}, 0, "", ""},
      {{"config", "get", "Images"}, 0, "4294967295\n", ""},
      {{"config", "unset", "Images"}, 0, "", ""},
      {{"config", "unset", "Images"}, 0, "", ""},
      {{"config", "get", "Images"}, 0, "1\n", ""},
      {{"config", "set", "Images", "4294967296"},
       1,
       "",
       "velquor: config: bad number '4294967296' for Images (valid: 0 to 4294967295)\n"},
      {{"config", "set", "Score", "-1"},
       1,
       "",
       "velquor: config: bad number '-1' for Score (valid: 0 to 4294967295)\n"},
      {{"config", "get", "Pages"},
       1,
       "",
       "velquor: config: unknown setting 'Pages' (valid: Images, Applets, Score, "
       "Replace, ReplaceHtml, InstallDir, Test, AddModify, AddStats, Exceptions, "
       "InspectHttps, TunnelHosts)\n"},
      {{"config", "set", "InstallDir", std::string(1024, 'd')},
       1,
       "",
       "velquor: config: InstallDir is 1024 bytes long (valid: at most 1023 bytes)\n"},
      {{"config", "frob"},
       1,
       "",
       "velquor: config: expected 'list', 'get NAME', 'set NAME VALUE' or 'unset NAME' "
       "(try 'velquor config --help')\n"},
  };
  for (const Step& s : steps) {
    RunResult r = RunVelquor(home.path(), s.args);
    std::string label = s.args[1] + (s.args.size() > 2 ? " " + s.args[2] : "");
    EXPECT_EQ(r.status, s.status) << label << ": " << r.err;
    EXPECT_EQ(r.out, s.out) << label;
    EXPECT_EQ(r.err, s.err) << label;
  }
  RunResult r = RunVelquor(home.path(), {"config", "list"});
  EXPECT_EQ(r.out,
            "Images: 1 (default)\nApplets: 1 (default)\nScore: 120 (stored)\n"
            "Replace: 0 (default)\nReplaceHtml:  (stored)\nInstallDir:  (default)\n"
            "Test: 0 (default)\nAddModify: 1 (default)\nAddStats: 1 (default)\n"
            "Exceptions:  (default)\nInspectHttps: 0 (default)\nTunnelHosts:  (default)\n");
}

// Every command leaves registry.db whole when it exits: a copy of that file
// alone carries the settings and the totals.
TEST(StoreE2e, TheDatabaseFileAloneHoldsEverythingAfterACommand) {
  TempDir home, copy;
  ASSERT_EQ(RunVelquor(home.path(), {"config", "set", "Score", "5"}).status, 0);
  ASSERT_EQ(RunVelquor(home.path(), {"filter", SourceDir() + "/examples/plain.html"}).status, 0);
  WriteFile(copy.File("registry.db"), ReadFile(home.File("registry.db")));
  EXPECT_EQ(RunVelquor(copy.path(), {"config", "get", "Score"}).out, "5\n");
  EXPECT_EQ(RunVelquor(copy.path(), {"stats"}).out, "Pages: 1\nKilled: 0\n");
}

TEST(StoreE2e, HelpForEachCommand) {
  TempDir home;
  for (const char* command : {"config", "stats", "reg"}) {
    RunResult r = RunVelquor(home.path(), {command, "--help"});
    EXPECT_EQ(r.status, 0) << command;
    EXPECT_EQ(r.out.rfind(std::string("usage: velquor ") + command, 0), 0u) << r.out;
  }
}

TEST(StoreE2e, RegImportExportAndStats) {
  TempDir home;
  std::string file = home.File("in.reg");
  WriteFile(file,
            "REGEDIT4\n\n"
            "[HKEY_CURRENT_USER\\Software\\Morvanet\\Velquor\\Stats]\n"
            "\"Pages\"=dword:0000000c\n"
            "\"Killed\"=dword:ffffffff\n\n"
            "[HKEY_CURRENT_USER\\Software\\Morvanet\\Velquor\\Config]\n"
            "\"Score\"=\"120\"\n");
  RunResult r = RunVelquor(home.path(), {"reg", "import", file});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(RunVelquor(home.path(), {"stats"}).out, "Pages: 12\nKilled: 4294967295\n");
  // A text "120" read by a 4-byte query is the number of its bytes "120\0".
  EXPECT_EQ(RunVelquor(home.path(), {"config", "get", "Score"}).out, "3158577\n");

  r = RunVelquor(home.path(), {"reg", "export"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string exported =
      "REGEDIT4\n\n"
      "[HKEY_CURRENT_USER\\Software]\n\n"
      "[HKEY_CURRENT_USER\\Software\\Morvanet]\n\n"
      "[HKEY_CURRENT_USER\\Software\\Morvanet\\Velquor]\n\n"
      "[HKEY_CURRENT_USER\\Software\\Morvanet\\Velquor\\Config]\n"
      "\"Score\"=\"120\"\n\n"
      "[HKEY_CURRENT_USER\\Software\\Morvanet\\Velquor\\Stats]\n"
      "\"Killed\"=dword:ffffffff\n"
      "\"Pages\"=dword:0000000c\n\n";
  EXPECT_EQ(r.out, exported);

  // A bad line anywhere: its number, and nothing written.
  WriteFile(file,
            "REGEDIT4\n[HKCU\\Software\\Morvanet\\Velquor\\Stats]\n\"Pages\"=dword:1\n"
            "\"Killed\"=dword:x\n");
  r = RunVelquor(home.path(), {"reg", "import", file});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "velquor: reg import: " + file +
                       ":4: bad hex digit in dword value; nothing was imported\n");
  EXPECT_EQ(RunVelquor(home.path(), {"reg", "export", home.File("out.reg")}).status, 0);
  EXPECT_EQ(ReadFile(home.File("out.reg")), exported);

  r = RunVelquor(home.path(), {"stats", "--reset"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Pages: 0\nKilled: 0\n");

  r = RunVelquor(home.path(), {"reg", "import", home.File("missing.reg")});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err,
            "velquor: reg import: " + home.File("missing.reg") + ": No such file or directory\n");
}

TEST(StoreE2e, StoreThatIsNotADatabaseIsReportedOnceAndDefaultsApply) {
  TempDir home;
  WriteFile(home.File("registry.db"), std::string(4096, 'j'));
  std::string problem = home.File("registry.db") + ": not a registry database";
  RunResult r = RunVelquor(home.path(), {"config", "list"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, kDefaults);
  EXPECT_EQ(r.err, "velquor: " + problem + " (using the defaults)\n");
  r = RunVelquor(home.path(), {"config", "set", "Score", "5"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "velquor: config: cannot set Score: " + problem + "\n");
  r = RunVelquor(home.path(), {"reg", "export"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(ReadFile(home.File("registry.db")), std::string(4096, 'j'));
}

// A profile path that names a file is no fresh profile: the commands that
// only read the store say so once, naming it, and fail.
TEST(StoreE2e, ProfileThatIsAFileIsReportedByEveryReader) {
  TempDir dir;
  const std::string home = dir.File("profile");
  WriteFile(home, "not a directory");
  const std::string problem =
      home + "/registry.db: the profile directory " + home + " is not a directory";
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"stats"}, "velquor: " + problem + " (showing 0)\n"},
      {{"config", "get", "Score"}, "velquor: " + problem + " (using the defaults)\n"},
      {{"config", "list"}, "velquor: " + problem + " (using the defaults)\n"},
      {{"reg", "export"}, "velquor: reg export: " + problem + "\n"},
      {{"filter", SourceDir() + "/examples/plain.html"},
       "velquor: " + problem + " (using the defaults)\n"},
  };
  for (const auto& c : cases) {
    RunResult r = RunVelquor(home, c.args);
    EXPECT_EQ(r.status, c.args[0] == "filter" ? 0 : 2) << c.args[0];
    EXPECT_EQ(r.err, c.err) << c.args[0];
  }
}

TEST(StoreE2e, StoreLockedByAnotherProcessFailsWritesWithoutHanging) {
  TempDir home;
  ASSERT_EQ(RunVelquor(home.path(), {"config", "set", "Score", "9"}).status, 0);
  int out = -1;
  pid_t locker = StartHammer(home.path(), {"lock", "60"}, &out);
  char buffer[16] = {};
  ASSERT_EQ(read(out, buffer, 7), 7);
  ASSERT_EQ(std::string(buffer), "locked\n");
  RunResult r = RunVelquor(home.path(), {"config", "set", "Score", "10"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "velquor: config: cannot set Score: " + home.File("registry.db") +
                       ": locked by another process past the 2 s timeout\n");
  r = RunVelquor(home.path(), {"config", "get", "Score"});
  EXPECT_EQ(r.out, "9\n");  // readers go on while a writer holds the lock
  kill(locker, SIGKILL);
  Wait(locker);
  close(out);
  EXPECT_EQ(RunVelquor(home.path(), {"config", "set", "Score", "10"}).status, 0);
}

TEST(StoreE2e, IncrementsFromManyProcessesAndThreadsAreAllCounted) {
  TempDir home;
  constexpr int kProcesses = 4, kThreads = 4, kEach = 200;
  std::vector<pid_t> pids;
  for (int p = 0; p < kProcesses; ++p) {
    pids.push_back(
        StartHammer(home.path(), {"increment", std::to_string(kThreads), std::to_string(kEach)}));
  }
  for (pid_t pid : pids) EXPECT_EQ(Wait(pid), 0);
  RunResult r = RunVelquor(home.path(), {"stats"});
  EXPECT_EQ(r.out, "Pages: " + std::to_string(kProcesses * kThreads * kEach) + "\nKilled: 0\n");
}

TEST(StoreE2e, ChangeFromAnotherProcessIsSeenAtTheNextRead) {
  TempDir home;
  // The store exists first, so that the watcher's reads are cached.
  ASSERT_EQ(RunVelquor(home.path(), {"config", "set", "Score", "5"}).status, 0);
  int out = -1;
  pid_t watcher = StartHammer(home.path(), {"watch", VelquorBinary()}, &out);
  ASSERT_EQ(Wait(watcher), 0);
  char buffer[32] = {};
  ssize_t n = read(out, buffer, sizeof buffer - 1);
  close(out);
  EXPECT_EQ(std::string(buffer, n > 0 ? n : 0), "5 7\n");
}

}  // namespace
}  // namespace velquor::test
