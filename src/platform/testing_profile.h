// A registry profile of its own for a test, a benchmark or a fuzz target, so
// that none of them touches the user's profile. Test code only; no test
// framework needed.
#ifndef VELQUOR_PLATFORM_TESTING_PROFILE_H_
#define VELQUOR_PLATFORM_TESTING_PROFILE_H_

#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/registry.h"

namespace velquor {

// A temporary directory `dir` of its own, whose subdirectory "profile" (not
// made: the store makes it at its first write) is the registry profile:
// VELQUOR_HOME names it, and the registry forgets any profile it had open.
// Remove closes the registry, removes the directory with all below it and
// gives VELQUOR_HOME back its earlier value, so that later registry calls
// cannot make the removed profile again.
struct TempProfile {
  std::string dir;
  std::string home;

  // False when no temporary directory can be made.
  bool Create() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velquor-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return false;
    const char* earlier = getenv("VELQUOR_HOME");
    had_earlier_ = earlier != nullptr;
    earlier_ = had_earlier_ ? earlier : "";
    dir = pattern;
    home = dir + "/profile";
    setenv("VELQUOR_HOME", home.c_str(), 1);
    CloseRegistry();
    return true;
  }
  void Remove() {
    if (dir.empty()) return;
    CloseRegistry();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    dir.clear();
    if (had_earlier_) {
      setenv("VELQUOR_HOME", earlier_.c_str(), 1);
    } else {
      unsetenv("VELQUOR_HOME");
    }
  }

 private:
  bool had_earlier_ = false;
  std::string earlier_;
};

}  // namespace velquor

#endif  // VELQUOR_PLATFORM_TESTING_PROFILE_H_
