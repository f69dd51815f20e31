// A seeded generator of HTML pages for the benchmarks and for the property
// tests that compare the filter's output with a plain reference. Four
// families of page, each in the style of the late-1990s web the filter was
// made for:
//
//   portal       a link every 150 to 250 bytes; a third carry an image of
//                assorted size; one link in five is an advertisement
//                (banners, buttons, ad servers, sponsor text), with an
//                applet now and then;
//   document     a long article: paragraphs and headings with a link every
//                few kilobytes;
//   plain        text and harmless markup without any link or applet;
//   applets      an applet every few hundred bytes, some of them ads.
//
// Pages are deterministic: the same family, size and seed give the same
// bytes on every machine and compiler. Every page begins with "<HTML>" and
// ends with "</BODY></HTML>\n"; its size is `bytes` or slightly more (the
// last block is finished). Pure functions; safe on any thread.
#ifndef VELQUOR_BENCH_CORPUS_H_
#define VELQUOR_BENCH_CORPUS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velquor::bench {

enum class PageFamily { kPortal, kDocument, kPlain, kApplets };

inline constexpr PageFamily kAllPageFamilies[] = {PageFamily::kPortal, PageFamily::kDocument,
                                                  PageFamily::kPlain, PageFamily::kApplets};

// "portal", "document", "plain", "applets".
const char* PageFamilyName(PageFamily family);

// The family named `name` (as PageFamilyName gives it); false when there is
// none.
bool ParsePageFamily(const std::string& name, PageFamily* family);

// A page of `family` of at least `bytes` bytes (at most a few hundred more),
// generated from `seed`.
std::string MakeCorpusPage(PageFamily family, std::size_t bytes, uint64_t seed);

// One page of the corpus as the property tests walk it.
struct CorpusPage {
  PageFamily family;
  std::size_t bytes;
  uint64_t seed;
};

// The small corpus the tests run whole: every family at a few sizes from
// 10 KB up to `max_bytes`, with two seeds each.
std::vector<CorpusPage> SmallCorpus(std::size_t max_bytes);

}  // namespace velquor::bench

#endif  // VELQUOR_BENCH_CORPUS_H_
