// Helpers for tests that use the registry: a fresh profile directory per
// test or per program, and a dump of a registry tree as text, one line per
// key and value, so that a test can compare everything a run wrote at once.
// Test code only.
#ifndef VELQUOR_PLATFORM_TESTING_REGISTRY_H_
#define VELQUOR_PLATFORM_TESTING_REGISTRY_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/registry.h"
#include "platform/testing_profile.h"

namespace velquor {

// A test whose registry lives in its own temporary profile: `dir_` is the
// temporary directory (for files of the test), `home_` the profile directory
// below it (Linux; see TempProfile).
class TempProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(profile_.Create()) << "cannot make a temporary directory";
    dir_ = profile_.dir;
    home_ = profile_.home;
  }
  void TearDown() override { profile_.Remove(); }

  std::string dir_;
  std::string home_;

 private:
  TempProfile profile_;
};

// One temporary profile for a whole test program, for programs whose tests
// only read settings they set themselves.
class TempProfileEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_TRUE(profile_.Create()) << "cannot make a temporary directory"; }
  void TearDown() override { profile_.Remove(); }

 private:
  TempProfile profile_;
};

// Stores `data` as value `name` (null: the default value) of type `type`
// under `key` below `root`, creating the key path; a failure fails the test.
inline void WriteTestValue(HKEY root, const std::string& key, const char* name, DWORD type,
                           const std::string& data) {
  HKEY handle = nullptr;
  ASSERT_EQ(
      RegCreateKeyExA(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle, nullptr),
      ERROR_SUCCESS)
      << key;
  EXPECT_EQ(RegSetValueExA(handle, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                           static_cast<DWORD>(data.size())),
            ERROR_SUCCESS)
      << key;
  RegCloseKey(handle);
}

// The same for a REG_SZ text, stored with its terminating zero.
inline void WriteTestText(HKEY root, const std::string& key, const char* name,
                          const std::string& text) {
  WriteTestValue(root, key, name, REG_SZ, std::string(text.c_str(), text.size() + 1));
}

// The data of value `name` (null: the default value) of `key` below `root`
// as text, one terminating zero dropped; "<absent>" when the key or the value
// is missing.
inline std::string ReadTestText(HKEY root, const std::string& key, const char* name) {
  HKEY handle = nullptr;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return "<absent>";
  char buffer[8192];
  DWORD size = sizeof buffer;
  const LSTATUS status =
      RegQueryValueExA(handle, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(handle);
  if (status != ERROR_SUCCESS) return "<absent>";
  std::string text(buffer, size);
  if (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

// Lines "path" for each key and "path [name] = type:data" for each value
// ("@" for the default value), children in the registry's order, for the
// tree below `key` (`path` is the prefix printed for it).
inline void DumpInto(HKEY key, const std::string& path, std::string* out) {
  for (DWORD i = 0;; ++i) {
    char name[512];
    DWORD name_size = sizeof name;
    BYTE data[4096];
    DWORD data_size = sizeof data;
    DWORD type = 0;
    if (RegEnumValueA(key, i, name, &name_size, nullptr, &type, data, &data_size) !=
        ERROR_SUCCESS) {
      break;
    }
    std::string text;
    if (type == REG_SZ) {
      text.assign(reinterpret_cast<char*>(data), data_size);
      if (!text.empty() && text.back() == '\0') {
        text.pop_back();
      } else {
        text += "<no zero>";
      }
    } else {
      for (DWORD b = 0; b < data_size; ++b) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x", data[b]);
        text += hex;
      }
    }
    *out += path + " [" + (name_size == 0 ? std::string("@") : std::string(name, name_size)) +
            "] = " + std::to_string(type) + ":" + text + "\n";
  }
  for (DWORD i = 0;; ++i) {
    char name[512];
    DWORD name_size = sizeof name;
    if (RegEnumKeyExA(key, i, name, &name_size, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    const std::string child(name, name_size);
    const std::string child_path = path.empty() ? child : path + "\\" + child;
    *out += child_path + "\n";
    HKEY sub = nullptr;
    if (RegOpenKeyExA(key, child.c_str(), 0, KEY_READ, &sub) == ERROR_SUCCESS) {
      DumpInto(sub, child_path, out);
      RegCloseKey(sub);
    }
  }
}

inline std::string DumpTree(HKEY root) {
  std::string out;
  DumpInto(root, "", &out);
  return out;
}

}  // namespace velquor

#endif  // VELQUOR_PLATFORM_TESTING_REGISTRY_H_
