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
#include "platform/testing_registry.h"
#include "rules/keyword_rules.h"

namespace velquor::test {

inline constexpr char kConfigPath[] = "Software\\Morvanet\\Velquor\\Config";
inline constexpr char kStatsPath[] = "Software\\Morvanet\\Velquor\\Stats";

class ProfileTest : public TempProfileTest {
 protected:
  void SetUp() override {
    TempProfileTest::SetUp();
    PresenceRules().clear();
    OccurrenceRules().clear();
    AddBuiltInRules();
  }

  static void SetNumber(const char* name, uint32_t value, const char* path = kConfigPath) {
    char data[4];
    std::memcpy(data, &value, 4);
    WriteTestValue(HKEY_CURRENT_USER, path, name, REG_DWORD, std::string(data, 4));
  }

  static void SetText(const char* name, const std::string& value) {
    WriteTestText(HKEY_CURRENT_USER, kConfigPath, name, value);
  }

  static void DeleteSetting(const char* name) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kConfigPath, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
      return;
    RegDeleteValueA(key, name);
    RegCloseKey(key);
  }

  // The "Killed" total; 0 while absent.
  static uint32_t Killed() {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kStatsPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
      return 0;
    uint32_t value = 0;
    DWORD size = 4;
    if (RegQueryValueExA(key, "Killed", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) !=
        ERROR_SUCCESS)
      value = 0;
    RegCloseKey(key);
    return value;
  }
};

}  // namespace velquor::test

#endif  // VELQUOR_ENGINE_JUDGE_TEST_PROFILE_H_
