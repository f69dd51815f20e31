#include <gtest/gtest.h>

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

}  // namespace
}  // namespace velquor::test
