// Helper program for the stress test, started by exec with VELQUOR_HOME set:
//
//   stress_worker THREADS PAGES ADS
//
// Each of THREADS threads filters PAGES pages (0: until the process is
// killed), each through a filter stream of its own, as a browser's threads
// do. A page holds ADS banner advertisements and as many ordinary links, every
// link target unique to its process, thread, page and place, so that no
// advertisement is ever taken for a repeat of another. After a page is
// filtered completely the thread writes one line "1 K" to standard output,
// with K the advertisements removed from it, in one write(2), so that a line read by
// the parent is a page whose counts have been made. Exit status 0; 3 when a
// page could not be filtered or lost an ordinary link.
#include <stdio.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "filter/filter_stream.h"
#include "inner_protocol.h"
#include "rules/keyword_rules.h"

namespace {

std::size_t Count(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size())) {
    ++n;
  }
  return n;
}

std::string MakePage(int thread, long page, int ads) {
  const std::string tag =
      std::to_string(getpid()) + "-" + std::to_string(thread) + "-" + std::to_string(page) + "-";
  std::string html = "<HTML><HEAD><TITLE>Stress</TITLE></HEAD><BODY>\n";
  for (int j = 0; j < ads; ++j) {
    const std::string id = tag + std::to_string(j);
    html += "<P>Today's story number " + std::to_string(j) +
            " goes on for a while, as stories do.\n<A HREF=\"http://news.example.org/s/" + id +
            "\">Read story " + id + "</A>\n";
    html += "<A HREF=\"http://ads.example.net/click?" + id +
            "\"><IMG SRC=\"banner.gif\" WIDTH=468 HEIGHT=60 ALT=\"Advertisement\"></A>\n";
  }
  html += "</BODY></HTML>\n";
  return html;
}

// Filters one page; returns the links removed, or -1 when the filter failed
// or took an ordinary link.
int FilterPage(const std::string& page, ULONG read_size) {
  std::FILE* in = fmemopen(const_cast<char*>(page.data()), page.size(), "r");
  if (in == nullptr) return -1;
  velquor::host::FileProtocol inner(in, velquor::host::EndOfData::kWithData);
  velquor::FilterStream stream;
  std::string out;
  const HRESULT hr = velquor::host::PullPage(
      stream, inner, read_size, [&out](const char* p, std::size_t n) { out.append(p, n); });
  std::fclose(in);
  if (hr != S_OK) {
    std::fprintf(stderr, "stress_worker: Read failed with 0x%08x\n", static_cast<unsigned>(hr));
    return -1;
  }
  const std::size_t ads_in = Count(page, "ads.example.net");
  const std::size_t ads_out = Count(out, "ads.example.net");
  if (Count(out, "news.example.org") != Count(page, "news.example.org") || ads_out > ads_in) {
    std::fprintf(stderr, "stress_worker: an ordinary link was lost or an ad added:\n%s\n",
                 out.c_str());
    return -1;
  }
  return static_cast<int>(ads_in - ads_out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: stress_worker THREADS PAGES ADS\n");
    return 1;
  }
  const int threads = std::atoi(argv[1]);
  const long pages = std::atol(argv[2]);
  const int ads = std::atoi(argv[3]);
  velquor::AddBuiltInRules();

  std::vector<std::thread> workers;
  std::vector<int> status(static_cast<std::size_t>(threads), 0);
  static constexpr ULONG kReadSizes[] = {8192, 512, 97, 65536};
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([t, pages, ads, &status] {
      for (long i = 0; pages == 0 || i < pages; ++i) {
        const int removed = FilterPage(MakePage(t, i, ads), kReadSizes[t % 4]);
        if (removed < 0) {
          status[static_cast<std::size_t>(t)] = 3;
          return;
        }
        char line[32];
        const int n = std::snprintf(line, sizeof line, "1 %d\n", removed);
        if (write(STDOUT_FILENO, line, static_cast<std::size_t>(n)) != n) {
          status[static_cast<std::size_t>(t)] = 3;
          return;
        }
      }
    });
  }
  for (std::thread& w : workers) w.join();
  for (int s : status) {
    if (s != 0) {
      std::fprintf(stderr, "stress_worker: a page could not be filtered\n");
      return s;
    }
  }
  return 0;
}
