// Fuzz target: a filter stream fed a whole page, as the browser drives it.
//
// Input: a flags byte (Images, Applets, Replace, Test, AddModify, AddStats,
// the inner protocol's end-of-data style, whether a ReplaceHtml template
// follows), a byte choosing "Score", a count of read sizes and that many size
// bytes (the host cycles through them), the template when flagged, then the
// page. Properties: no crash, no hang (each Read makes progress), no Read
// hands out more than asked, "Pages" grows by exactly one per page, and with
// both judges and the test footers off the output is the page byte for byte.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/judges.h"
#include "filter/filter_stream.h"
#include "fuzz_support.h"
#include "inner_protocol.h"
#include "rules/keyword_rules.h"
#include "settings/store.h"

namespace velquor::fuzz {
namespace {

constexpr uint8_t kImagesOn = 1, kAppletsOn = 2, kReplaceOn = 4, kTestOn = 8, kAddModifyOn = 16,
                  kAddStatsOn = 32, kSeparateEnd = 64, kHasTemplate = 128;

// Thresholds around the scores the judges give, and the extremes.
constexpr uint32_t kScores[] = {100, 0,   1,   50,   99,          101,         150,         200,
                                250, 300, 500, 1000, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 100};

// Read sizes: 1 to 200 bytes, or a power of two up to 64 KiB.
ULONG ReadSize(uint8_t b) {
  if (b < 200) return static_cast<ULONG>(b) + 1;
  return static_cast<ULONG>(1) << ((b - 200) % 17);
}

// The settings last written, so that a run writes only what changed; the
// store then holds exactly what the input asks for either way.
struct Settings {
  uint32_t numbers[7];
  bool has_template;
  std::string template_text;
  bool operator==(const Settings&) const = default;
};

const char* const kNumberNames[7] = {"Images", "Applets",   "Score",   "Replace",
                                     "Test",   "AddModify", "AddStats"};

void Apply(const Settings& wanted) {
  static bool known = false;
  static Settings current{};
  if (known && current == wanted) return;
  for (int i = 0; i < 7; ++i) {
    if (!known || current.numbers[i] != wanted.numbers[i]) {
      WriteStoreNumber(HKEY_CURRENT_USER, kConfigKey, kNumberNames[i], wanted.numbers[i]);
    }
  }
  if (!known || current.has_template != wanted.has_template ||
      current.template_text != wanted.template_text) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kConfigKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
      Fail("cannot open the settings key", StoreProblem());
    }
    if (wanted.has_template) {
      // Stored the way the configuration program stores a text: with its zero.
      const std::string data = wanted.template_text + '\0';
      RegSetValueExA(key, "ReplaceHtml", 0, REG_SZ, reinterpret_cast<const BYTE*>(data.data()),
                     static_cast<DWORD>(data.size()));
    } else {
      RegDeleteValueA(key, "ReplaceHtml");
    }
    RegCloseKey(key);
  }
  if (!StoreProblem().empty()) Fail("the settings could not be written", StoreProblem());
  current = wanted;
  known = true;
}

}  // namespace
}  // namespace velquor::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  velquor::fuzz::UsePrivateProfile();
  velquor::AddBuiltInRules();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velquor;
  using namespace velquor::fuzz;
  InputReader in(data, size);
  const uint8_t flags = in.Byte();
  Settings settings{};
  settings.numbers[0] = (flags & kImagesOn) ? 1 : 0;
  settings.numbers[1] = (flags & kAppletsOn) ? 1 : 0;
  settings.numbers[2] = kScores[in.Byte() % 16];
  settings.numbers[3] = (flags & kReplaceOn) ? 1 : 0;
  settings.numbers[4] = (flags & kTestOn) ? 1 : 0;
  settings.numbers[5] = (flags & kAddModifyOn) ? 1 : 0;
  settings.numbers[6] = (flags & kAddStatsOn) ? 1 : 0;
  std::vector<ULONG> sizes(in.Byte() % 8 + 1);
  for (ULONG& s : sizes) s = ReadSize(in.Byte());
  settings.has_template = (flags & kHasTemplate) != 0;
  if (settings.has_template) settings.template_text = in.ShortText();
  const std::string page = in.Rest();

  Apply(settings);
  // Each input starts from the same process state: no remembered ad link,
  // and a "Killed" total of 0 for the statistics footer.
  ProcessAdLink().Remember("");
  if (ReadSetting(kKilled) != 0) WriteStoreNumber(HKEY_CURRENT_USER, kStatsKey, "Killed", 0);
  const uint32_t pages_before = ReadSetting(kPages);

  host::MemoryProtocol inner(
      page, (flags & kSeparateEnd) != 0 ? host::EndOfData::kSeparate : host::EndOfData::kWithData);
  host::NullSink sink;
  PROTOCOLFILTERDATA filter_data{sizeof(PROTOCOLFILTERDATA), &sink, &inner, nullptr, 0};
  FilterStream stream;
  if (stream.Start(u"http://fuzz.test/", &sink, nullptr, 0,
                   reinterpret_cast<HANDLE_PTR>(&filter_data)) != S_OK) {
    Fail("Start refused a complete filter data record");
  }
  if (ReadSetting(kPages) != pages_before + 1) {
    Fail("Start did not count the page exactly once",
         std::to_string(pages_before) + " -> " + std::to_string(ReadSetting(kPages)));
  }

  std::string output;
  std::vector<char> buffer(1 << 16);
  std::size_t reads = 0;
  for (;;) {
    const ULONG count = sizes[reads % sizes.size()];
    ULONG got = 0xFFFFFFFFu;
    const HRESULT hr = stream.Read(buffer.data(), count, &got);
    ++reads;
    if (got > count) {
      Fail("Read handed out more than asked", std::to_string(got) + " > " + std::to_string(count));
    }
    output.append(buffer.data(), got);
    if (hr == S_FALSE && got == 0) break;
    if (hr != S_OK && hr != S_FALSE) Fail("Read failed", std::to_string(hr));
    // A read that hands out nothing must at least have taken bytes from the
    // page; more reads than bytes moved means the stream stalls.
    if (reads > page.size() + output.size() + 4) {
      Fail("the stream stopped making progress", "reads: " + std::to_string(reads));
    }
  }

  const bool pass_through = (flags & (kImagesOn | kAppletsOn | kTestOn)) == 0;
  if (pass_through && output != page) {
    Fail("with both judges and the test footers off the page changed",
         "in " + std::to_string(page.size()) + " bytes, out " + std::to_string(output.size()));
  }
  return 0;
}
