#include "platform/module.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/error_info.h"

namespace {

int g_marker = 0;

std::string RealProgramPath() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return std::string();
  path[n] = '\0';
  return path;
}

TEST(ModuleTest, OwnModuleNamesTheProgramWithItsFullPath) {
  const HMODULE own = velquor::ModuleOfAddress(&g_marker);
  ASSERT_NE(own, nullptr);
  EXPECT_EQ(velquor::ModuleOfAddress(reinterpret_cast<const void*>(&RealProgramPath)), own);
  char buffer[kMaxPathBuffer];
  const DWORD length = GetModuleFileNameA(own, buffer, sizeof buffer);
  const std::string expected = RealProgramPath();
  ASSERT_GT(length, 0u) << "error " << GetLastError();
  EXPECT_EQ(std::string(buffer, length), expected);
  EXPECT_EQ(std::strlen(buffer), length);
  // Null stands for the main program: the same file here.
  EXPECT_EQ(GetModuleFileNameA(nullptr, buffer, sizeof buffer), length);
  EXPECT_EQ(std::string(buffer), expected);
}

TEST(ModuleTest, SharedLibraryGetsItsOwnAbsolutePath) {
  void* symbol = dlsym(RTLD_DEFAULT, "dladdr");
  ASSERT_NE(symbol, nullptr);
  const HMODULE lib = velquor::ModuleOfAddress(symbol);
  ASSERT_NE(lib, nullptr);
  ASSERT_NE(lib, velquor::ModuleOfAddress(&g_marker));
  const std::string path = velquor::ModuleFileName(lib);
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path[0], '/') << path;
  EXPECT_EQ(access(path.c_str(), R_OK), 0) << path;
  EXPECT_NE(path, RealProgramPath());
}

TEST(ModuleTest, PathThatDoesNotFitFailsInsteadOfBeingCut) {
  const HMODULE own = velquor::ModuleOfAddress(&g_marker);
  const std::string expected = RealProgramPath();
  std::string buffer(expected.size() + 8, 'x');
  // Exactly the path and its zero: fits.
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameA(own, buffer.data(), static_cast<DWORD>(expected.size() + 1)),
            expected.size());
  // One byte less: fails, and the buffer holds no part of the path.
  buffer.assign(expected.size() + 8, 'x');
  EXPECT_EQ(GetModuleFileNameA(own, buffer.data(), static_cast<DWORD>(expected.size())), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(buffer[0], '\0');
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameA(own, buffer.data(), 0), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(ModuleTest, UnknownHandleIsRefused) {
  char buffer[64] = "untouched";
  // An address inside the program that is not where it is mapped.
  const auto inside = reinterpret_cast<HMODULE>(&g_marker);
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameA(inside, buffer, sizeof buffer), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(velquor::ModuleOfAddress(nullptr), nullptr);
}

TEST(ModuleTest, PathNamesModuleAcceptsOtherSpellingsOfTheSameFile) {
  const std::string path = RealProgramPath();
  EXPECT_TRUE(velquor::PathNamesModuleOf(path, &g_marker));
  const std::size_t slash = path.rfind('/');
  const std::string doubled = path.substr(0, slash) + "//" + path.substr(slash + 1);
  EXPECT_TRUE(velquor::PathNamesModuleOf(doubled, &g_marker));
  EXPECT_FALSE(velquor::PathNamesModuleOf(path + ".other", &g_marker));
  EXPECT_FALSE(velquor::PathNamesModuleOf("", &g_marker));
  EXPECT_FALSE(velquor::PathNamesModuleOf("/bin/sh", &g_marker));
}

}  // namespace
