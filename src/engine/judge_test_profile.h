// A test fixture for the engine's judges and replacement markup: every test
// runs in a fresh profile directory (its own registry), with the keyword rule
// lists holding exactly the built-in rules. Settings are written straight
// into the registry as the configuration program would. Test-only; one
// fixture per test on the test's thread.
#ifndef VELQUOR_ENGINE_JUDGE_TEST_PROFILE_H_
#define VELQUOR_ENGINE_JUDGE_TEST_PROFILE_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/registry.h"
#include "platform/testing_profile.h"
#include "rules/keyword_rules.h"

namespace velquor::test {

inline constexpr char kConfigPath[] = "Software\\Morvanet\\Velquor\\Config";
inline constexpr char kStatsPath[] = "Software\\Morvanet\\Velquor\\Stats";

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    profile_.Open("engine");
    PresenceRules().clear();
    OccurrenceRules().clear();
    AddBuiltInRules();
  }

  void TearDown() override { profile_.Close(); }

  static void SetNumber(const char* name, uint32_t value, const char* path = kConfigPath) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    BYTE data[4];
    std::memcpy(data, &value, 4);
    EXPECT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, data, 4), ERROR_SUCCESS);
    RegCloseKey(key);
  }

  static void SetText(const char* name, const std::string& value) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kConfigPath, 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, name, 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }

  static void DeleteSetting(const char* name) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kConfigPath, 0, KEY_ALL_ACCESS, &key) !=
        ERROR_SUCCESS)
      return;
    RegDeleteValueA(key, name);
    RegCloseKey(key);
  }

  // The "Killed" total; 0 while absent.
  static uint32_t Killed() {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kStatsPath, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
      return 0;
    uint32_t value = 0;
    DWORD size = 4;
    if (RegQueryValueExA(key, "Killed", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS)
      value = 0;
    RegCloseKey(key);
    return value;
  }

 private:
  ScopedTestProfile profile_;
};

}  // namespace velquor::test

#endif  // VELQUOR_ENGINE_JUDGE_TEST_PROFILE_H_
