#include "platform/sync.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

namespace {

TEST(SyncTest, InterlockedReturnsTheNewValueAndWraps) {
  LONG volatile value = 0;
  EXPECT_EQ(InterlockedIncrement(&value), 1);
  EXPECT_EQ(InterlockedIncrement(&value), 2);
  EXPECT_EQ(InterlockedDecrement(&value), 1);
  EXPECT_EQ(InterlockedDecrement(&value), 0);
  EXPECT_EQ(InterlockedDecrement(&value), -1);
  value = INT32_MAX;
  EXPECT_EQ(InterlockedIncrement(&value), INT32_MIN);
  EXPECT_EQ(InterlockedDecrement(&value), INT32_MAX);
}

TEST(SyncTest, NoIncrementIsLostBetweenThreads) {
  LONG volatile value = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&value] {
      for (int i = 0; i < 10000; ++i) {
        InterlockedIncrement(&value);
        InterlockedIncrement(&value);
        InterlockedDecrement(&value);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(value, 40000);
}

// A zero-initialised section in static storage, as the server keeps them.
constinit CRITICAL_SECTION g_section{};

TEST(SyncTest, CriticalSectionIsRecursiveAndExcludesOtherThreads) {
  InitializeCriticalSection(&g_section);
  EnterCriticalSection(&g_section);
  EnterCriticalSection(&g_section);  // the owner may enter again
  LeaveCriticalSection(&g_section);
  LeaveCriticalSection(&g_section);

  int counter = 0;  // guarded only by the section
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&counter] {
      for (int i = 0; i < 5000; ++i) {
        EnterCriticalSection(&g_section);
        EnterCriticalSection(&g_section);
        ++counter;
        LeaveCriticalSection(&g_section);
        LeaveCriticalSection(&g_section);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(counter, 20000);
  DeleteCriticalSection(&g_section);
  // Usable again after a new initialisation, as after a reload of the library.
  InitializeCriticalSection(&g_section);
  EnterCriticalSection(&g_section);
  LeaveCriticalSection(&g_section);
  DeleteCriticalSection(&g_section);
}

}  // namespace
