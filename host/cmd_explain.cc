// velquor explain: shows, for every link and applet segment of a page, how
// the judges score it and what they decide. The page is judged as one chunk
// by the same scanner and scoring code that `filter` uses, with the current
// settings and rules, but as a fresh process would (no remembered ad link at
// the start) and without writing anything to the profile.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "engine/judges.h"
#include "engine/page_scanner.h"
#include "rules/keyword_rules.h"
#include "settings/store.h"

#if __has_include("rules/user_rules.h")
#include "rules/user_rules.h"
#define VELQUOR_HAVE_USER_RULES 1
#endif

namespace velquor::host {
namespace {

constexpr char kUsage[] =
    "usage: velquor explain [FILE]\n"
    "\n"
    "Judges every link (<A ...</A>) and applet (<APPLET ...</APPLET>) of an\n"
    "HTML page as the filter would and prints, in page order, one block per\n"
    "segment: its kind, byte offset and length, the verdict (kept, removed,\n"
    "replaced, removed as a repeat, or not judged because it crosses a\n"
    "script, style or comment boundary), the image or applet size and its size\n"
    "score, every keyword rule and word pair that hit, the repeat bonus, the\n"
    "total and the threshold. A summary line ends the output.\n"
    "\n"
    "FILE is read whole; without FILE, or with \"-\", the page is read from\n"
    "standard input. The current settings and the user rules file are used;\n"
    "nothing is written to the profile (the Killed total does not move).\n";

// One segment as the scanner handed it, with what was decided about it.
struct ExplainedSegment {
  std::size_t offset;
  std::size_t length;
  SegmentJudgement judgement;
  std::string result;
  bool crosses_boundary = false;  // passed unjudged
};

// The run's state, reached from the scanner's plain-function judges. The
// command runs once per process, on one thread.
struct ExplainRun {
  const std::string* page = nullptr;
  std::size_t next_search = 0;
  RememberedAdLink ad_link;
  std::vector<ExplainedSegment> segments;
};

ExplainRun* current_run = nullptr;

// A new entry for `segment`, placed in the page. Segments come in page
// order and never overlap; the first copy of the segment at or after the end
// of the previous one is where it was cut, since any earlier copy would
// itself have opened a segment there.
ExplainedSegment& AddSegment(SegmentKind kind, const std::string& segment) {
  ExplainRun& run = *current_run;
  ExplainedSegment& entry = run.segments.emplace_back();
  entry.judgement.kind = kind;
  entry.offset = run.page->find(segment, run.next_search);
  if (entry.offset == std::string::npos) entry.offset = run.next_search;
  entry.length = segment.size();
  run.next_search = entry.offset + segment.size();
  return entry;
}

std::string Judge(SegmentKind kind, const std::string& segment, int32_t& modified,
                  int32_t& removed) {
  ExplainedSegment& entry = AddSegment(kind, segment);
  const JudgeScope scope = {&current_run->ad_link, false, true};
  entry.result = JudgeSegment(kind, segment, modified, removed, scope, &entry.judgement);
  return entry.result;
}

void NotJudged(bool applet, const std::string& segment) {
  AddSegment(applet ? SegmentKind::kApplet : SegmentKind::kLink, segment).crosses_boundary = true;
}

std::string JudgeLink(const std::string& segment, int32_t& modified, int32_t& removed) {
  return Judge(SegmentKind::kLink, segment, modified, removed);
}

std::string JudgeApplet(const std::string& segment, int32_t& modified, int32_t& removed) {
  return Judge(SegmentKind::kApplet, segment, modified, removed);
}

// Page bytes shown on a terminal: quotes, backslashes, control bytes and
// bytes above 0x7E escaped, so every block stays on its lines.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c > 0x7E) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

const char* VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::kNotJudged:
      return "kept, not judged";
    case Verdict::kKept:
      return "kept";
    case Verdict::kRemoved:
      return "removed";
    case Verdict::kReplaced:
      return "replaced";
    case Verdict::kRemovedAsRepeat:
      return "removed as a repeat";
  }
  return "?";
}

// "<IMG " -> "IMG"
std::string TagName(const std::string& tag) {
  std::string name = tag.substr(tag.empty() ? 0 : 1);
  while (!name.empty() && name.back() == ' ') name.pop_back();
  return name;
}

void PrintSegment(const ExplainedSegment& s) {
  const SegmentJudgement& j = s.judgement;
  const bool link = j.kind == SegmentKind::kLink;
  if (s.crosses_boundary) {
    std::printf(
        "%s at byte %zu, %zu bytes: not judged: crosses a script, style or comment "
        "boundary\n",
        link ? "link" : "applet", s.offset, s.length);
    return;
  }
  std::printf("%s at byte %zu, %zu bytes: %s", link ? "link" : "applet", s.offset, s.length,
              VerdictName(j.verdict));
  if (j.verdict == Verdict::kNotJudged) {
    std::printf(" (%s is 0)\n", link ? "Images" : "Applets");
    return;
  }
  std::printf("\n");
  if (link) std::printf("  target %s\n", Quoted(j.link_target).c_str());
  if (j.tag.empty()) {
    std::printf("  no image tag %+d\n", static_cast<int>(j.penalty));
  } else {
    std::printf("  %s width %d height %d, size score %+d\n", TagName(j.tag).c_str(),
                static_cast<int>(j.width), static_cast<int>(j.height),
                static_cast<int>(j.size_score));
  }
  for (const KeywordHit& hit : j.keyword_hits) {
    switch (hit.kind) {
      case KeywordHit::kPresence:
        std::printf("  keyword %s present %+d\n", Quoted(hit.keyword).c_str(),
                    static_cast<int>(hit.contribution));
        break;
      case KeywordHit::kOccurrence:
        std::printf("  keyword %s %d time%s %+d\n", Quoted(hit.keyword).c_str(),
                    static_cast<int>(hit.occurrences), hit.occurrences == 1 ? "" : "s",
                    static_cast<int>(hit.contribution));
        break;
      case KeywordHit::kWordPair:
        std::printf("  word pair %s %+d\n", hit.keyword.c_str(),
                    static_cast<int>(hit.contribution));
        break;
    }
  }
  if (j.repeat_bonus != 0) {
    std::printf("  repeat of the last removed link %+d\n", static_cast<int>(j.repeat_bonus));
  }
  if (j.threshold_read) {
    std::printf("  total %d, threshold %u\n", static_cast<int>(j.total),
                static_cast<unsigned>(j.threshold));
  } else {
    std::printf("  total %d, below zero\n", static_cast<int>(j.total));
  }
  if (j.verdict == Verdict::kReplaced) {
    std::printf("  replacement %s\n", Quoted(s.result).c_str());
  }
}

bool ReadAll(FILE* in, std::string* data) {
  char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) data->append(buffer, n);
  return !std::ferror(in);
}

}  // namespace

int RunExplain(int argc, char** argv) {
  if (WantsHelp(argc, argv)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] == '-' && argv[i][1] != '\0') {
      PrintError("explain: unknown option '%s' (try 'velquor explain --help')", argv[i]);
      return 1;
    }
    if (path != nullptr) {
      PrintError("explain: more than one file given (try 'velquor explain --help')");
      return 1;
    }
    path = argv[i];
  }

  std::string page;
  const bool from_stdin = path == nullptr || std::strcmp(path, "-") == 0;
  const char* name = from_stdin ? "standard input" : path;
  FILE* in = from_stdin ? stdin : std::fopen(path, "rb");
  if (in == nullptr) {
    PrintError("explain: %s: %s", name, std::strerror(errno));
    return 2;
  }
  const bool read_ok = ReadAll(in, &page);
  const int read_errno = errno;
  if (!from_stdin) std::fclose(in);
  if (!read_ok) {
    PrintError("explain: %s: %s", name, std::strerror(read_errno));
    return 2;
  }

  // The rules as a freshly started library holds them.
#ifdef VELQUOR_HAVE_USER_RULES
  LoadAllRules(RulesPathForInstallDir(ReadTextSetting(kInstallDir, "")));
#else
  AddBuiltInRules();
#endif

  ExplainRun run;
  run.page = &page;
  current_run = &run;
  int32_t modified = 0;
  int32_t removed = 0;
  bool footers_given = false;
  int32_t carry_over = -1;
  ScanChunk(page, true, modified, removed, footers_given, carry_over,
            {JudgeLink, JudgeApplet, NotJudged});
  current_run = nullptr;

  std::size_t counts[5] = {};
  for (const ExplainedSegment& s : run.segments) {
    PrintSegment(s);
    ++counts[static_cast<int>(s.judgement.verdict)];
  }
  std::printf(
      "%zu segment%s: %zu kept, %zu removed, %zu replaced, %zu removed as repeats\n",
      run.segments.size(), run.segments.size() == 1 ? "" : "s",
      counts[static_cast<int>(Verdict::kKept)] + counts[static_cast<int>(Verdict::kNotJudged)],
      counts[static_cast<int>(Verdict::kRemoved)], counts[static_cast<int>(Verdict::kReplaced)],
      counts[static_cast<int>(Verdict::kRemovedAsRepeat)]);
  if (std::fflush(stdout) != 0) {
    PrintError("explain: cannot write the output: %s", std::strerror(errno));
    return 2;
  }
  return 0;
}

}  // namespace velquor::host
