// Start-up fills the two keyword lists from the rules file that "InstallDir"
// names and then from the built-in table; shut-down leaves them alone.
#include <fstream>

#include "rules/keyword_rules.h"
#include "server/application.h"
#include "server/server_test_support.h"

namespace velquor::test {
namespace {

class StartupTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    ModuleShutdown();  // start-up starts it
    PresenceRules().clear();
    OccurrenceRules().clear();
  }
  void TearDown() override {
    PresenceRules().clear();
    OccurrenceRules().clear();
    RemoveProfile();  // start-up and shut-down ran in the test
  }
  void SetInstallDir(const std::string& value) {
    WriteTestText(HKEY_CURRENT_USER, "Software\\Morvanet\\Velquor\\Config", "InstallDir", value);
  }
  void WriteRules(const std::string& text) {
    std::ofstream(dir_ + "/MYRULES.TXT", std::ios::binary) << text;
  }
  static std::string Keywords(const KeywordRuleList& list) {
    std::string out;
    for (int i = 0; i < list.count(); ++i) {
      out += std::string(list.at(i).text()) + "=" + std::to_string(list.at(i).score) + " ";
    }
    return out;
  }
  void StartAndStop() {
    EXPECT_EQ(Application::Startup(ModuleOfAddress(&kTestModuleAnchor)), S_OK);
    EXPECT_TRUE(Module().started);
    EXPECT_EQ(ModuleLockCount(), 0);
    Application::Shutdown();
    EXPECT_FALSE(Module().started);
  }
};

TEST_F(StartupTest, WithoutInstallDirOnlyTheBuiltInRules) {
  StartAndStop();
  EXPECT_EQ(PresenceRules().count(), 18) << Keywords(PresenceRules());
  EXPECT_EQ(OccurrenceRules().count(), 16) << Keywords(OccurrenceRules());
}

TEST_F(StartupTest, UserRulesComeFirstThenTheBuiltIns) {
  WriteRules("1, 77, xwordonex\r\nN,-5,XWordTwoX\r\n// end\r\n");
  for (const std::string& dir : {dir_, dir_ + "\\"}) {
    PresenceRules().clear();
    OccurrenceRules().clear();
    SetInstallDir(dir);
    StartAndStop();
    ASSERT_EQ(PresenceRules().count(), 19) << dir << ": " << Keywords(PresenceRules());
    EXPECT_EQ(PresenceRules().at(0).text(), "XWORDONEX");
    EXPECT_EQ(PresenceRules().at(0).score, 77);
    ASSERT_EQ(OccurrenceRules().count(), 17) << dir << ": " << Keywords(OccurrenceRules());
    EXPECT_EQ(OccurrenceRules().at(0).text(), "XWORDTWOX");
    EXPECT_EQ(OccurrenceRules().at(0).score, -5);
  }
}

TEST_F(StartupTest, MainDirPlaceholderReadsNoFile) {
  // A rules file that would be read if the placeholder were taken as a name.
  std::filesystem::create_directory(dir_ + "/%MAINDIR%");
  std::ofstream(dir_ + "/%MAINDIR%/MYRULES.TXT", std::ios::binary)
      << "1,77,XWORDONEX\r\n// end\r\n";
  SetInstallDir(dir_ + "/%MAINDIR%");
  StartAndStop();
  EXPECT_EQ(PresenceRules().count(), 18) << Keywords(PresenceRules());
}

TEST_F(StartupTest, InstallDirWithoutARulesFileStillGetsTheBuiltIns) {
  SetInstallDir(dir_ + "/nowhere");
  StartAndStop();
  EXPECT_EQ(PresenceRules().count(), 18) << Keywords(PresenceRules());
  EXPECT_EQ(OccurrenceRules().count(), 16) << Keywords(OccurrenceRules());
}

TEST_F(StartupTest, BuiltInsComeAfterAFullPresenceList) {
  // The built-in rules go in after the user's, so a full list keeps only the
  // user's rules while the other list still gets its built-ins.
  std::string rules;
  for (int i = 0; i < 1000; ++i) rules += "1,1,xuser" + std::to_string(i) + "x\r\n";
  rules += "// end\r\n";
  WriteRules(rules);
  SetInstallDir(dir_);
  StartAndStop();
  ASSERT_EQ(PresenceRules().count(), 1000);
  EXPECT_EQ(PresenceRules().at(0).text(), "XUSER0X");
  EXPECT_EQ(PresenceRules().at(999).text(), "XUSER999X");
  EXPECT_EQ(OccurrenceRules().count(), 16) << Keywords(OccurrenceRules());
}

}  // namespace
}  // namespace velquor::test
