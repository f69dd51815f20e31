// Stress: several processes, each with several threads, each thread filtering
// pages with advertisements through filter streams of its own, all counting
// into one profile. The totals must be exact; and when some processes are
// killed outright at random moments, the store must stay sound and writable
// and lose nothing that was acknowledged.
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e_util.h"
#include "platform/registry.h"

namespace velquor::test {
namespace {

constexpr int kThreads = 3;  // per process
constexpr int kAds = 6;      // per page

struct Worker {
  pid_t pid = -1;
  int out = -1;         // read end of its standard output
  std::string pending;  // a line not yet complete
  uint64_t pages = 0;   // pages acknowledged
  uint64_t killed = 0;  // links removed on them
  bool bad_line = false;
  int status = -1;
};

void Start(Worker* w, const std::string& home, long pages) {
  w->pid = SpawnWithProfile(STRESS_WORKER,
                            {std::to_string(kThreads), std::to_string(pages), std::to_string(kAds)},
                            home, &w->out);
  ASSERT_GT(w->pid, 0);
}

// Reads what the worker has written; false at the end of its output.
bool Drain(Worker* w) {
  char buffer[4096];
  const ssize_t n = read(w->out, buffer, sizeof buffer);
  if (n <= 0) return false;
  w->pending.append(buffer, static_cast<std::size_t>(n));
  for (std::size_t nl; (nl = w->pending.find('\n')) != std::string::npos;) {
    const std::string line = w->pending.substr(0, nl);
    w->pending.erase(0, nl + 1);
    unsigned pages = 0, killed = 0;
    if (std::sscanf(line.c_str(), "%u %u", &pages, &killed) != 2) {
      w->bad_line = true;
      continue;
    }
    w->pages += pages;
    w->killed += killed;
  }
  return true;
}

// Polls every worker's output until all have ended. `before_each_poll` may
// kill workers; it gets the time since the start.
template <class Hook>
void Collect(std::vector<Worker>& workers, Hook&& before_each_poll) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<bool> open(workers.size(), true);
  for (;;) {
    before_each_poll(std::chrono::steady_clock::now() - start);
    std::vector<pollfd> fds;
    std::vector<std::size_t> which;
    for (std::size_t i = 0; i < workers.size(); ++i) {
      if (open[i]) {
        fds.push_back({workers[i].out, POLLIN, 0});
        which.push_back(i);
      }
    }
    if (fds.empty()) break;
    ASSERT_GE(poll(fds.data(), fds.size(), 20), 0);
    for (std::size_t k = 0; k < fds.size(); ++k) {
      if (fds[k].revents != 0 && !Drain(&workers[which[k]])) {
        open[which[k]] = false;
        close(workers[which[k]].out);
      }
    }
  }
  for (Worker& w : workers) {
    int status = 0;
    ASSERT_EQ(waitpid(w.pid, &status, 0), w.pid);
    w.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
}

struct Totals {
  uint64_t pages = 0;
  uint64_t killed = 0;
};

// The totals as `velquor stats` tells them, from a process of its own.
Totals ReadTotals(const std::string& home) {
  const RunResult r = RunVelquor(home, {"stats"});
  EXPECT_EQ(r.status, 0) << r.err;
  Totals t;
  unsigned long long pages = 0, killed = 0;
  EXPECT_EQ(std::sscanf(r.out.c_str(), "Pages: %llu\nKilled: %llu", &pages, &killed), 2) << r.out;
  t.pages = pages;
  t.killed = killed;
  return t;
}

// "ok" when SQLite finds the store of profile `home` sound, else its report.
std::string IntegrityCheck(const std::string& home) {
  setenv("VELQUOR_HOME", home.c_str(), 1);
  CloseRegistry();
  const std::string store = StoreFilePath();
  unsetenv("VELQUOR_HOME");
  CloseRegistry();
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(store.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return "cannot open " + store;
  }
  sqlite3_busy_timeout(db, 5000);
  std::string result;
  sqlite3_exec(
      db, "PRAGMA integrity_check",
      [](void* out, int, char** values, char**) {
        *static_cast<std::string*>(out) += values[0] ? values[0] : "(null)";
        return 0;
      },
      &result, nullptr);
  sqlite3_close(db);
  return result;
}

TEST(Stress, ProcessesAndThreadsCountEveryPageAndEveryAdExactly) {
  TempDir home;
  constexpr int kProcesses = 4;
  constexpr long kPages = 40;
  std::vector<Worker> workers(kProcesses);
  for (Worker& w : workers) Start(&w, home.path(), kPages);
  Collect(workers, [](auto) {});

  uint64_t pages = 0, killed = 0;
  for (const Worker& w : workers) {
    EXPECT_EQ(w.status, 0);
    EXPECT_FALSE(w.bad_line);
    pages += w.pages;
    killed += w.killed;
  }
  EXPECT_EQ(pages, uint64_t{kProcesses} * kThreads * kPages);
  // Threads reading in pieces smaller than a link remove fewer of them (a
  // long unclosed tail passes unfiltered), but every removal is counted.
  EXPECT_GT(killed, pages);
  EXPECT_LE(killed, pages * kAds);
  const Totals totals = ReadTotals(home.path());
  EXPECT_EQ(totals.pages, pages);
  EXPECT_EQ(totals.killed, killed);
  EXPECT_EQ(IntegrityCheck(home.path()), "ok");
}

TEST(Stress, KilledWritersLoseNothingAcknowledgedAndLeaveTheStoreSound) {
  TempDir home;
  const unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  // Two workers that run until killed, at a random moment between 20 and
  // 420 ms, and two that filter their pages meanwhile.
  std::vector<Worker> workers(4);
  std::vector<bool> doomed(4, false);
  std::vector<std::chrono::milliseconds> kill_at(4);
  for (std::size_t i = 0; i < workers.size(); ++i) {
    doomed[i] = i % 2 == 0;
    Start(&workers[i], home.path(), doomed[i] ? 0 : 150);
    kill_at[i] = std::chrono::milliseconds(20 + random() % 400);
  }
  std::vector<bool> sent(workers.size(), false);
  Collect(workers, [&](auto elapsed) {
    for (std::size_t i = 0; i < workers.size(); ++i) {
      // Only after its first page, so that each kill hits a running writer.
      if (doomed[i] && !sent[i] && elapsed >= kill_at[i] && workers[i].pages > 0) {
        kill(workers[i].pid, SIGKILL);
        sent[i] = true;
      }
    }
  });

  uint64_t pages = 0, killed = 0, in_flight_pages = 0;
  for (std::size_t i = 0; i < workers.size(); ++i) {
    const Worker& w = workers[i];
    EXPECT_FALSE(w.bad_line);
    EXPECT_EQ(w.status, sent[i] ? 128 + SIGKILL : 0) << "worker " << i;
    EXPECT_GT(w.pages, 0u) << "worker " << i;
    pages += w.pages;
    killed += w.killed;
    if (sent[i]) in_flight_pages += kThreads;  // at most one page per thread
  }
  EXPECT_EQ(IntegrityCheck(home.path()), "ok");
  const Totals totals = ReadTotals(home.path());
  EXPECT_GE(totals.pages, pages);
  EXPECT_LE(totals.pages, pages + in_flight_pages);
  EXPECT_GE(totals.killed, killed);
  EXPECT_LE(totals.killed, killed + in_flight_pages * kAds);

  // The store goes on taking settings and counts, exactly again.
  EXPECT_EQ(RunVelquor(home.path(), {"config", "set", "Score", "100"}).status, 0);
  std::vector<Worker> after(1);
  Start(&after[0], home.path(), 2);
  Collect(after, [](auto) {});
  EXPECT_EQ(after[0].status, 0);
  const Totals final_totals = ReadTotals(home.path());
  EXPECT_EQ(final_totals.pages, totals.pages + after[0].pages);
  EXPECT_EQ(final_totals.killed, totals.killed + after[0].killed);
  EXPECT_EQ(after[0].pages, uint64_t{kThreads} * 2);
  EXPECT_EQ(IntegrityCheck(home.path()), "ok");
}

}  // namespace
}  // namespace velquor::test
