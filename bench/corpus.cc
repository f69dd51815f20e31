#include "corpus.h"

#include <cstdio>

namespace velquor::bench {
namespace {

// splitmix64: tiny, fast, and the same sequence everywhere (the standard
// library's distributions are not).
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [low, high].
  std::size_t Between(std::size_t low, std::size_t high) {
    return low + static_cast<std::size_t>(Next() % (high - low + 1));
  }
  bool OneIn(std::size_t n) { return Next() % n == 0; }
  template <typename T, std::size_t N>
  const T& Pick(const T (&items)[N]) {
    return items[Next() % N];
  }

 private:
  uint64_t state_;
};

constexpr const char* kWords[] = {
    "the",    "council", "met",    "on",      "Tuesday",  "to",      "discuss",  "new",   "bridge",
    "market", "closed",  "higher", "weather", "today",    "and",     "of",       "a",     "in",
    "report", "said",    "year",   "2000",    "computer", "problem", "software", "banks", "ready",
    "people", "city",    "school", "game",    "season",   "team",    "won",      "storm", "coast",
    "prices", "music",   "film",   "review",  "travel",   "health"};
constexpr const char* kHosts[] = {"megaclick", "adnet",    "bannerworks", "clickpoint",
                                  "doubleads", "adsphere", "promohub",    "linkswap"};
constexpr const char* kSections[] = {"news", "sports", "weather", "money", "tech", "travel"};
constexpr const char* kHarmlessTags[] = {"<B>",           "</B>",    "<I>",  "</I>", "<BR>",
                                         "<font size=2>", "</font>", "<TT>", "</TT>"};

void AppendNumber(std::string& page, uint64_t n) {
  char digits[24];
  std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(n));
  page += digits;
}

// Words, with a harmless tag now and then, until the page reaches `until`.
void AppendText(std::string& page, Random& random, std::size_t until) {
  while (page.size() < until) {
    if (random.OneIn(12)) {
      page += random.Pick(kHarmlessTags);
    } else {
      page += random.Pick(kWords);
    }
    page += random.OneIn(15) ? ".\n" : " ";
  }
}

struct Size {
  int width;
  int height;
};

// Sizes of ordinary pictures: none scores near a banner or a button.
constexpr Size kPictureSizes[] = {{120, 90},  {64, 64},   {150, 100}, {32, 32},
                                  {200, 150}, {300, 220}, {16, 16},   {180, 135}};
// Advertisement sizes: full banners and their near sizes, half banners,
// buttons.
constexpr Size kBannerSizes[] = {{468, 60}, {470, 58}, {466, 62}, {440, 40},
                                 {234, 60}, {468, 64}, {88, 31},  {120, 60}};

void AppendImage(std::string& page, Random& random, const Size& size, bool lower) {
  page += lower ? "<img src=\"/img/p" : "<IMG SRC=\"/img/p";
  AppendNumber(page, random.Next() % 100000);
  page += lower ? ".jpg\" width=" : ".jpg\" WIDTH=";
  AppendNumber(page, static_cast<uint64_t>(size.width));
  page += lower ? " height=" : " HEIGHT=";
  AppendNumber(page, static_cast<uint64_t>(size.height));
  page += lower ? " alt=\"" : " ALT=\"";
  page += random.Pick(kWords);
  page += "\">";
}

// An ordinary link: a headline, sometimes with a picture; now and then in
// lower case or spread over two lines.
void AppendPlainLink(std::string& page, Random& random, uint64_t serial) {
  const bool lower = random.OneIn(4);
  page += lower ? "<a href=\"/" : "<A HREF=\"/";
  page += random.Pick(kSections);
  page += "/1999/";
  AppendNumber(page, serial);
  page += random.OneIn(5) ? ".html\"\n>" : ".html\">";
  if (random.OneIn(3)) AppendImage(page, random, random.Pick(kPictureSizes), lower);
  const std::size_t words = random.Between(2, 6);
  for (std::size_t i = 0; i < words; ++i) {
    if (i > 0) page += ' ';
    page += random.Pick(kWords);
  }
  page += lower ? "</a>" : "</A>";
}

// An advertisement link: a banner or button from an ad server, a sponsor's
// text link, or (now and then) a repeat of the previous ad's target.
void AppendAdLink(std::string& page, Random& random, uint64_t serial, std::string& last_target) {
  std::string target;
  if (!last_target.empty() && random.OneIn(8)) {
    target = last_target;
  } else {
    target = "http://ads.";
    target += random.Pick(kHosts);
    target += ".example/click?ad=";
    AppendNumber(target, serial);
    target += "&amp;site=portal";
  }
  last_target = target;
  page += "<A HREF=\"" + target + "\">";
  switch (random.Next() % 3) {
    case 0:
    case 1: {
      const Size& size = random.Pick(kBannerSizes);
      page += "<IMG SRC=\"http://ads.";
      page += random.Pick(kHosts);
      page += ".example/banners/";
      AppendNumber(page, serial);
      page += ".gif\" WIDTH=";
      AppendNumber(page, static_cast<uint64_t>(size.width));
      page += " HEIGHT=";
      AppendNumber(page, static_cast<uint64_t>(size.height));
      page += " BORDER=0 ALT=\"Click here!\">";
      break;
    }
    default:
      page += random.OneIn(2) ? "Free banner exchange - join our member network"
                              : "Sponsored: link exchange for your site";
      break;
  }
  page += "</A>";
}

void AppendApplet(std::string& page, Random& random, uint64_t serial, bool ad) {
  if (ad) {
    page += "<APPLET CODE=\"AdRotator.class\" CODEBASE=\"http://ads.";
    page += random.Pick(kHosts);
    page +=
        ".example/java/\" WIDTH=468 HEIGHT=60>\n<PARAM NAME=\"target\" "
        "VALUE=\"http://ads.example/click?adid=";
    AppendNumber(page, serial);
    page += "\">\nVisit our sponsor!\n</APPLET>";
  } else {
    page += random.OneIn(3) ? "<applet code=\"Ticker.class\" codebase=\"/java/\" width=400 "
                              "height=20>\n<param name=\"symbols\" value=\"ACME,GLBX\">\n"
                              "</applet>"
                            : "<APPLET CODE=\"Clock.class\" WIDTH=150 HEIGHT=150>"
                              "<PARAM NAME=\"zone\" VALUE=\"EST\"></APPLET>";
  }
}

std::string PageStart(const char* title) {
  std::string page = "<HTML>\n<HEAD><TITLE>";
  page += title;
  page += "</TITLE></HEAD>\n<BODY BGCOLOR=\"#FFFFFF\">\n";
  return page;
}

constexpr char kPageEnd[] = "</BODY></HTML>\n";
constexpr std::size_t kPageEndLength = sizeof kPageEnd - 1;

void MakePortal(std::string& page, Random& random, std::size_t until) {
  std::string last_ad_target;
  for (uint64_t serial = 1; page.size() < until; ++serial) {
    const std::size_t next = page.size() + random.Between(150, 250);
    if (serial % 5 == 0) {
      AppendAdLink(page, random, serial, last_ad_target);
    } else if (random.OneIn(40)) {
      AppendApplet(page, random, serial, random.OneIn(2));
    } else {
      AppendPlainLink(page, random, serial);
    }
    page += ' ';
    AppendText(page, random, next);
  }
}

void MakeDocument(std::string& page, Random& random, std::size_t until) {
  std::string last_ad_target;
  std::size_t next_link = page.size() + random.Between(2000, 6000);
  for (uint64_t serial = 1; page.size() < until; ++serial) {
    if (random.OneIn(6)) {
      page += "<H2>";
      AppendText(page, random, page.size() + random.Between(20, 50));
      page += "</H2>\n";
    }
    page += "<P>";
    AppendText(page, random, page.size() + random.Between(300, 800));
    if (page.size() >= next_link) {
      if (random.OneIn(10)) {
        AppendAdLink(page, random, serial, last_ad_target);
      } else {
        AppendPlainLink(page, random, serial);
      }
      next_link = page.size() + random.Between(2000, 6000);
    }
    page += "</P>\n";
  }
}

void MakePlain(std::string& page, Random& random, std::size_t until) {
  while (page.size() < until) {
    page += random.OneIn(8) ? "<HR>\n<P>" : "<P>";
    AppendText(page, random, page.size() + random.Between(200, 900));
    page += "</P>\n";
  }
}

void MakeApplets(std::string& page, Random& random, std::size_t until) {
  for (uint64_t serial = 1; page.size() < until; ++serial) {
    AppendApplet(page, random, serial, serial % 4 == 0);
    page += ' ';
    AppendText(page, random, page.size() + random.Between(150, 450));
  }
}

}  // namespace

const char* PageFamilyName(PageFamily family) {
  switch (family) {
    case PageFamily::kPortal:
      return "portal";
    case PageFamily::kDocument:
      return "document";
    case PageFamily::kPlain:
      return "plain";
    case PageFamily::kApplets:
      return "applets";
  }
  return "";
}

bool ParsePageFamily(const std::string& name, PageFamily* family) {
  for (PageFamily f : kAllPageFamilies) {
    if (name == PageFamilyName(f)) {
      *family = f;
      return true;
    }
  }
  return false;
}

std::string MakeCorpusPage(PageFamily family, std::size_t bytes, uint64_t seed) {
  // Each family draws from its own stream, so a seed gives unrelated pages.
  Random random(seed * 4 + static_cast<uint64_t>(family));
  std::string page = PageStart(PageFamilyName(family));
  page.reserve(bytes + 1024);
  const std::size_t until = bytes > page.size() + kPageEndLength ? bytes - kPageEndLength : 0;
  switch (family) {
    case PageFamily::kPortal:
      MakePortal(page, random, until);
      break;
    case PageFamily::kDocument:
      MakeDocument(page, random, until);
      break;
    case PageFamily::kPlain:
      MakePlain(page, random, until);
      break;
    case PageFamily::kApplets:
      MakeApplets(page, random, until);
      break;
  }
  page += kPageEnd;
  return page;
}

std::vector<CorpusPage> SmallCorpus(std::size_t max_bytes) {
  std::vector<CorpusPage> corpus;
  for (PageFamily family : kAllPageFamilies) {
    for (std::size_t bytes = 10 * 1024; bytes <= max_bytes; bytes *= 4) {
      for (uint64_t seed : {1u, 2u}) corpus.push_back({family, bytes, seed});
    }
  }
  return corpus;
}

}  // namespace velquor::bench
