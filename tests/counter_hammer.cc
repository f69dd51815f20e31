// Helper program for the store's end-to-end tests, started by exec with
// VELQUOR_HOME set:
//   counter_hammer increment THREADS COUNT   each thread adds 1 to "Pages"
//                                            COUNT times; prints nothing
//   counter_hammer lock SECONDS              holds the store's write lock,
//                                            prints "locked", then sleeps
//   counter_hammer watch VELQUOR             reads "Score" (so it is cached),
//                                            runs `VELQUOR config set Score 7`,
//                                            reads "Score" again; prints both
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "settings/store.h"

extern char** environ;

namespace {

int Increment(int threads, int count) {
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([count] {
      for (int i = 0; i < count; ++i) velquor::IncrementCounter(velquor::kPages);
    });
  }
  for (std::thread& w : workers) w.join();
  return velquor::StoreProblem().empty() ? 0 : 3;
}

int Lock(int seconds) {
  sqlite3* db = nullptr;
  if (sqlite3_open(velquor::StoreFilePath().c_str(), &db) != SQLITE_OK) return 2;
  if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return 2;
  std::printf("locked\n");
  std::fflush(stdout);
  sleep(static_cast<unsigned>(seconds));
  sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  return 0;
}

int Watch(const char* velquor_program) {
  uint32_t before = velquor::ReadSetting(velquor::kScore);
  before = velquor::ReadSetting(velquor::kScore);  // now from the cache
  char set[] = "set";
  char name[] = "Score";
  char value[] = "7";
  char config[] = "config";
  char* argv[] = {const_cast<char*>(velquor_program), config, set, name, value, nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, velquor_program, nullptr, nullptr, argv, environ) != 0) return 2;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return 2;
  uint32_t after = velquor::ReadSetting(velquor::kScore);
  std::printf("%u %u\n", before, after);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "increment" && argc == 4) return Increment(std::atoi(argv[2]), std::atoi(argv[3]));
  if (mode == "lock" && argc == 3) return Lock(std::atoi(argv[2]));
  if (mode == "watch" && argc == 3) return Watch(argv[2]);
  std::fprintf(stderr,
               "usage: counter_hammer increment THREADS COUNT | lock SECONDS | watch VELQUOR\n");
  return 1;
}
