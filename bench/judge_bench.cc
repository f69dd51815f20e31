// The judges one segment at a time, and whole pages through the scanner with
// the real judges, in a fresh profile holding only a "Score" setting (so each
// settings read goes to the store, as in the browser). Removals count in the
// profile's "Killed" total.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "engine/judges.h"
#include "engine/page_scanner.h"
#include "platform/registry.h"
#include "platform/testing_profile.h"
#include "rules/keyword_rules.h"
#include "settings/store.h"

namespace velquor {
namespace {

const std::string kBannerLink =
    "<A HREF=\"http://ads.megaclick.example/click?ad=1042&amp;site=pathfinder\">"
    "<IMG SRC=\"http://ads.megaclick.example/banners/1042.gif\" WIDTH=468 HEIGHT=60 "
    "BORDER=0 ALT=\"Win a trip to Hawaii - enter today!\"></A>";
const std::string kTextLink =
    "<A HREF=\"/news/1999/11/y2k.html\">Banks say they are "
    "ready for the year 2000</A>";
const std::string kImageLink =
    "<A HREF=\"/news/1999/11/comet.html\"><IMG SRC=\"/news/img/comet-small.jpg\" "
    "WIDTH=120 HEIGHT=90 ALT=\"Comet\">Leonid meteor shower tonight</A>";
const std::string kAdApplet =
    "<APPLET CODE=\"AdRotator.class\" CODEBASE=\"http://ads.megaclick.example/java/\" "
    "WIDTH=120 HEIGHT=60>\n<PARAM NAME=\"images\" VALUE=\"/ads/r1.gif,/ads/r2.gif\">\n"
    "<PARAM NAME=\"target\" VALUE=\"http://ads.megaclick.example/click?adid=77\">\n"
    "Visit our sponsor!\n</APPLET>";
const std::string kTickerApplet =
    "<APPLET CODE=\"Ticker.class\" CODEBASE=\"/java/\" WIDTH=400 HEIGHT=20>\n"
    "<PARAM NAME=\"symbols\" VALUE=\"ACME,GLBX,INIT,UMBR\">\nStock quotes need Java.\n"
    "</APPLET>";

void JudgeLink(benchmark::State& state, const std::string& segment) {
  int32_t modified = 0, removed = 0;
  for (auto _ : state) {
    ProcessAdLink().Remember("");  // every banner is a first sighting
    benchmark::DoNotOptimize(JudgeLinkSegment(segment, modified, removed));
  }
}

void JudgeApplet(benchmark::State& state, const std::string& segment) {
  int32_t modified = 0, removed = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(JudgeAppletSegment(segment, modified, removed));
  }
}

// Per segment, the median of repetitions: settings reads and the "Killed"
// increment included.
BENCHMARK_CAPTURE(JudgeLink, kept_text_link, kTextLink)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(JudgeLink, kept_image_link, kImageLink)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(JudgeLink, removed_banner, kBannerLink)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(JudgeApplet, kept_ticker, kTickerApplet);
BENCHMARK_CAPTURE(JudgeApplet, removed_ad, kAdApplet);

// A portal-like page of about `bytes` bytes: prose, navigation links, news
// links with thumbnails, and one advertisement in every `ad_every` blocks.
std::string MakePage(std::size_t bytes, int ad_every) {
  std::string page = "<HTML><HEAD><TITLE>Portal</TITLE></HEAD><BODY>\n";
  for (int block = 0; page.size() < bytes; ++block) {
    page +=
        "<P>The council met on Tuesday to discuss the new bridge; residents "
        "asked about traffic, parking and the schedule of the works.</P>\n";
    page += "<A HREF=\"/news/" + std::to_string(block) + ".html\">Read more</A> | ";
    page += kImageLink + "\n";
    if (ad_every > 0 && block % ad_every == 0) {
      page += block % (2 * ad_every) == 0 ? kBannerLink : kAdApplet;
      page += "\n";
    }
  }
  return page + "</BODY></HTML>\n";
}

void FilterPage(benchmark::State& state) {
  const std::string page = MakePage(256 * 1024, static_cast<int>(state.range(0)));
  for (auto _ : state) {
    int32_t modified = 0, removed = 0, carry_over = -1;
    bool footers_given = false;
    benchmark::DoNotOptimize(ScanChunk(page, true, modified, removed, footers_given, carry_over));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(page.size()));
}

// Argument: one advertisement every N blocks (0: none).
BENCHMARK(FilterPage)->Arg(0)->Arg(20)->Arg(4)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velquor

int main(int argc, char** argv) {
  velquor::TempProfile profile;
  if (!profile.Create()) return 2;
  velquor::WriteStoreNumber(HKEY_CURRENT_USER, velquor::kConfigKey, "Score", 100);
  velquor::AddBuiltInRules();

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  profile.Remove();
  return 0;
}
