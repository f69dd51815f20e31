// A registry profile of its own for a test, a benchmark or a fuzz target, so
// that none of them touches the user's profile. Test code only; no test
// framework needed. One profile at a time per process, made and removed on
// the same thread.
#ifndef VELQUOR_PLATFORM_TESTING_PROFILE_H_
#define VELQUOR_PLATFORM_TESTING_PROFILE_H_

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/registry.h"

namespace velquor {

// A temporary directory `dir` of its own for the files of the test.
// On Linux its subdirectory "profile" (`home`; not made: the store makes it at
// its first write) is the registry profile: VELQUOR_HOME names it, and the
// registry forgets any profile it had open. On Windows the process's
// HKEY_CURRENT_USER and HKEY_CLASSES_ROOT are pointed at fresh keys below the
// real HKEY_CURRENT_USER instead (`home` is then unused).
// Remove closes the registry, removes the directory with all below it and
// gives the registry back as it was (VELQUOR_HOME its earlier value, or the
// real roots with the test's keys deleted), so that later registry calls
// cannot make the removed profile again.
struct TempProfile {
  std::string dir;
  std::string home;

  // False when no temporary directory (or on Windows no registry key) can be
  // made.
  bool Create() {
#if defined(_WIN32)
    static unsigned serial = 0;
    std::error_code ec;
    const std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
    if (ec) return false;
    std::string name;
    for (int attempt = 0;; ++attempt) {
      if (attempt == 100) return false;
      char text[64];
      std::snprintf(text, sizeof text, "velquor-%lu-%u",
                    static_cast<unsigned long>(GetCurrentProcessId()), ++serial);
      name = text;
      if (std::filesystem::create_directory(temp / name, ec)) break;
      if (ec) return false;  // not merely taken
    }
    dir = (temp / name).string();
    home = dir + "\\profile";
    key_ = std::string("Software\\VelquorTests\\") + name;
    if (!Redirect(HKEY_CURRENT_USER, "HKCU") || !Redirect(HKEY_CLASSES_ROOT, "HKCR")) {
      Remove();
      return false;
    }
#else
    std::string pattern = (std::filesystem::temp_directory_path() / "velquor-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return false;
    const char* earlier = getenv("VELQUOR_HOME");
    had_earlier_ = earlier != nullptr;
    earlier_ = had_earlier_ ? earlier : "";
    dir = pattern;
    home = dir + "/profile";
    setenv("VELQUOR_HOME", home.c_str(), 1);
#endif
    CloseRegistry();  // the next registry call opens the new profile
    return true;
  }
  void Remove() {
    if (dir.empty()) return;
    CloseRegistry();
#if defined(_WIN32)
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    RegDeleteTreeA(HKEY_CURRENT_USER, key_.c_str());
#endif
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    dir.clear();
#if !defined(_WIN32)
    if (had_earlier_) {
      setenv("VELQUOR_HOME", earlier_.c_str(), 1);
    } else {
      unsetenv("VELQUOR_HOME");
    }
#endif
  }

 private:
#if defined(_WIN32)
  // Points the process's `root` at a new key below the profile's key.
  bool Redirect(HKEY root, const char* part) {
    HKEY key = nullptr;
    const std::string path = key_ + "\\" + part;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
      return false;
    }
    const bool ok = RegOverridePredefKey(root, key) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
  }
  std::string key_;
#else
  bool had_earlier_ = false;
  std::string earlier_;
#endif
};

}  // namespace velquor

#endif  // VELQUOR_PLATFORM_TESTING_PROFILE_H_
