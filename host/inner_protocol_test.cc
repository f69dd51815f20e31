#include "inner_protocol.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace velquor::host {
namespace {

// A temporary stream holding `data`, positioned at its start.
std::FILE* StreamOf(const std::string& data) {
  std::FILE* f = std::tmpfile();
  EXPECT_NE(f, nullptr);
  EXPECT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
  std::rewind(f);
  return f;
}

struct Step {
  ULONG count;
  HRESULT result;
  std::string bytes;
};

// Runs the reads against a stream and against memory holding `data`: both
// protocols serve a page the same way.
void ExpectReads(const std::string& data, EndOfData style, const std::vector<Step>& steps) {
  std::FILE* f = StreamOf(data);
  FileProtocol file(f, style);
  MemoryProtocol memory(data, style);
  for (IInternetProtocol* protocol :
       {static_cast<IInternetProtocol*>(&file), static_cast<IInternetProtocol*>(&memory)}) {
    const char* name = protocol == &file ? "file" : "memory";
    for (std::size_t i = 0; i < steps.size(); ++i) {
      std::string buffer(steps[i].count, '\xEE');
      ULONG read = 0xDEAD;
      EXPECT_EQ(protocol->Read(buffer.data(), steps[i].count, &read), steps[i].result)
          << name << " read " << i;
      EXPECT_EQ(buffer.substr(0, read), steps[i].bytes) << name << " read " << i;
    }
  }
  std::fclose(f);
}

TEST(PageSources, EndOfDataWithTheLastBytes) {
  const std::string data("ab\0cdefg", 8);
  ExpectReads(data, EndOfData::kWithData,
              {{3, S_OK, data.substr(0, 3)}, {5, S_FALSE, data.substr(3)}, {5, S_FALSE, ""}});
  ExpectReads(data, EndOfData::kWithData,
              {{0, S_OK, ""},
               {4, S_OK, data.substr(0, 4)},
               {3, S_OK, data.substr(4, 3)},
               {1, S_FALSE, data.substr(7)}});
  ExpectReads("", EndOfData::kWithData, {{4, S_FALSE, ""}, {4, S_FALSE, ""}});
}

TEST(PageSources, EndOfDataInAReadOfItsOwn) {
  const std::string data = "abcdefgh";
  ExpectReads(data, EndOfData::kSeparate,
              {{3, S_OK, "abc"}, {5, S_OK, "defgh"}, {5, S_FALSE, ""}, {5, S_FALSE, ""}});
  ExpectReads(data, EndOfData::kSeparate, {{6, S_OK, "abcdef"}, {6, S_OK, "gh"}, {6, S_FALSE, ""}});
  ExpectReads("", EndOfData::kSeparate, {{4, S_FALSE, ""}});
}

TEST(FileProtocol, ReadErrorEndsTheDataWithAFailure) {
  std::FILE* write_only = std::fopen("/dev/null", "w");
  ASSERT_NE(write_only, nullptr);
  FileProtocol protocol(write_only, EndOfData::kWithData);
  char buffer[4];
  ULONG read = 9;
  EXPECT_EQ(protocol.Read(buffer, 4, &read), E_FAIL);
  EXPECT_EQ(read, 0u);
  EXPECT_NE(protocol.error(), 0);
  EXPECT_EQ(protocol.Read(buffer, 4, nullptr), E_POINTER);
  std::fclose(write_only);
}

// A stand-in filter whose reads follow a script, to drive the read loop.
struct ScriptedFilter {
  std::vector<Step> steps;
  std::size_t next = 0;
  HRESULT Read(void* buffer, ULONG count, ULONG* read) {
    if (next >= steps.size()) {
      ADD_FAILURE() << "read after the end";
      *read = 0;
      return E_UNEXPECTED;
    }
    const Step& s = steps[next++];
    EXPECT_EQ(count, s.count);
    std::memcpy(buffer, s.bytes.data(), s.bytes.size());
    *read = static_cast<ULONG>(s.bytes.size());
    return s.result;
  }
};

TEST(PumpPage, ReadsUntilEndOfDataWithNoBytes) {
  const struct {
    std::vector<Step> steps;
    HRESULT result;
    std::string written;
  } cases[] = {
      {{{4, S_OK, "ab"}, {4, S_OK, ""}, {4, S_FALSE, "cd"}, {4, S_OK, "e"}, {4, S_FALSE, ""}},
       S_OK,
       "abcde"},
      {{{4, S_OK, "ab"}, {4, E_FAIL, "c"}}, E_FAIL, "abc"},
  };
  for (const auto& c : cases) {
    ScriptedFilter filter{c.steps};
    std::string written;
    EXPECT_EQ(PumpPage(filter, 4,
                       [&](const char* data, std::size_t size) {
                         written.append(data, size);
                         return true;
                       }),
              c.result);
    EXPECT_EQ(written, c.written);
    EXPECT_EQ(filter.next, c.steps.size());
  }
  ScriptedFilter refused{{{4, S_OK, "ab"}}};
  EXPECT_EQ(PumpPage(refused, 4, [](const char*, std::size_t) { return false; }), kWriteRefused);
  EXPECT_EQ(PumpPage(refused, 0, [](const char*, std::size_t) { return true; }), E_INVALIDARG);
}

}  // namespace
}  // namespace velquor::host
