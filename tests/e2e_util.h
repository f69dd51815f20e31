// Helpers for end-to-end tests: a temporary profile directory and a runner
// that starts the built `velquor` program (by exec, never a bare fork of a
// threaded test) with that profile and captures its output.
#ifndef VELQUOR_TESTS_E2E_UTIL_H_
#define VELQUOR_TESTS_E2E_UTIL_H_

#include <string>
#include <utility>
#include <vector>

namespace velquor::test {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when
// the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string File(const std::string& name) const;

 private:
  std::string path_;
};

struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// Runs `program args...` with the environment of the test plus `env`
// (NAME=VALUE entries; an entry "NAME=" with nothing after the equals sign
// is set empty), feeding `input` on stdin.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& env = {}, const std::string& input = "");

// Starts `program args...` without waiting, with the environment of the test
// but VELQUOR_HOME=home. When `out_fd` is given, the program's standard
// output goes to a pipe whose read end is stored there (the caller closes
// it). Returns the child's process id; -1, with a test failure, when it
// cannot be started.
int SpawnWithProfile(const std::string& program, const std::vector<std::string>& args,
                     const std::string& home, int* out_fd = nullptr);

// Waits for the child `pid`: its exit status, 128 + the signal that ended
// it, or -1 when it cannot be waited for.
int WaitForChild(int pid);

// Runs the built velquor with VELQUOR_HOME set to `home`.
RunResult RunVelquor(const std::string& home, const std::vector<std::string>& args,
                     const std::string& input = "", const std::vector<std::string>& env = {});

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);

// Path of the built velquor program, and of the source tree.
std::string VelquorBinary();
std::string SourceDir();

// The path of an installed program found on PATH; "" when there is none.
std::string FindProgram(const std::string& name);

}  // namespace velquor::test

#endif  // VELQUOR_TESTS_E2E_UTIL_H_
