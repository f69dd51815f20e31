// The Windows platform layer against the real system: totals under the named
// mutex (threads and processes at once), reads of values of every size, the
// resources compiled into the binary against their source bytes, module
// names, and the constant-initialised lock.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "embedded_resources.h"
#include "platform/module.h"
#include "platform/mutex.h"
#include "platform/registry.h"
#include "platform/resources.h"
#include "platform/testing_registry.h"

namespace velquor {
namespace {

constexpr char kTotalsKeyVariable[] = "VELQUOR_TEST_TOTALS_KEY";
constexpr int kIncrementsPerWorker = 150;

uint32_t ReadNumber(const char* key, const char* name) {
  BYTE data[4] = {0, 0, 0, 0};
  DWORD size = 0;
  if (RegReadValueFast(HKEY_CURRENT_USER, key, name, data, sizeof data, &size) != ERROR_SUCCESS) {
    return 0xDEADBEEF;
  }
  uint32_t value = 0;
  std::memcpy(&value, data, sizeof value);
  return value;
}

class PlatformWinTest : public TempProfileTest {};

TEST_F(PlatformWinTest, IncrementReadsTheBytesAndWraps) {
  const char* key = "Software\\Morvanet\\Velquor\\Stats";
  DWORD now = 0;
  EXPECT_EQ(RegIncrementValue(HKEY_CURRENT_USER, key, "Pages", &now), ERROR_SUCCESS);
  EXPECT_EQ(now, 1u) << "an absent value counts as 0 and the key path is created";
  const struct {
    std::string stored;
    DWORD expected;
  } cases[] = {
      {std::string("\xff\xff\xff\xff", 4), 0},  // wraps
      {std::string("\x02\x01", 2), 0x0103},     // shorter data, little-endian
      {std::string("\x05\0\0\0\0", 5), 1},      // longer data counts as 0
  };
  for (const auto& c : cases) {
    WriteTestValue(HKEY_CURRENT_USER, key, "Killed", REG_BINARY, c.stored);
    EXPECT_EQ(RegIncrementValue(HKEY_CURRENT_USER, key, "Killed", &now), ERROR_SUCCESS);
    EXPECT_EQ(now, c.expected);
    EXPECT_EQ(ReadNumber(key, "Killed"), c.expected);
  }
}

TEST_F(PlatformWinTest, FastReadTellsTheSizeOfWhatDoesNotFit) {
  WriteTestValue(HKEY_CURRENT_USER, "Software\\T", "v", REG_BINARY, "abcdef");
  BYTE data[4] = {'x', 'x', 'x', 'x'};
  DWORD size = 0;
  EXPECT_EQ(RegReadValueFast(HKEY_CURRENT_USER, "Software\\T", "v", data, 4, &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(RegReadValueFast(HKEY_CURRENT_USER, "Software\\T", "none", data, 4, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegReadValueFast(HKEY_CURRENT_USER, "Software\\None", "v", data, 4, &size),
            ERROR_FILE_NOT_FOUND);
}

// Run only as a child of the test below, which names the key.
TEST(DISABLED_TotalsWorker, Increments) {
  const char* key = std::getenv(kTotalsKeyVariable);
  ASSERT_NE(key, nullptr);
  for (int i = 0; i < kIncrementsPerWorker; ++i) {
    ASSERT_EQ(RegIncrementValue(HKEY_CURRENT_USER, key, "Pages", nullptr), ERROR_SUCCESS);
  }
}

TEST(TotalsTest, NoIncrementIsLostAcrossProcessesAndThreads) {
  // The real HKEY_CURRENT_USER: child processes do not share a redirection.
  const std::string key = "Software\\VelquorTests\\totals-" + std::to_string(GetCurrentProcessId());
  SetEnvironmentVariableA(kTotalsKeyVariable, key.c_str());
  char exe[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, exe, sizeof exe), 0u);
  std::string command = std::string("\"") + exe +
                        "\" --gtest_filter=DISABLED_TotalsWorker.* "
                        "--gtest_also_run_disabled_tests --gtest_brief=1";
  constexpr int kProcesses = 3;
  constexpr int kThreads = 2;
  std::vector<PROCESS_INFORMATION> children;
  for (int i = 0; i < kProcesses; ++i) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(CreateProcessA(exe, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &info))
        << GetLastError();
    children.push_back(info);
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&key] {
      for (int i = 0; i < kIncrementsPerWorker; ++i) {
        RegIncrementValue(HKEY_CURRENT_USER, key.c_str(), "Pages", nullptr);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (PROCESS_INFORMATION& child : children) {
    EXPECT_EQ(WaitForSingleObject(child.hProcess, 120000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeProcess(child.hProcess, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
  }
  EXPECT_EQ(ReadNumber(key.c_str(), "Pages"),
            static_cast<uint32_t>((kProcesses + kThreads) * kIncrementsPerWorker));
  RegDeleteTreeA(HKEY_CURRENT_USER, key.c_str());
}

// Every resource of the manifest, as the system finds it in this binary,
// equals its source file byte for byte (the type library is compiled from
// its own source and is not among them).
TEST(ResourcesTest, TheBinaryHoldsTheSourceBytes) {
  const HMODULE self = ModuleOfAddress(&kTotalsKeyVariable);
  ASSERT_NE(self, nullptr);
  int compared = 0;
  for (const EmbeddedResource* r = kEmbeddedResources; r->type != nullptr; ++r) {
    const std::string source(reinterpret_cast<const char*>(r->data), r->size);
    const std::string type = r->type;
    if (type == "STRING") {
      EXPECT_EQ(LoadResourceString(r->id), source) << "string " << r->id;
      ++compared;
    } else if (type == "REGISTRY") {
      HRSRC found = FindResourceA(self, MAKEINTRESOURCEA(r->id), "REGISTRY");
      ASSERT_NE(found, nullptr);
      const void* bytes = LockResource(LoadResource(self, found));
      const DWORD size = SizeofResource(self, found);
      EXPECT_EQ(std::string(static_cast<const char*>(bytes), size), source);
      EXPECT_EQ(size, 531u);
      ++compared;
    }
  }
  EXPECT_EQ(compared, 4);
  EXPECT_EQ(LoadResourceString(4000), "");
  EXPECT_NE(FindResourceA(self, MAKEINTRESOURCEA(1), "TYPELIB"), nullptr);
}

TEST(ModuleTest, NamesTheBinaryOfAnAddress) {
  const HMODULE self = ModuleOfAddress(&kTotalsKeyVariable);
  EXPECT_EQ(self, GetModuleHandleA(nullptr));
  const std::string path = ModuleFileName(self);
  ASSERT_GT(path.size(), 4u);
  EXPECT_TRUE(PathNamesModuleOf(path, &kTotalsKeyVariable));
  std::string other_case = path;
  for (char& c : other_case) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  EXPECT_TRUE(PathNamesModuleOf(other_case, &kTotalsKeyVariable)) << other_case;
  EXPECT_FALSE(PathNamesModuleOf(path + ".missing", &kTotalsKeyVariable));
  EXPECT_EQ(ModuleOfAddress(nullptr), nullptr);
}

constinit Mutex g_counter_lock;
int g_counter = 0;

TEST(MutexTest, AConstantInitialisedLockExcludes) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 20000; ++i) {
        std::lock_guard<Mutex> hold(g_counter_lock);
        ++g_counter;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(g_counter, 80000);
  EXPECT_TRUE(g_counter_lock.try_lock());
  g_counter_lock.unlock();
}

}  // namespace
}  // namespace velquor
