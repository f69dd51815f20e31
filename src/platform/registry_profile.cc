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
constinit NeverDestroyed<std::string> g_dir_holder;
constinit NeverDestroyed<std::string> g_file_holder;
constinit NeverDestroyed<std::string> g_serial_file_holder;
constinit NeverDestroyed<std::string> g_problem_holder;
}  // namespace
constinit std::string& g_dir = g_dir_holder.value;
constinit std::string& g_file = g_file_holder.value;
constinit std::string& g_serial_file = g_serial_file_holder.value;
constinit std::string& g_problem = g_problem_holder.value;

namespace {

std::string ComputeProfileDirectory() {
  const char* home = std::getenv("VELQUOR_HOME");
  if (home && *home) return home;
  // A relative XDG_CONFIG_HOME is invalid and ignored, as the convention says.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg == '/') return std::string(xdg) + "/velquor";
  const char* user_home = std::getenv("HOME");
  if (user_home && *user_home) return std::string(user_home) + "/.config/velquor";
  struct passwd pw;
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &pw, buffer, sizeof buffer, &found) == 0 && found &&
      found->pw_dir && *found->pw_dir) {
    return std::string(found->pw_dir) + "/.config/velquor";
  }
  return "";
}

}  // namespace

// Requires g_mu.
void ResolveLocked() {
  if (g_resolved) return;
  g_dir = ComputeProfileDirectory();
  g_file = g_dir.empty() ? "" : g_dir + "/" + kStoreFileName;
  g_serial_file = g_dir.empty() ? "" : g_dir + "/" + kSerialFileName;
  g_resolved = true;
}

void SetProblem(const std::string& problem) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_problem = problem;
}

std::string StoreFile() {
  std::lock_guard<std::mutex> lock(g_mu);
  ResolveLocked();
  return g_file;
}

}  // namespace velquor::registry_internal

namespace velquor {

using namespace registry_internal;

std::string ProfileDirectory() {
  std::lock_guard<std::mutex> lock(g_mu);
  ResolveLocked();
  return g_dir;
}

std::string StoreFilePath() { return StoreFile(); }

std::string StoreProblem() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_problem;
}

}  // namespace velquor
