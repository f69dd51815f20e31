// Where the profile is: $VELQUOR_HOME, else an absolute $XDG_CONFIG_HOME,
// else the home directory; the store and shared file in it; and why the
// store last failed.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/registry_internal.h"

namespace velquor::registry_internal {

constinit std::mutex g_mu;
constinit bool g_resolved = false;

namespace {

constinit ProfileTexts* g_texts = nullptr;

std::string ComputeProfileDirectory() {
  const char* home = std::getenv("VELQUOR_HOME");
  // A relative profile would be a different one in every directory a program
  // runs in, and the library loaded by a browser would pick yet another: it
  // names no profile (see RelativeProfileProblem).
  if (home && *home) return *home == '/' ? home : "";
  // A relative XDG_CONFIG_HOME is invalid and ignored, as the convention says.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg == '/') return std::string(xdg) + "/velquor";
  const char* user_home = std::getenv("HOME");
  if (user_home && *user_home) return std::string(user_home) + "/.config/velquor";
  struct passwd pw;
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &pw, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir &&
      *found->pw_dir) {
    return std::string(found->pw_dir) + "/.config/velquor";
  }
  return "";
}

}  // namespace

// Requires g_mu.
ProfileTexts& TextsLocked() {
  if (g_texts == nullptr) g_texts = new ProfileTexts;
  return *g_texts;
}

void ReleaseTextsLocked() {
  delete g_texts;
  g_texts = nullptr;
}

void ResolveLocked() {
  if (g_resolved) return;
  ProfileTexts& t = TextsLocked();
  t.dir = ComputeProfileDirectory();
  t.file = t.dir.empty() ? "" : t.dir + "/" + kStoreFileName;
  t.serial_file = t.dir.empty() ? "" : t.dir + "/" + kSerialFileName;
  g_resolved = true;
}

void SetProblem(const std::string& problem) {
  std::lock_guard<std::mutex> lock(g_mu);
  TextsLocked().problem = problem;
}

std::string StoreFile() {
  std::lock_guard<std::mutex> lock(g_mu);
  ResolveLocked();
  return TextsLocked().file;
}

}  // namespace velquor::registry_internal

namespace velquor {

using namespace registry_internal;

std::string RelativeProfileProblem() {
  const char* home = std::getenv("VELQUOR_HOME");
  if (home == nullptr || *home == '\0' || *home == '/') return "";
  return std::string("VELQUOR_HOME=") + home +
         " is not an absolute path, so it names no profile: set it to a full path (such as "
         "$PWD/" +
         home + ")";
}

std::string ProfileDirectory() {
  std::lock_guard<std::mutex> lock(g_mu);
  ResolveLocked();
  return TextsLocked().dir;
}

std::string StoreFilePath() { return StoreFile(); }

std::string StoreProblem() {
  std::lock_guard<std::mutex> lock(g_mu);
  return TextsLocked().problem;
}

}  // namespace velquor
