#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "gtest/gtest.h"

namespace velquor {
namespace {

namespace fs = std::filesystem;

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "velquor-files-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    SetReadFaultAfterForTesting(-1);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::string Write(const std::string& relative, const std::string& data) {
    const fs::path path = fs::path(dir_) / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << data;
    return path.string();
  }

  static HANDLE Open(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  // The whole content behind `path` as this layer reads it, or "<error N>".
  static std::string Slurp(const std::string& path) {
    HANDLE file = Open(path);
    if (file == INVALID_HANDLE_VALUE) return "<error " + std::to_string(GetLastError()) + ">";
    std::string all;
    char buffer[7];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) all.append(buffer, got);
    CloseHandle(file);
    return all;
  }

  std::string dir_;
};

TEST_F(FilesTest, ReadsSeeksAndSizesARegularFile) {
  HANDLE file = Open(Write("data.txt", "0123456789"));
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << "error " << GetLastError();

  DWORD high = 99;
  EXPECT_EQ(GetFileSize(file, &high), 10u);
  EXPECT_EQ(high, 0u);

  char buffer[16] = {};
  DWORD got = 0;
  ASSERT_EQ(ReadFile(file, buffer, 4, &got, nullptr), 1);
  EXPECT_EQ(std::string(buffer, got), "0123");

  EXPECT_EQ(SetFilePointer(file, 2, nullptr, FILE_CURRENT), 6u);
  ASSERT_EQ(ReadFile(file, buffer, sizeof buffer, &got, nullptr), 1);
  EXPECT_EQ(std::string(buffer, got), "6789") << "a short count means the end";
  ASSERT_EQ(ReadFile(file, buffer, sizeof buffer, &got, nullptr), 1);
  EXPECT_EQ(got, 0u);

  EXPECT_EQ(SetFilePointer(file, -3, nullptr, FILE_END), 7u);
  LONG high_part = 0;
  EXPECT_EQ(SetFilePointer(file, 1, &high_part, FILE_BEGIN), 1u);
  EXPECT_EQ(high_part, 0);
  EXPECT_EQ(GetLastError(), 0u);

  // A target before the start is refused and the position stays.
  EXPECT_EQ(SetFilePointer(file, -5, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
  ASSERT_EQ(ReadFile(file, buffer, 2, &got, nullptr), 1);
  EXPECT_EQ(std::string(buffer, got), "12");

  // Beyond the end is a valid position; reading there gives nothing.
  EXPECT_EQ(SetFilePointer(file, 100, nullptr, FILE_BEGIN), 100u);
  ASSERT_EQ(ReadFile(file, buffer, 4, &got, nullptr), 1);
  EXPECT_EQ(got, 0u);

  EXPECT_EQ(SetFilePointer(file, 0, nullptr, 7), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  // The time of last change, in 100 ns steps from 1601: 2001-09-09 01:46:40.5
  // UTC is 1000000000.5 s after 1970, itself 11644473600 s after 1601.
  const struct timespec times[2] = {{1000000000, 500000000}, {1000000000, 500000000}};
  ASSERT_EQ(utimensat(AT_FDCWD, (fs::path(dir_) / "data.txt").c_str(), times, 0), 0);
  FILETIME written{};
  ASSERT_EQ(GetFileTime(file, nullptr, nullptr, &written), 1);
  EXPECT_EQ((uint64_t{written.dwHighDateTime} << 32) | written.dwLowDateTime,
            (1000000000ull + 11644473600ull) * 10000000ull + 5000000ull);

  EXPECT_EQ(CloseHandle(file), 1);
  EXPECT_EQ(GetFileTime(file, nullptr, nullptr, &written), 0);
  EXPECT_EQ(CloseHandle(file), 0) << "a handle closes once";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(FilesTest, FindsNamesAsTheOriginalFileSystemWould) {
  Write("Install/Rules/myrules.txt", "lower");
  Write("Install/Rules/exact.TXT", "exact");
  Write("Install/Rules/exact.txt", "other");
  Write("Install/Many/rule", "lower-case");
  Write("Install/Many/RULE", "upper-case");
  Write("Install/Many/Rule", "mixed-case");
  const struct {
    std::string path;
    std::string content;
  } cases[] = {
      {dir_ + "/Install/Rules/myrules.txt", "lower"},
      {dir_ + "\\Install\\Rules\\MYRULES.TXT", "lower"},   // backslashes, other case
      {dir_ + "/install/RULES/MyRules.Txt", "lower"},      // directories too
      {dir_ + "/Install\\Rules//./myrules.txt", "lower"},  // mixed and doubled separators
      {dir_ + "/Install/Rules/exact.txt", "other"},        // as written wins
      {dir_ + "/Install/Rules/EXACT.txt", "exact"},        // "exact.TXT" < "exact.txt"
      {dir_ + "/Install/Many/rUlE", "upper-case"},         // "RULE" < "Rule" < "rule"
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Slurp(c.path), c.content) << c.path;
  }
}

TEST_F(FilesTest, ReportsMissingFilesAndDirectories) {
  Write("present/file", "x");
  const struct {
    std::string path;
    DWORD error;
  } cases[] = {
      {dir_ + "/present/absent", static_cast<DWORD>(ERROR_FILE_NOT_FOUND)},
      {dir_ + "\\absent\\file", ERROR_PATH_NOT_FOUND},
      {dir_ + "/present/file/below", ERROR_PATH_NOT_FOUND},
      {"", ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Open(c.path), INVALID_HANDLE_VALUE) << c.path;
    EXPECT_EQ(GetLastError(), c.error) << c.path;
  }
}

TEST_F(FilesTest, OnlyRegularFilesOpenAndNothingBlocks) {
  Write("dir/inner", "x");
  const std::string fifo = dir_ + "/pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A FIFO without a writer would block a plain open for reading forever.
  for (const std::string& path : {dir_ + "/dir", dir_ + "/DIR", fifo, std::string("/dev/null")}) {
    EXPECT_EQ(Open(path), INVALID_HANDLE_VALUE) << path;
    EXPECT_EQ(GetLastError(), ERROR_CANT_ACCESS_FILE) << path;
  }
}

TEST_F(FilesTest, RefusesWhatAReadOnlyOpenCannotDo) {
  const std::string path = Write("f", "x");
  EXPECT_EQ(CreateFileA(path.c_str(), 0x40000000u /* GENERIC_WRITE */, 0, nullptr, OPEN_EXISTING, 0,
                        nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, 2 /* CREATE_ALWAYS */, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(CreateFileA(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);

  char buffer[4];
  DWORD got = 7;
  for (HANDLE bad : {INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr),
                     reinterpret_cast<HANDLE>(static_cast<uintptr_t>(3))}) {
    EXPECT_EQ(ReadFile(bad, buffer, 4, &got, nullptr), 0);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GetFileSize(bad, nullptr), INVALID_FILE_SIZE);
    EXPECT_EQ(SetFilePointer(bad, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(CloseHandle(bad), 0);
  }
}

// The rules loader reads a line at a time and seeks back to where the line
// ends: a million such lines must not cost a million system calls.
TEST_F(FilesTest, LineSizedReadsAndSeeksAreServedFromABuffer) {
  std::string data;
  for (int i = 0; data.size() < 300 * 1024; ++i) data += "// line " + std::to_string(i) + "\n";
  HANDLE file = Open(Write("lines.txt", data));
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const uint64_t before = DiskReadsForTesting();
  std::string seen;
  char buffer[101];
  for (;;) {
    LONG high = 0;
    const DWORD here = SetFilePointer(file, 0, &high, FILE_CURRENT);
    DWORD got = 0;
    ASSERT_EQ(ReadFile(file, buffer, sizeof buffer, &got, nullptr), 1);
    if (got == 0) break;
    const size_t line = std::string_view(buffer, got).find('\n');
    const size_t take = line == std::string_view::npos ? got : line + 1;
    seen.append(buffer, take);
    SetFilePointer(file, static_cast<LONG>(here + take), nullptr, FILE_BEGIN);
  }
  EXPECT_EQ(seen, data);
  EXPECT_LE(DiskReadsForTesting() - before, 16u);
  // A read larger than the buffer, from a place before it, still reads right.
  std::string all(data.size() + 10, '\0');
  DWORD got = 0;
  SetFilePointer(file, 3, nullptr, FILE_BEGIN);
  ASSERT_EQ(ReadFile(file, all.data(), static_cast<DWORD>(all.size()), &got, nullptr), 1);
  EXPECT_EQ(all.substr(0, got), data.substr(3));
  CloseHandle(file);
}

TEST_F(FilesTest, ReadFaultHookFailsReadsAfterTheGivenCount) {
  HANDLE file = Open(Write("f", "abcdef"));
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  SetReadFaultAfterForTesting(1);
  char buffer[2];
  DWORD got = 0;
  EXPECT_EQ(ReadFile(file, buffer, 2, &got, nullptr), 1);
  EXPECT_EQ(ReadFile(file, buffer, 2, &got, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_READ_FAULT));
  EXPECT_EQ(got, 0u);
  SetReadFaultAfterForTesting(-1);
  EXPECT_EQ(ReadFile(file, buffer, 2, &got, nullptr), 1);
  EXPECT_EQ(std::string(buffer, got), "cd");
  CloseHandle(file);
}

}  // namespace
}  // namespace velquor
