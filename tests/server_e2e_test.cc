// End-to-end tests of libvelquor.so as hosts use it: what it exports,
// loading and unloading it in one process, `velquor install` and the
// commands around it, and a host built against an installed tree.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "e2e_util.h"
#include "inner_protocol.h"
#include "platform/registry.h"
#include "platform/testing_registry.h"
#include "velquor/velquor.h"

namespace velquor::test {
namespace {

#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

const char kClassKey[] = "CLSID\\{5A1C7E32-0B4D-4E62-8F93-2C6B0D1E7A45}";

std::string LibraryPath() { return VELQUOR_LIB; }

// Points this process's registry at `home` (the loaded library reads the
// same profile).
void UseProfile(const std::string& home) {
  CloseRegistry();
  setenv("VELQUOR_HOME", home.c_str(), 1);
}

std::string ReadText(HKEY root, const std::string& key, const char* name) {
  return ReadTestText(root, key, name);
}

void WriteText(HKEY root, const std::string& key, const char* name, const std::string& value) {
  WriteTestText(root, key, name, value);
}

// Filters `page` through a filter object of the loaded library.
std::string FilterThrough(void* library, const std::string& page) {
  auto get = reinterpret_cast<DllGetClassObjectFn>(dlsym(library, "DllGetClassObject"));
  EXPECT_NE(get, nullptr);
  if (get == nullptr) return "<no entry point>";
  IClassFactory* factory = nullptr;
  EXPECT_EQ(get(CLSID_IENubrix, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  IInternetProtocol* filter = nullptr;
  EXPECT_EQ(
      factory->CreateInstance(nullptr, IID_IInternetProtocol, reinterpret_cast<void**>(&filter)),
      S_OK);
  host::MemoryProtocol inner(page);
  std::string out;
  EXPECT_EQ(host::PullPage(*filter, inner, 100,
                           [&out](const char* piece, std::size_t n) { out.append(piece, n); }),
            S_OK);
  filter->Release();
  factory->Release();
  return out;
}

TEST(Library, ExportsExactlyTheFourEntryPoints) {
  RunResult r = RunProgram(VELQUOR_NM, {"-D", "--defined-only", LibraryPath()});
  ASSERT_EQ(r.status, 0) << r.err;
  std::istringstream lines(r.out);
  std::vector<std::string> names;
  for (std::string line; std::getline(lines, line);) {
    names.push_back(line.substr(line.rfind(' ') + 1));
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"DllCanUnloadNow", "DllGetClassObject",
                                             "DllRegisterServer", "DllUnregisterServer"}))
      << r.out;
}

TEST(Library, UnloadsCompletelyAndReadsTheRulesAfreshOnReload) {
  TempDir home;
  UseProfile(home.path());
  WriteText(HKEY_CURRENT_USER, "Software\\Morvanet\\Velquor\\Config", "InstallDir", home.path());
  WriteFile(home.File("MYRULES.TXT"), "1,200,zqxad\r\n// end of rules\r\n");
  const std::string page =
      "<HTML><BODY><A HREF=\"http://a.example/\">zqxad offer</A> rest</BODY></HTML>";

  void* library = dlopen(LibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  std::string first = FilterThrough(library, page);
  EXPECT_EQ(first.find("zqxad"), std::string::npos) << "the user rule removes it: " << first;
  EXPECT_NE(first.find(" rest"), std::string::npos) << first;
  auto can_unload = reinterpret_cast<DllCanUnloadNowFn>(dlsym(library, "DllCanUnloadNow"));
  ASSERT_NE(can_unload, nullptr);
  EXPECT_EQ(can_unload(), S_OK);
  ASSERT_EQ(dlclose(library), 0);
  EXPECT_EQ(dlopen(LibraryPath().c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr)
      << "the library stayed mapped after dlclose";

  WriteFile(home.File("MYRULES.TXT"), "1,200,otherword\r\n// end of rules\r\n");
  library = dlopen(LibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  EXPECT_EQ(FilterThrough(library, page), page) << "start-up read the new rules";
  dlclose(library);
  CloseRegistry();
}

class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override { UseProfile(home_.path()); }
  void TearDown() override { CloseRegistry(); }
  TempDir home_;
};

TEST_F(InstallTest, InstallThenFilterGoesThroughTheRegisteredLibrary) {
  // A copy of the library in a folder of its own, so that only the
  // registration can lead the program to it.
  std::string dir = home_.File("elsewhere");
  std::filesystem::create_directory(dir);
  std::string copy = dir + "/libvelquor.so";
  std::filesystem::copy_file(LibraryPath(), copy);
  RunResult r = RunVelquor(home_.path(), {"install", "--library", copy});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "installed " + copy + " as the filter for text/html\n" +
                       "user rules file: " + home_.path() + "/MYRULES.TXT\n");
  EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, "PROTOCOLS\\Filter\\text/html", "CLSID"),
            "{5A1C7E32-0B4D-4E62-8F93-2C6B0D1E7A45}");
  EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, std::string(kClassKey) + "\\InprocServer32", nullptr),
            copy);
  EXPECT_EQ(ReadText(HKEY_CURRENT_USER, "Software\\Morvanet\\Velquor\\Config", "InstallDir"),
            home_.path());

  const std::string page = "<HTML><BODY><P>plain page</P></BODY></HTML>\n";
  WriteFile(home_.File("page.html"), page);
  r = RunVelquor(home_.path(), {"filter", home_.File("page.html")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, page);

  std::filesystem::remove(copy);
  r = RunVelquor(home_.path(), {"filter", home_.File("page.html")});
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_NE(r.err.find(copy), std::string::npos) << r.err;
}

TEST_F(InstallTest, LongLibraryPathIsRegisteredWhole) {
  std::string dir = home_.path();
  while (dir.size() < 400) dir += "/a-rather-long-directory-name";
  std::filesystem::create_directories(dir);
  std::string copy = dir + "/libvelquor.so";
  std::filesystem::copy_file(LibraryPath(), copy);
  RunResult r = RunVelquor(home_.path(), {"register", "--library", copy});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, std::string(kClassKey) + "\\InprocServer32", nullptr),
            copy);
}

TEST_F(InstallTest, UninstallUndoesInstall) {
  RunResult r = RunVelquor(home_.path(), {"install", "--library", LibraryPath()});
  ASSERT_EQ(r.status, 0) << r.err;
  r = RunVelquor(home_.path(), {"uninstall"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "uninstalled " + LibraryPath() + "\n");
  HKEY h = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "PROTOCOLS", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, kClassKey, 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "IENubrix.IENubrix", 0, KEY_READ, &h),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadText(HKEY_CURRENT_USER, "Software\\Morvanet\\Velquor\\Config", "InstallDir"),
            "<absent>");
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ, &h), ERROR_SUCCESS);
  RegCloseKey(h);
  // Once more, with nothing left to undo.
  r = RunVelquor(home_.path(), {"uninstall"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "velquor: uninstall: nothing is installed in the profile " + home_.path() + "\n");
}

TEST_F(InstallTest, BadArgumentsAreReported) {
  WriteFile(home_.File("file"), "not a directory");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"install", "--dir", home_.File("missing")},
       2,
       "velquor: install: --dir " + home_.File("missing") + ": No such file or directory\n"},
      {{"install", "--dir", home_.File("file")},
       2,
       "velquor: install: --dir " + home_.File("file") + ": not a directory\n"},
      {{"install", "--frob"},
       1,
       "velquor: install: unexpected argument '--frob' (try 'velquor install --help')\n"},
      {{"register", "--library"}, 1, "velquor: register: --library needs a value\n"},
  };
  for (const Case& c : cases) {
    RunResult r = RunVelquor(home_.path(), c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0] << " " << c.args[1];
    EXPECT_EQ(r.err, c.err);
  }
  RunResult r = RunVelquor(home_.path(), {"register", "--library", home_.File("nope.so")});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.rfind("velquor: register: cannot load " + home_.File("nope.so") + ": ", 0), 0u)
      << r.err;
}

// The full path of `program` found on PATH, or "".
std::string OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0)
      return dir + "/" + program;
  }
  return "";
}

// A host that leaves main while it still holds the class object, with and
// without threads still filtering: the library's shut-down then runs after
// the process's static destructors and must touch nothing they destroyed.
// Checked by the address sanitizer in its builds, by valgrind otherwise.
TEST(ShutDown, HostExitingWithoutUnloadingTouchesNoFreedMemory) {
  const bool sanitized = !std::string(VELQUOR_SANITIZE_FLAGS).empty();
  const std::string valgrind = sanitized ? "" : OnPath("valgrind");
  if (!sanitized && valgrind.empty()) GTEST_SKIP() << "valgrind is not installed";
  for (const char* threads : {"0", "2"}) {
    SCOPED_TRACE(std::string(threads) + " threads filtering at exit");
    TempDir home;
    std::vector<std::string> args{EXIT_HOST, LibraryPath(), threads};
    std::string program = EXIT_HOST;
    if (!sanitized) {
      args.insert(args.begin(), {"--error-exitcode=99", "-q"});
      program = valgrind;
    } else {
      args.erase(args.begin());
    }
    RunResult r = RunProgram(program, args, {"VELQUOR_HOME=" + home.path()});
    EXPECT_EQ(r.status, 0) << r.err;
  }
}

// Installs the build into a temporary prefix, builds examples/minimal_host
// against it as an outside project would, and runs it.
TEST(InstalledTree, MinimalHostBuildsAndFiltersAPage) {
  TempDir work;
  std::string prefix = work.File("prefix");
  RunResult r =
      RunProgram(VELQUOR_CMAKE_COMMAND, {"--install", VELQUOR_BINARY_DIR, "--prefix", prefix});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(std::filesystem::exists(prefix + "/include/velquor/velquor.h"));

  std::string flags;
  std::string sanitize = VELQUOR_SANITIZE_FLAGS;
  if (!sanitize.empty()) flags = "-fsanitize=" + sanitize + " -fno-omit-frame-pointer";
  std::string build = work.File("build");
  r = RunProgram(VELQUOR_CMAKE_COMMAND,
                 {"-S", SourceDir() + "/examples", "-B", build, "-G", VELQUOR_CMAKE_GENERATOR,
                  "-DCMAKE_PREFIX_PATH=" + prefix, "-DCMAKE_CXX_COMPILER=" VELQUOR_CXX_COMPILER,
                  "-DCMAKE_CXX_FLAGS=" + flags});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = RunProgram(VELQUOR_CMAKE_COMMAND, {"--build", build});
  ASSERT_EQ(r.status, 0) << r.out << r.err;

  r = RunProgram(build + "/minimal_host", {}, {"VELQUOR_HOME=" + work.File("home")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "<HTML><BODY><P>Hello from a minimal host.</P></BODY></HTML>\n");

  // The installed program registers the installed library by a plain path.
  r = RunProgram(prefix + "/bin/velquor", {"install"}, {"VELQUOR_HOME=" + work.File("home")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find(".."), std::string::npos) << r.out;
  EXPECT_EQ(r.out.rfind("installed " + prefix + "/lib", 0), 0u) << r.out;
}

}  // namespace
}  // namespace velquor::test
