// make_corpus: writes pages of the benchmark corpus to files, so that the
// `velquor` program and other tools can be run on exactly the pages the
// benchmarks measure.
//
//   make_corpus [--seed N] FAMILY SIZE FILE
//
// FAMILY is portal, document, plain or applets; SIZE is a byte count with an
// optional K or M suffix (1024-based).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "corpus.h"

namespace {

constexpr char kUsage[] =
    "usage: make_corpus [--seed N] FAMILY SIZE FILE\n"
    "Writes one generated page of FAMILY (portal, document, plain, applets)\n"
    "of SIZE bytes (suffix K or M: 1024-based) to FILE ('-': standard output).\n"
    "The same family, size and seed always give the same bytes (seed: 1).\n";

bool ParseCount(const char* text, unsigned long long max, unsigned long long* out) {
  if (*text < '0' || *text > '9') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long n = std::strtoull(text, &end, 10);
  if (errno != 0) return false;
  unsigned long long scale = 1;
  if (*end == 'K' || *end == 'k')
    scale = 1024, ++end;
  else if (*end == 'M' || *end == 'm')
    scale = 1024 * 1024, ++end;
  if (*end != '\0' || n > max / scale) return false;
  *out = n * scale;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long long seed = 1;
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
      if (!ParseCount(argv[++i], ~0ull, &seed)) {
        std::fprintf(stderr, "make_corpus: bad seed '%s'\n", argv[i]);
        return 2;
      }
      continue;
    }
    std::fprintf(stderr, "make_corpus: unknown option '%s'\n%s", argv[i], kUsage);
    return 2;
  }
  if (argc - i != 3) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  velquor::bench::PageFamily family;
  if (!velquor::bench::ParsePageFamily(argv[i], &family)) {
    std::fprintf(stderr, "make_corpus: unknown family '%s' (portal, document, plain, applets)\n",
                 argv[i]);
    return 2;
  }
  unsigned long long size = 0;
  if (!ParseCount(argv[i + 1], 1ull << 32, &size)) {
    std::fprintf(stderr, "make_corpus: bad size '%s' (bytes, K or M, at most 4096M)\n",
                 argv[i + 1]);
    return 2;
  }
  const std::string page =
      velquor::bench::MakeCorpusPage(family, static_cast<std::size_t>(size), seed);
  const char* path = argv[i + 2];
  const bool to_stdout = std::strcmp(path, "-") == 0;
  std::FILE* out = to_stdout ? stdout : std::fopen(path, "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "make_corpus: %s: %s\n", path, std::strerror(errno));
    return 1;
  }
  const bool written = std::fwrite(page.data(), 1, page.size(), out) == page.size();
  const bool closed = to_stdout ? std::fflush(out) == 0 : std::fclose(out) == 0;
  if (!written || !closed) {
    std::fprintf(stderr, "make_corpus: %s: %s\n", path, std::strerror(errno));
    return 1;
  }
  return 0;
}
