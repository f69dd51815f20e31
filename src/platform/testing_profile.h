// A throwaway profile for tests: a fresh temporary directory and a registry
// of its own, so that no test reads or writes a real user's settings.
// On Linux the registry follows the profile directory ($VELQUOR_HOME); on
// Windows HKEY_CURRENT_USER and HKEY_CLASSES_ROOT of the process are
// redirected to fresh keys below the real HKEY_CURRENT_USER, which are
// deleted with the profile. Test code only; one profile at a time per
// process, opened and closed on the test's thread.
#ifndef VELQUOR_PLATFORM_TESTING_PROFILE_H_
#define VELQUOR_PLATFORM_TESTING_PROFILE_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/registry.h"

namespace velquor::test {

class ScopedTestProfile {
 public:
  ScopedTestProfile() = default;
  ~ScopedTestProfile() { Close(); }
  ScopedTestProfile(const ScopedTestProfile&) = delete;
  ScopedTestProfile& operator=(const ScopedTestProfile&) = delete;

  // Creates the directory (named after `tag`) and switches the registry to
  // the new profile. Fails the current test when it cannot.
  void Open(const char* tag) {
    Close();
#if defined(_WIN32)
    static unsigned serial = 0;
    char name[96];
    std::snprintf(name, sizeof name, "velquor-%s-%lu-%u", tag,
                  static_cast<unsigned long>(GetCurrentProcessId()), ++serial);
    dir_ = (std::filesystem::temp_directory_path() / name).string();
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);
    ASSERT_FALSE(ec) << dir_ << ": " << ec.message();
    registry_key_ = std::string("Software\\VelquorTests\\") + name;
    ASSERT_TRUE(Redirect(HKEY_CURRENT_USER, "HKCU") && Redirect(HKEY_CLASSES_ROOT, "HKCR"))
        << "cannot redirect the registry to " << registry_key_;
#else
    std::string pattern =
        (std::filesystem::temp_directory_path() / (std::string("velquor-") + tag + "-XXXXXX"))
            .string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << pattern;
    dir_ = pattern;
    setenv("VELQUOR_HOME", dir_.c_str(), 1);
#endif
    CloseRegistry();  // the next registry call opens the new profile
  }

  // Switches the registry back and removes the profile. Idempotent.
  void Close() {
    if (dir_.empty()) return;
    CloseRegistry();
#if defined(_WIN32)
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    RegDeleteTreeA(HKEY_CURRENT_USER, registry_key_.c_str());
#endif
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    dir_.clear();
  }

  const std::string& dir() const { return dir_; }

 private:
#if defined(_WIN32)
  // Points the process's `root` at a new key below the profile's key.
  bool Redirect(HKEY root, const char* part) {
    HKEY key = nullptr;
    const std::string path = registry_key_ + "\\" + part;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
      return false;
    }
    const bool ok = RegOverridePredefKey(root, key) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
  }
  std::string registry_key_;
#endif
  std::string dir_;
};

// A test with a profile of its own.
class TempProfileTestBase : public ::testing::Test {
 protected:
  explicit TempProfileTestBase(const char* tag) : tag_(tag) {}
  void SetUp() override { profile_.Open(tag_); }
  void TearDown() override { profile_.Close(); }
  const std::string& profile_dir() const { return profile_.dir(); }

 private:
  const char* tag_;
  ScopedTestProfile profile_;
};

// One profile for a whole test program, for tests that only need some
// profile and set every value they depend on.
class ProgramProfileEnvironment : public ::testing::Environment {
 public:
  explicit ProgramProfileEnvironment(const char* tag) : tag_(tag) {}
  void SetUp() override { profile_.Open(tag_); }
  void TearDown() override { profile_.Close(); }

 private:
  const char* tag_;
  ScopedTestProfile profile_;
};

}  // namespace velquor::test

#endif  // VELQUOR_PLATFORM_TESTING_PROFILE_H_
