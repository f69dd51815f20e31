#include "settings/store.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/testing_registry.h"

namespace velquor {
namespace {

class StoreTest : public TempProfileTest {
 protected:
  // Stores raw bytes as any type, as a user could with `velquor reg import`.
  static void Put(const char* key, const char* name, DWORD type, const std::string& data) {
    WriteTestValue(HKEY_CURRENT_USER, key, name, type, data);
  }
};

TEST_F(StoreTest, TableHoldsEveryValueWithItsDefault) {
  struct Expected {
    const char* name;
    const char* key;
    StoreType type;
    uint32_t number;
  } expected[] = {
      {"Images", kConfigKey, StoreType::kNumber, 1},
      {"Applets", kConfigKey, StoreType::kNumber, 1},
      {"Score", kConfigKey, StoreType::kNumber, 100},
      {"Replace", kConfigKey, StoreType::kNumber, 0},
      {"ReplaceHtml", kConfigKey, StoreType::kText, 0},
      {"InstallDir", kConfigKey, StoreType::kText, 0},
      {"Test", kConfigKey, StoreType::kNumber, 0},
      {"AddModify", kConfigKey, StoreType::kNumber, 1},
      {"AddStats", kConfigKey, StoreType::kNumber, 1},
      {"Exceptions", kConfigKey, StoreType::kText, 0},
      {"InspectHttps", kConfigKey, StoreType::kNumber, 0},
      {"TunnelHosts", kConfigKey, StoreType::kText, 0},
      {"Killed", kStatsKey, StoreType::kNumber, 0},
      {"Pages", kStatsKey, StoreType::kNumber, 0},
  };
  ASSERT_EQ(kStoreValueCount, std::size(expected));
  for (const Expected& e : expected) {
    const StoreValue* v = FindStoreValue(e.name);
    ASSERT_NE(v, nullptr) << e.name;
    EXPECT_STREQ(v->key, e.key) << e.name;
    EXPECT_EQ(v->type, e.type) << e.name;
    if (e.type == StoreType::kNumber) {
      EXPECT_EQ(v->number_default, e.number) << e.name;
      // With nothing stored every read yields the default, and creates nothing.
      EXPECT_EQ(ReadSetting(*v), e.number) << e.name;
    }
  }
  EXPECT_EQ(FindStoreValue("REPLACEHTML"), FindStoreValue("ReplaceHtml"));
  EXPECT_EQ(FindStoreValue("replacehtml")->text_default, nullptr);  // string 109
  EXPECT_STREQ(FindStoreValue("installdir")->text_default, "");
  EXPECT_EQ(FindStoreValue("Nope"), nullptr);
  EXPECT_EQ(ReadTextSetting(kReplaceHtml, "dflt"), "dflt");
  EXPECT_FALSE(std::filesystem::exists(home_ + "/registry.db"));
}

TEST_F(StoreTest, TextReadRules) {
  struct Case {
    const char* label;
    std::string stored;
    std::string expected;
  } cases[] = {
    {"ordinary", std::string("<b>ad</b>\0", 10), "<b>ad</b>"},
    {"empty text is not the default", std::string("\0", 1), ""},
    {"no data at all", "", ""},
    {"stops at the first zero", std::string("ab\0cd\0", 6), "ab"},
    {"1024 bytes with terminator fits", std::string(1023, 'x') + std::string("\0", 1),
     std::string(1023, 'x')},
#if !defined(_WIN32)
    // The Windows registry hands a text stored without a terminator back
    // with one, so there it no longer fits.
    {"1024 bytes without terminator", std::string(1024, 'y'), std::string(1024, 'y')},
#endif
    {"1025 bytes is the default", std::string(1024, 'z') + std::string("\0", 1), "DEFAULT"},
  };
  for (const Case& c : cases) {
    Put(kConfigKey, "ReplaceHtml", REG_SZ, c.stored);
    EXPECT_EQ(ReadStoreString(HKEY_CURRENT_USER, kConfigKey, "replacehtml", "DEFAULT"), c.expected)
        << c.label;
  }
}

TEST_F(StoreTest, NumberReadRulesLookAtBytesNotType) {
  struct Case {
    const char* label;
    DWORD type;
    std::string stored;
    uint32_t expected;
  } cases[] = {
      {"dword", REG_DWORD, std::string("\x2c\x01\0\0", 4), 300},
      {"text of four bytes", REG_SZ, std::string("120\0", 4), 0x00303231},
      {"longer text is the default", REG_SZ, std::string("1200\0", 5), 7},
      {"one byte", REG_BINARY, "\x09", 9},
      {"three bytes", REG_BINARY, std::string("\x01\x02\x03", 3), 0x030201},
      {"no bytes", REG_BINARY, "", 0},
      {"top value", REG_DWORD, "\xff\xff\xff\xff", 4294967295u},
  };
  for (const Case& c : cases) {
    Put(kConfigKey, "Score", c.type, c.stored);
    EXPECT_EQ(ReadStoreNumber(HKEY_CURRENT_USER, kConfigKey, "Score", 7), c.expected) << c.label;
  }
}

TEST_F(StoreTest, WriteAndIncrementCreateTheKeyAndWrap) {
  IncrementCounter(kPages);
  EXPECT_EQ(ReadSetting(kPages), 1u);
  EXPECT_EQ(ReadSetting(kKilled), 0u);

  WriteStoreNumber(HKEY_CURRENT_USER, kStatsKey, "Killed", 4294967295u);
  EXPECT_EQ(ReadSetting(kKilled), 4294967295u);
  IncrementCounter(kKilled);
  EXPECT_EQ(ReadSetting(kKilled), 0u);

  WriteStoreNumber(HKEY_CURRENT_USER, kConfigKey, "Score", 55);
  EXPECT_EQ(ReadSetting(kScore), 55u);
  // The written value is a REG_DWORD of four little-endian bytes.
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kConfigKey, 0, KEY_READ, &k), ERROR_SUCCESS);
  BYTE data[8];
  DWORD size = sizeof data;
  DWORD type = 0;
  ASSERT_EQ(RegQueryValueExA(k, "Score", nullptr, &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), std::string("\x37\0\0\0", 4));
  RegCloseKey(k);
}

#if !defined(_WIN32)
// The store is a file of the profile only on Linux.
TEST_F(StoreTest, WritesToAnUnusableStoreAreDroppedSilently) {
  std::string home = home_ + "/not-a-dir";
  std::filesystem::create_directories(home_);
  FILE* f = std::fopen(home.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  setenv("VELQUOR_HOME", (home + "/velquor").c_str(), 1);
  CloseRegistry();
  WriteStoreNumber(HKEY_CURRENT_USER, kConfigKey, "Score", 5);
  IncrementCounter(kPages);
  EXPECT_EQ(ReadSetting(kScore), 100u);
  EXPECT_EQ(ReadSetting(kPages), 0u);
  EXPECT_NE(StoreProblem(), "");
}
#endif

}  // namespace
}  // namespace velquor
