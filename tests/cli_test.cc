#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e_util.h"

namespace velquor::test {
namespace {

TEST(Cli, HelpListsCommandsAndSucceeds) {
  TempDir home;
  RunResult r = RunVelquor(home.path(), {"--help"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("filter"), std::string::npos) << r.out;
}

TEST(Cli, UnknownCommandFailsWithOneLine) {
  TempDir home;
  RunResult r = RunVelquor(home.path(), {"frobnicate"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "velquor: unknown command 'frobnicate' (try 'velquor --help')\n");
}

// Mistakes a new user makes, in one profile, in order: each gets a working
// command or an answer that names the problem.
TEST(Cli, EverydayCommandsAnswerPlainly) {
  TempDir home;
  const std::string absent = home.File("absent.pem");
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;  // found in stdout
    std::string err;  // found in stderr
  } cases[] = {
      {{"--version"}, 0, "velquor 1.", ""},
      {{"exempt", "list"}, 0, "no exemptions\n", ""},
      {{"exempt", "add", "--tunnel", "a.example"}, 0, "", ""},
      {{"exempt", "--tunnel", "list"}, 0, "a.example\n", ""},
      {{"exempt", "remove", "--tunnel", "a.example"}, 0, "", ""},
      {{"exempt", "list", "--tunnel"}, 0, "no tunnelled hosts\n", ""},
      {{"exempt", "add", "http://foo.example/"},
       1,
       "",
       "exempt: 'http://foo.example/' is not a host name or IP address (write foo.example)\n"},
      {{"config", "set", "Exceptions", "http://foo.example/ bar"},
       1,
       "",
       "config: Exceptions: 'http://foo.example/' is not a host name or IP address (write "
       "foo.example)\n"},
      {{"config", "set", "TunnelHosts", "foo.example, 10.0.0.1"}, 0, "", ""},
      {{"proxy", "--listen", "no-such-host.invalid:8378"}, 1, "", "cannot resolve"},
      // Checked before the CA is made: no CA appears (see the next row).
      {{"proxy", "--inspect-https", "--listen", "127.0.0.1:0", "--extra-ca", absent},
       2,
       "",
       "--extra-ca " + absent + ": No such file or directory"},
      {{"uninstall"}, 1, "", "nothing is installed"},
      {{"proxy", "ca"}, 0, "certutil -d sql:$HOME/.pki/nssdb -N --empty-password", ""},
      {{"uninstall"}, 1, "the proxy's local CA stays", ""},
      {{"uninstall", "--remove-ca"}, 0, "removed the proxy's local CA", ""},
  };
  for (const auto& c : cases) {
    const RunResult r = RunVelquor(home.path(), c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0] << " " << c.args[1] << ": " << r.err;
    EXPECT_NE(r.out.find(c.out), std::string::npos) << c.args[1] << ": " << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args[1] << ": " << r.err;
    if (c.args[0] == "proxy" && c.status == 2) {
      EXPECT_FALSE(std::filesystem::exists(home.File("velquor-ca.key")));
    }
  }
  EXPECT_FALSE(std::filesystem::exists(home.File("velquor-ca.pem")));

  // A relative profile would differ from one directory to the next.
  const RunResult relative =
      RunProgram(VelquorBinary(), {"stats"}, {"VELQUOR_HOME=relative-profile"});
  EXPECT_EQ(relative.status, 2);
  EXPECT_NE(relative.err.find("VELQUOR_HOME=relative-profile is not an absolute path"),
            std::string::npos)
      << relative.err;
}

}  // namespace
}  // namespace velquor::test
