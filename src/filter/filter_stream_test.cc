#include "filter/filter_stream.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "platform/resources.h"
#include "platform/testing_registry.h"
#include "settings/store.h"

namespace velquor {
namespace {

// One profile directory for the whole program, so no test touches a real
// profile; each test sets the values it depends on.
const auto* const kProfile = ::testing::AddGlobalTestEnvironment(new TempProfileEnvironment);

// Fakes in the manner of a COM test: each call must have been expected, and
// an unexpected one fails the test loudly.
class FakeProtocol : public IInternetProtocol {
 public:
  struct Step {
    ULONG expect_count;
    std::string data;
    HRESULT result;
  };

  ~FakeProtocol() {
    EXPECT_TRUE(reads_.empty()) << reads_.size() << " expected Read calls not made";
  }

  void ExpectRead(ULONG count, std::string data, HRESULT result) {
    reads_.push_back(Step{count, std::move(data), result});
  }

  HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG count, ULONG* read) override {
    if (reads_.empty()) {
      ADD_FAILURE() << "unexpected inner Read(" << count << ")";
      *read = 0;
      return E_FAIL;
    }
    Step step = reads_.front();
    reads_.pop_front();
    EXPECT_EQ(count, step.expect_count);
    EXPECT_LE(step.data.size(), count);
    std::memcpy(buffer, step.data.data(), step.data.size());
    *read = static_cast<ULONG>(step.data.size());
    return step.result;
  }
  HRESULT STDMETHODCALLTYPE Continue(PROTOCOLDATA* data) override {
    ++continue_calls;
    continue_data = data;
    continue_thread = std::this_thread::get_id();
    return continue_result;
  }
  HRESULT STDMETHODCALLTYPE Terminate(DWORD options) override {
    ++terminate_calls;
    terminate_options = options;
    return terminate_result;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override {
    return Unexpected("QueryInterface");
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(Unexpected("AddRef")); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(Unexpected("Release")); }
  HRESULT STDMETHODCALLTYPE Start(LPCWSTR, IInternetProtocolSink*, IInternetBindInfo*, DWORD,
                                  HANDLE_PTR) override {
    return Unexpected("Start");
  }
  HRESULT STDMETHODCALLTYPE Abort(HRESULT, DWORD) override { return Unexpected("Abort"); }
  HRESULT STDMETHODCALLTYPE Suspend() override { return Unexpected("Suspend"); }
  HRESULT STDMETHODCALLTYPE Resume() override { return Unexpected("Resume"); }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override {
    return Unexpected("Seek");
  }
  HRESULT STDMETHODCALLTYPE LockRequest(DWORD) override { return Unexpected("LockRequest"); }
  HRESULT STDMETHODCALLTYPE UnlockRequest() override { return Unexpected("UnlockRequest"); }

  int continue_calls = 0;
  PROTOCOLDATA* continue_data = nullptr;
  std::thread::id continue_thread;
  HRESULT continue_result = S_OK;
  int terminate_calls = 0;
  DWORD terminate_options = 0;
  HRESULT terminate_result = S_OK;

 private:
  static HRESULT Unexpected(const char* name) {
    ADD_FAILURE() << "unexpected inner protocol call " << name;
    return E_NOTIMPL;
  }
  std::deque<Step> reads_;
};

class FakeSink : public IInternetProtocolSink {
 public:
  HRESULT STDMETHODCALLTYPE ReportProgress(ULONG status, LPCWSTR text) override {
    calls.push_back("progress " + std::to_string(status));
    last_text = text;
    return result;
  }
  HRESULT STDMETHODCALLTYPE ReportData(DWORD flags, ULONG progress, ULONG max) override {
    calls.push_back("data " + std::to_string(flags) + " " + std::to_string(progress) + " " +
                    std::to_string(max));
    return result;
  }
  HRESULT STDMETHODCALLTYPE ReportResult(HRESULT hr, DWORD error, LPCWSTR text) override {
    calls.push_back("result " + std::to_string(hr) + " " + std::to_string(error));
    last_text = text;
    return result;
  }
  HRESULT STDMETHODCALLTYPE Switch(PROTOCOLDATA*) override { return Unexpected("Switch"); }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override {
    return Unexpected("QueryInterface");
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(Unexpected("AddRef")); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(Unexpected("Release")); }

  std::vector<std::string> calls;
  LPCWSTR last_text = nullptr;
  HRESULT result = S_OK;

 private:
  static HRESULT Unexpected(const char* name) {
    ADD_FAILURE() << "unexpected outer sink call " << name;
    return E_NOTIMPL;
  }
};

// A well-behaved inner protocol over a whole page: min(count, what is left)
// per read; the end of the data comes with the last bytes or in a read of
// its own.
class PageProtocol : public FakeProtocol {
 public:
  PageProtocol(std::string page, bool eof_with_data)
      : page_(std::move(page)), eof_with_data_(eof_with_data) {}
  HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG count, ULONG* read) override {
    const std::size_t n = std::min<std::size_t>(count, page_.size() - pos_);
    std::memcpy(buffer, page_.data() + pos_, n);
    pos_ += n;
    *read = static_cast<ULONG>(n);
    if (pos_ < page_.size()) return S_OK;
    return (eof_with_data_ || n == 0) ? S_FALSE : S_OK;
  }

 private:
  std::string page_;
  std::size_t pos_ = 0;
  bool eof_with_data_;
};

std::string KeepJudge(const std::string& s, int32_t&, int32_t&) { return s; }

// Lengthens one known segment so that a read yields more than it pulled.
std::vector<std::string> g_judged;
std::string GrowJudge(const std::string& s, int32_t&, int32_t&) {
  g_judged.push_back(s);
  if (s == "<A 1></A>") return s + std::string(100, 'x');
  if (s == "<A 9></A>") return s + std::string(400, 'y');
  return s;
}
constexpr SegmentJudges kKeep{KeepJudge, KeepJudge};
constexpr SegmentJudges kGrow{GrowJudge, KeepJudge};

class FilterStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteStoreNumber(HKEY_CURRENT_USER, kConfigKey, "Test", 0);
    g_judged.clear();
    filter_data_.cbSize = sizeof filter_data_;
    filter_data_.pProtocol = &inner_;
  }
  void StartWith(FilterStream& stream) {
    ASSERT_EQ(stream.Start(OLESTR("text/html"), &sink_, nullptr, 0,
                           reinterpret_cast<HANDLE_PTR>(&filter_data_)),
              S_OK);
  }
  // Reads once with `count` and checks the result and the bytes handed out.
  void ExpectRead(FilterStream& stream, ULONG count, HRESULT result, const std::string& out) {
    std::string buffer(count, '\xEE');
    ULONG read = 0xDEAD;
    EXPECT_EQ(stream.Read(buffer.data(), count, &read), result);
    ASSERT_LE(read, count);
    EXPECT_EQ(buffer.substr(0, read), out);
  }

  FakeProtocol inner_;
  FakeSink sink_;
  PROTOCOLFILTERDATA filter_data_{};
};

TEST_F(FilterStreamTest, SurplusGoesOutFirstWithoutCallingTheInnerProtocol) {
  FilterStream stream(kGrow);
  StartWith(stream);
  // 200 bytes in; the judge lengthens "<A 1></A>" by 100 to 300 out.
  const std::string page = std::string(91, 'p') + "<A 1></A>" + std::string(100, 'q');
  inner_.ExpectRead(200, page, S_OK);
  const std::string filtered =
      std::string(91, 'p') + "<A 1></A>" + std::string(100, 'x') + std::string(100, 'q');
  ExpectRead(stream, 200, S_OK, filtered.substr(0, 200));
  ExpectRead(stream, 60, S_OK, filtered.substr(200, 60));
  ExpectRead(stream, 200, S_OK, filtered.substr(260));
  inner_.ExpectRead(200, "", S_FALSE);
  ExpectRead(stream, 200, S_FALSE, "");
  EXPECT_EQ(g_judged, std::vector<std::string>{"<A 1></A>"}) << "surplus was scanned again";
}

TEST_F(FilterStreamTest, SurplusAndHeldBackTailStayApart) {
  FilterStream stream(kGrow);
  StartWith(stream);
  // Output 141 + 109 = 250 before an unclosed 50-byte tail: the tail is held
  // back, 50 filtered bytes are surplus.
  const std::string tail = "<A 2>" + std::string(45, 't');
  inner_.ExpectRead(200, std::string(141, 'p') + "<A 1></A>" + tail, S_OK);
  const std::string head = std::string(141, 'p') + "<A 1></A>" + std::string(100, 'x');
  ExpectRead(stream, 200, S_OK, head.substr(0, 200));
  ExpectRead(stream, 200, S_OK, head.substr(200));
  inner_.ExpectRead(200, "</A>end", S_FALSE);
  ExpectRead(stream, 200, S_FALSE, tail + "</A>end");
  EXPECT_EQ(g_judged, (std::vector<std::string>{"<A 1></A>", tail + "</A>"}));
  inner_.ExpectRead(200, "", E_FAIL);
  ExpectRead(stream, 200, E_FAIL, "");  // past the end: the inner result, whatever it is
}

TEST_F(FilterStreamTest, EndOfDataDrainsWithSuccessThenAsksTheInnerProtocolAgain) {
  FilterStream stream(kGrow);
  StartWith(stream);
  const std::string tail = "<A 2>" + std::string(435, 't');  // 440 held back
  inner_.ExpectRead(1000, std::string(551, 'p') + "<A 9></A>" + tail, S_OK);
  ExpectRead(stream, 1000, S_OK, std::string(551, 'p') + "<A 9></A>" + std::string(400, 'y'));
  inner_.ExpectRead(200, "</A>123456", S_FALSE);
  const std::string rest = tail + "</A>123456";  // 450
  ExpectRead(stream, 200, S_FALSE, rest.substr(0, 200));
  ExpectRead(stream, 200, S_OK, rest.substr(200, 200));
  ExpectRead(stream, 200, S_OK, rest.substr(400));
  inner_.ExpectRead(200, "", S_FALSE);
  ExpectRead(stream, 200, S_FALSE, "");
}

TEST_F(FilterStreamTest, PendingReadReleasesTheHeldBackTailUnchanged) {
  FilterStream stream(kKeep);
  StartWith(stream);
  const std::string tail = "<A 2>" + std::string(15, 't');  // 20 bytes
  inner_.ExpectRead(100, std::string(71, 'p') + "<A 1></A>" + tail, S_OK);
  ExpectRead(stream, 100, S_OK, std::string(71, 'p') + "<A 1></A>");
  // Nothing before the unclosed tag in this chunk: nothing is held back.
  inner_.ExpectRead(10, "", E_PENDING);
  ExpectRead(stream, 10, E_PENDING, tail.substr(0, 10));
  ExpectRead(stream, 10, S_OK, tail.substr(10));
  inner_.ExpectRead(10, "", S_FALSE);
  ExpectRead(stream, 10, S_FALSE, "");
}

TEST_F(FilterStreamTest, ZeroBytesAreData) {
  FilterStream stream(kKeep);
  StartWith(stream);
  const std::string bytes("abc\0efghij", 10);
  inner_.ExpectRead(10, bytes, S_OK);
  ExpectRead(stream, 10, S_OK, bytes);
  const std::string utf16("<\0A\0 \0", 6);
  inner_.ExpectRead(10, utf16, S_FALSE);
  ExpectRead(stream, 10, S_FALSE, utf16);
}

TEST_F(FilterStreamTest, FootersOnceWhenTheEndComesWithAHeldBackTail) {
  WriteStoreNumber(HKEY_CURRENT_USER, kConfigKey, "Test", 1);
  FilterStream stream(kKeep);
  StartWith(stream);
  const std::string footers =
      LoadResourceString(102) +
      FormatStatisticsFooter(LoadResourceString(101), 0, ReadSetting(kKilled));
  const std::string first = std::string(40, 'p') + "<A 1></A>";
  inner_.ExpectRead(60, first + "</HTML><A ", S_OK);  // "</HTML><A " is held back
  ExpectRead(stream, 60, S_OK, first + footers.substr(0, 60 - first.size()));
  ExpectRead(stream, 60, S_OK, footers.substr(60 - first.size(), 60));
  std::string rest = footers.substr(60 - first.size() + 60);
  // Drain the footers; the held-back "</HTML>" then begins the next chunk.
  while (!rest.empty()) {
    const std::string part = rest.substr(0, 60);
    rest.erase(0, part.size());
    ExpectRead(stream, 60, S_OK, part);
  }
  inner_.ExpectRead(60, "x></A>", S_FALSE);
  ExpectRead(stream, 60, S_FALSE, "</HTML><A x></A>");
}

// A page whose later chunk holds another "</HTML>" (a second page written
// into it, say) gets its footers once; the next download gets them again.
TEST_F(FilterStreamTest, FootersOncePerDownload) {
  WriteStoreNumber(HKEY_CURRENT_USER, kConfigKey, "Test", 1);
  FilterStream stream(kKeep);
  const std::string footers =
      LoadResourceString(102) +
      FormatStatisticsFooter(LoadResourceString(101), 0, ReadSetting(kKilled));
  for (int download = 0; download < 2; ++download) {
    StartWith(stream);
    inner_.ExpectRead(500, "a</HTML>", S_OK);
    ExpectRead(stream, 500, S_OK, "a" + footers + "</HTML>");
    inner_.ExpectRead(500, "b</HTML>", S_FALSE);
    ExpectRead(stream, 500, S_FALSE, "b</HTML>");
  }
}

TEST_F(FilterStreamTest, MisuseGetsResultCodes) {
  const uint32_t pages = ReadSetting(kPages);
  FilterStream stream(kKeep);
  PROTOCOLFILTERDATA no_protocol{sizeof(PROTOCOLFILTERDATA), nullptr, nullptr, nullptr, 0};
  const HANDLE_PTR good = reinterpret_cast<HANDLE_PTR>(&filter_data_);
  EXPECT_EQ(stream.Start(nullptr, nullptr, nullptr, 0, good), E_INVALIDARG);
  EXPECT_EQ(stream.Start(nullptr, &sink_, nullptr, 0, 0), E_INVALIDARG);
  EXPECT_EQ(stream.Start(nullptr, &sink_, nullptr, 0, reinterpret_cast<HANDLE_PTR>(&no_protocol)),
            E_INVALIDARG);
  EXPECT_EQ(ReadSetting(kPages), pages) << "a refused Start must count nothing";

  char buffer[8];
  ULONG read = 77;
  EXPECT_EQ(stream.Read(buffer, 8, nullptr), E_POINTER);
  EXPECT_EQ(stream.Read(nullptr, 8, &read), E_POINTER);
  EXPECT_EQ(stream.Read(buffer, 8, &read), E_UNEXPECTED);
  EXPECT_EQ(read, 0u);
  read = 77;
  EXPECT_EQ(stream.Read(nullptr, 0, &read), E_UNEXPECTED);
  EXPECT_EQ(read, 0u);
  PROTOCOLDATA data{};
  EXPECT_EQ(stream.Continue(&data), E_UNEXPECTED);
  EXPECT_EQ(stream.Terminate(0), E_UNEXPECTED);
  EXPECT_EQ(stream.Switch(&data), E_UNEXPECTED);
  EXPECT_EQ(stream.ReportProgress(1, OLESTR("x")), E_UNEXPECTED);
  EXPECT_EQ(stream.ReportData(1, 2, 3), E_UNEXPECTED);
  EXPECT_EQ(stream.ReportResult(S_OK, 0, nullptr), E_UNEXPECTED);
  EXPECT_EQ(inner_.continue_calls + inner_.terminate_calls, 0);
  EXPECT_TRUE(sink_.calls.empty());

  // A started stream still checks its pointers first.
  StartWith(stream);
  EXPECT_EQ(stream.Read(buffer, 8, nullptr), E_POINTER);
  EXPECT_EQ(stream.Read(nullptr, 1, &read), E_POINTER);
  inner_.ExpectRead(0, "", S_OK);
  read = 77;
  EXPECT_EQ(stream.Read(nullptr, 0, &read), S_OK);
  EXPECT_EQ(read, 0u);
}

TEST_F(FilterStreamTest, FixedResultsChangeNothing) {
  FilterStream stream(kKeep);
  for (int started = 0; started < 2; ++started) {
    if (started) StartWith(stream);
    // The position records are unions on Windows: set them as bytes.
    ULARGE_INTEGER position;
    std::memset(&position, 0x63, sizeof position);
    LARGE_INTEGER move;
    const int64_t five = 5;
    std::memcpy(&move, &five, sizeof move);
    EXPECT_EQ(stream.Abort(E_FAIL, 0), S_OK);
    EXPECT_EQ(stream.Suspend(), S_OK);
    EXPECT_EQ(stream.Resume(), S_OK);
    EXPECT_EQ(stream.Seek(move, 0, &position), S_OK);
    const uint64_t untouched = 0x6363636363636363u;
    EXPECT_EQ(std::memcmp(&position, &untouched, sizeof position), 0);
    EXPECT_EQ(stream.LockRequest(0), S_OK);
    EXPECT_EQ(stream.UnlockRequest(), S_OK);
    WCHAR result[4] = {u'a', u'b', 0, 0};
    DWORD length = 42;
    EXPECT_EQ(stream.ParseUrl(OLESTR("u"), static_cast<PARSEACTION>(1), 0, result, 4, &length, 0),
              INET_E_DEFAULT_ACTION);
    EXPECT_EQ(stream.CombineUrl(OLESTR("u"), OLESTR("v"), 0, result, 4, &length, 0),
              INET_E_DEFAULT_ACTION);
    EXPECT_EQ(stream.CompareUrl(OLESTR("u"), OLESTR("v"), 0), INET_E_DEFAULT_ACTION);
    EXPECT_EQ(stream.QueryInfo(OLESTR("u"), static_cast<QUERYOPTION>(1), 0, result, 4, &length, 0),
              INET_E_QUERYOPTION_UNKNOWN);
    EXPECT_EQ(length, 42u);
    EXPECT_EQ(result[0], u'a');
  }
  EXPECT_TRUE(sink_.calls.empty());
}

TEST_F(FilterStreamTest, ReportsAndControlsPassThrough) {
  FilterStream stream(kKeep);
  StartWith(stream);
  PROTOCOLDATA data{1, 2, nullptr, 0};
  inner_.continue_result = E_PENDING;
  EXPECT_EQ(stream.Continue(&data), E_PENDING);
  EXPECT_EQ(inner_.continue_data, &data);
  inner_.terminate_result = static_cast<HRESULT>(0x80041234u);
  EXPECT_EQ(stream.Terminate(7), static_cast<HRESULT>(0x80041234u));
  EXPECT_EQ(inner_.terminate_options, 7u);

  sink_.result = static_cast<HRESULT>(0x80045678u);
  const OLECHAR* text = OLESTR("status");
  EXPECT_EQ(stream.ReportProgress(13, text), static_cast<HRESULT>(0x80045678u));
  EXPECT_EQ(sink_.last_text, text);
  EXPECT_EQ(stream.ReportData(1, 200, 300), static_cast<HRESULT>(0x80045678u));
  EXPECT_EQ(stream.ReportResult(E_FAIL, 4, text), static_cast<HRESULT>(0x80045678u));
  EXPECT_EQ(sink_.calls, (std::vector<std::string>{"progress 13", "data 1 200 300",
                                                   "result " + std::to_string(E_FAIL) + " 4"}));
}

TEST_F(FilterStreamTest, SwitchContinuesTheInnerProtocolBeforeReturning) {
  FilterStream stream(kKeep);
  StartWith(stream);
  PROTOCOLDATA data{};
  inner_.continue_result = static_cast<HRESULT>(0x800C0007u);
  std::thread other([&] { EXPECT_EQ(stream.Switch(&data), static_cast<HRESULT>(0x800C0007u)); });
  const std::thread::id other_id = other.get_id();
  other.join();
  EXPECT_EQ(inner_.continue_calls, 1);
  EXPECT_EQ(inner_.continue_data, &data);
  EXPECT_EQ(inner_.continue_thread, other_id);
  EXPECT_TRUE(sink_.calls.empty()) << "the switch must not reach the outer sink";
}

TEST_F(FilterStreamTest, EachStartCountsOnePageFromAbsent) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kStatsKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
    RegDeleteValueA(key, "Pages");
    RegCloseKey(key);
  }
  EXPECT_EQ(ReadStoreNumber(HKEY_CURRENT_USER, kStatsKey, "Pages", 12345), 12345u);
  FilterStream stream(kKeep);
  StartWith(stream);
  EXPECT_EQ(ReadSetting(kPages), 1u);
  StartWith(stream);
  FilterStream other(kKeep);
  StartWith(other);
  EXPECT_EQ(ReadSetting(kPages), 3u);
}

// Every read size and both end-of-data styles give the page's own bytes when
// no judge changes anything, and the footers never come twice.
TEST_F(FilterStreamTest, EveryReadSizeGivesTheSameBytes) {
  std::string page =
      "<HTML><BODY>Intro <a href=\"/one\">one</a> and <APPLET code=x.class width=468>"
      "<A HREF=2>inner</A></APPLET> text<A\nHREF=3>not a segment</A> ";
  page += std::string("zero\0byte ", 10);
  page += "<A HREF=4 >four</a><a href=5>unclosed for a while ... </A> end.</BODY></HTML>\r\n";
  const std::string footers = LoadResourceString(102);
  for (uint32_t test = 0; test < 2; ++test) {
    WriteStoreNumber(HKEY_CURRENT_USER, kConfigKey, "Test", test);
    for (int eof_with_data = 0; eof_with_data < 2; ++eof_with_data) {
      for (ULONG size = 1; size <= page.size() + 1; ++size) {
        PageProtocol inner(page, eof_with_data != 0);
        PROTOCOLFILTERDATA filter_data{sizeof filter_data, nullptr, &inner, nullptr, 0};
        FilterStream stream(kKeep);
        ASSERT_EQ(
            stream.Start(nullptr, &sink_, nullptr, 0, reinterpret_cast<HANDLE_PTR>(&filter_data)),
            S_OK);
        std::string out;
        std::string buffer(size, '\0');
        HRESULT hr = S_OK;
        ULONG read = 0;
        int reads = 0;
        do {
          hr = stream.Read(buffer.data(), size, &read);
          ASSERT_TRUE(hr == S_OK || hr == S_FALSE) << hr;
          ASSERT_LE(read, size);
          out.append(buffer, 0, read);
          ASSERT_LT(++reads, 10000) << "no end at read size " << size;
        } while (!(hr == S_FALSE && read == 0));
        const std::string where = "test " + std::to_string(test) + " eof_with_data " +
                                  std::to_string(eof_with_data) + " size " + std::to_string(size);
        if (test == 0) {
          EXPECT_EQ(out, page) << where;
          continue;
        }
        const std::size_t first = out.find(footers);
        if (size >= page.size()) {
          EXPECT_NE(first, std::string::npos) << where;
        }
        if (first == std::string::npos) {
          EXPECT_EQ(out, page) << where;
          continue;
        }
        EXPECT_EQ(out.find(footers, first + 1), std::string::npos) << "footers twice: " << where;
        const std::size_t end = out.find("\r\n<HR>", first + footers.size());
        ASSERT_NE(end, std::string::npos) << where;
        const std::size_t stats_end = out.find("</CENTER>", end) + 9;
        EXPECT_EQ(out.substr(0, first) + out.substr(stats_end), page) << where;
        EXPECT_EQ(out.compare(stats_end, 7, "</HTML>"), 0) << where;
      }
    }
  }
}

}  // namespace
}  // namespace velquor
