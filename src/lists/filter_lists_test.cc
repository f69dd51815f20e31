#include <cstdlib>
#include <fstream>
#include <sstream>

#include "gtest/gtest.h"
#include "lists/filter_lists.h"

namespace velquor::lists {
namespace {

constexpr char kList[] =
    "[Adblock Plus 2.0]\n"
    "! Title: Test list\n"
    "! Expires: 2 days (update frequency)\n"
    "||ads.example^\n"
    "/banner/*/img^\n"
    "|https://start.example/x|\n"
    "-ad-slot.\n"
    "||track.example^$script,third-party\n"
    "||cdn.example/ads/$image,domain=news.example|~sports.news.example\n"
    "||cdn.example/1p/$~third-party\n"
    "||cdn.example/notimg/$~image\n"
    "/Case/$match-case\n"
    "||imp.example^$important\n"
    "@@||imp.example/ok$script\n"
    "@@||ads.example/allowed.js$script\n"
    "||popup.example^$popup\n"
    "||whole.example^$document\n"
    "/\\/[0-9a-f]{8}\\/inv\\.js/$script\n"
    "||shop.*/promo/$image,domain=shop.*\n"
    "||sitewide.example^\n"
    "@@||trusted.example^$document\n"
    "@@||nohide.example^$elemhide\n"
    "@@||nogeneric.example^$generichide\n"
    "##.ad-box\n"
    "###top-ad\n"
    "##div[data-ad]\n"
    "##.gone\n"
    "news.example,~sports.news.example##.news-ad\n"
    "shop.*##.shop-ad\n"
    "news.example#@#.ad-box\n"
    "#@#.gone\n"
    "~skip.example##.skip-ad\n";

class EngineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { engine_ = Engine::Build({{"test", kList}}, &summaries_); }
  static std::shared_ptr<const Engine> engine_;
  static std::vector<ListSummary> summaries_;
};
std::shared_ptr<const Engine> EngineTest::engine_;
std::vector<ListSummary> EngineTest::summaries_;

TEST_F(EngineTest, DecidesRequests) {
  struct Case {
    const char* url;
    const char* source;
    const char* type;
    const char* expect;  // "none", or the kind and the rule
  };
  const Case cases[] = {
      {"https://ads.example/a.js", "https://site.example/", "script", "block ||ads.example^"},
      {"https://sub.ads.example/a.js", "", "script", "block ||ads.example^"},
      {"https://badads.example/a.js", "", "script", "none"},
      {"https://ads.example.org/a.js", "", "script", "none"},
      {"https://ads.example/allowed.js", "", "script", "allow @@||ads.example/allowed.js$script"},
      {"https://ads.example/allowed.js", "", "image", "block ||ads.example^"},
      {"http://x.example/banner/big/img?x=1", "", "image", "block /banner/*/img^"},
      {"http://x.example/banner/big/img", "", "image", "block /banner/*/img^"},
      {"http://x.example/banner/big/img.png", "", "image", "none"},
      {"http://x.example/banner/img", "", "image", "none"},
      {"https://start.example/x", "", "other", "block |https://start.example/x|"},
      {"https://start.example/xy", "", "other", "none"},
      {"https://o.example/p-ad-slot.gif", "", "image", "block -ad-slot."},
      // third-party: on registrable domains; no source counts as third-party
      {"https://track.example/t.js", "https://www.news.example/", "script",
       "block ||track.example^$script,third-party"},
      {"https://track.example/t.js", "https://www.track.example/", "script", "none"},
      {"https://track.example/t.js", "", "script", "block ||track.example^$script,third-party"},
      {"https://track.example/t.gif", "https://news.example/", "image", "none"},
      {"https://a.track.co.uk/t.js", "https://b.track.co.uk/", "script", "none"},
      {"https://cdn.example/1p/x", "https://www.cdn.example/", "other",
       "block ||cdn.example/1p/$~third-party"},
      {"https://cdn.example/1p/x", "https://other.example/", "other", "none"},
      {"https://cdn.example/notimg/x", "", "image", "none"},
      {"https://cdn.example/notimg/x", "", "font", "block ||cdn.example/notimg/$~image"},
      // domain=: the page's site, most specific entry wins
      {"https://cdn.example/ads/1.png", "https://news.example/", "image",
       "block ||cdn.example/ads/$image,domain=news.example|~sports.news.example"},
      {"https://cdn.example/ads/1.png", "https://www.news.example/a", "image",
       "block ||cdn.example/ads/$image,domain=news.example|~sports.news.example"},
      {"https://cdn.example/ads/1.png", "https://sports.news.example/", "image", "none"},
      {"https://cdn.example/ads/1.png", "https://other.example/", "image", "none"},
      {"https://cdn.example/ads/1.png", "", "image", "none"},
      {"https://shop.de/promo/a.png", "https://www.shop.de/", "image",
       "block ||shop.*/promo/$image,domain=shop.*"},
      {"https://shop.de/promo/a.png", "https://www.other.de/", "image", "none"},
      {"https://m.example/Case/1", "", "other", "block /Case/$match-case"},
      {"https://m.example/case/1", "", "other", "none"},
      // important beats exceptions
      {"https://imp.example/ok.js", "", "script", "block ||imp.example^$important"},
      {"https://popup.example/", "", "document", "none"},
      {"https://whole.example/", "", "document", "block ||whole.example^$document"},
      {"https://whole.example/a.js", "", "script", "none"},
      {"https://r.example/0123abcd/inv.js", "", "script",
       "block /\\/[0-9a-f]{8}\\/inv\\.js/$script"},
      {"https://r.example/0123abcx/inv.js", "", "script", "none"},
      // a document exception allows everything its pages ask for
      {"https://sitewide.example/x.js", "https://trusted.example/page", "script",
       "allow @@||trusted.example^$document"},
      {"https://sitewide.example/x.js", "https://untrusted.example/page", "script",
       "block ||sitewide.example^"},
      {"not a url", "", "other", "none"},
      {"", "", "other", "none"},
  };
  for (const Case& c : cases) {
    RequestType type;
    ASSERT_TRUE(ParseRequestType(c.type, &type)) << c.type;
    const Decision d = engine_->Match(c.url, c.source, type);
    std::string got = d.kind == Decision::kNone    ? "none"
                      : d.kind == Decision::kBlock ? "block " + std::string(d.rule)
                                                   : "allow " + std::string(d.rule);
    EXPECT_EQ(got, c.expect) << c.url << " from " << c.source << " as " << c.type;
    if (d.kind != Decision::kNone) {
      EXPECT_EQ(d.list, "test");
    }
  }
  EXPECT_EQ(engine_->Match("https://ads.example/", "", RequestType::kOther).line, 4);
}

TEST_F(EngineTest, BlocksWholeHostsOnlyWhenNoExceptionCouldAllow) {
  EXPECT_TRUE(engine_->BlocksWholeHost("sitewide.example"));
  EXPECT_TRUE(engine_->BlocksWholeHost("WWW.Sitewide.Example."));
  EXPECT_TRUE(engine_->BlocksWholeHost("imp.example"));  // important
  EXPECT_FALSE(engine_->BlocksWholeHost("ads.example"));  // an exception allows a path
  EXPECT_FALSE(engine_->BlocksWholeHost("track.example"));  // third-party only
  EXPECT_FALSE(engine_->BlocksWholeHost("whole.example"));  // documents only
  EXPECT_FALSE(engine_->BlocksWholeHost("other.example"));
  EXPECT_FALSE(Engine::Build({{"l", "||a.example^\n@@/x/*$script\n"}})->BlocksWholeHost(
      "a.example"));
}

TEST_F(EngineTest, HidesElements) {
  struct Case {
    const char* page;
    std::vector<std::string> classes, ids;
    const char* expect;  // selectors, one per line
  };
  const Case cases[] = {
      {"https://plain.example/", {"ad-box", "gone", "x"}, {"top-ad"},
       "div[data-ad]\n.ad-box\n#top-ad\n"},
      {"https://plain.example/", {"skip-ad"}, {}, "div[data-ad]\n.skip-ad\n"},
      {"https://www.skip.example/", {"skip-ad"}, {}, "div[data-ad]\n"},
      {"https://news.example/", {"ad-box"}, {}, ".news-ad\ndiv[data-ad]\n"},
      {"https://sports.news.example/", {}, {}, "div[data-ad]\n"},
      {"https://www.shop.co.uk/", {}, {}, ".shop-ad\ndiv[data-ad]\n"},
      {"https://nogeneric.example/", {"ad-box"}, {"top-ad"}, ""},
      {"https://nohide.example/", {"ad-box"}, {}, ""},
      {"https://trusted.example/", {"ad-box"}, {}, ""},
  };
  for (const Case& c : cases) {
    const PageHiding h = engine_->Hiding(c.page);
    std::vector<std::string_view> all = h.selectors;
    for (std::string_view s : engine_->GenericSelectors(h, c.classes, c.ids)) all.push_back(s);
    std::string got;
    for (std::string_view s : all) got += std::string(s) + "\n";
    EXPECT_EQ(got, c.expect) << c.page;
  }
  EXPECT_EQ(Engine::StyleText({".a", "#b"}),
            ".a{display:none!important}\n#b{display:none!important}\n");
}

TEST(ListCheck, SortsEveryKindOfLine) {
  const std::string text = std::string(
                               "[Adblock Plus 2.0]\r\n"
                               "! Expires: 12 hours\r\n"
                               "\r\n"
                               "||a.example^\r\n"
                               "##.ad\r\n"
                               "example.com##+js(aopr, x)\n"
                               "example.com#?#div:has-text(Ad)\n"
                               "example.com#$#abort-on-property-read x\n"
                               "##div:xpath(//a)\n"
                               "##.a:upward(2)\n"
                               "##.a:remove()\n"
                               "||b.example^$redirect=noop.js\n"
                               "||b.example^$csp=script-src 'none'\n"
                               "||b.example^$removeparam=utm\n"
                               "||b.example^$nonsense\n"
                               "/a(b/\n"
                               "/(a+)+$/\n") +
                           std::string(kMaxLineBytes + 1, 'x') + "\n" + std::string("zero\0byte\n", 10) +
                           "##a{color:red}\n" + "##</style><script>\n" +
                           "||c.example^$generichide\n";
  const ListSummary s = CheckList("t", text);
  EXPECT_TRUE(s.has_header);
  EXPECT_EQ(s.expires_hours, 12);
  EXPECT_EQ(s.network, 1);
  EXPECT_EQ(s.hiding, 1);
  EXPECT_EQ(s.comments, 2);
  std::string got;
  for (const LineReport& r : s.problems) {
    got += std::to_string(r.line) + (r.kind == LineKind::kBad ? " bad: " : " skipped: ") +
           r.reason + "\n";
  }
  EXPECT_EQ(got,
            "6 skipped: scriptlet (##+js)\n"
            "7 skipped: procedural element hiding (#?#)\n"
            "8 skipped: style injection (#$#)\n"
            "9 skipped: procedural operator :xpath\n"
            "10 skipped: procedural operator :upward\n"
            "11 skipped: procedural operator :remove\n"
            "12 skipped: unsupported option redirect=noop.js\n"
            "13 skipped: unsupported option csp=script-src 'none'\n"
            "14 skipped: unsupported option removeparam=utm\n"
            "15 skipped: unknown option nonsense\n"
            "16 bad: bad regular expression: " +
                s.problems[10].reason.substr(std::string("bad regular expression: ").size()) +
                "\n"
                "17 bad: bad regular expression: a repeated group repeats again (too slow to "
                "match)\n"
                "18 bad: line longer than 32768 bytes\n"
                "19 bad: zero byte in the line\n"
                "20 skipped: style rule (selector {declarations})\n"
                "21 bad: selector with a brace or a closing tag\n"
                "22 skipped: option generichide only works on exceptions\n");
  EXPECT_EQ(s.skipped, 12);
  EXPECT_EQ(s.bad, 5);
  EXPECT_FALSE(s.LooksLikeAList());  // more broken than used
  EXPECT_TRUE(CheckList("t", "||a.example^\n").LooksLikeAList());
  EXPECT_FALSE(CheckList("t", "<!DOCTYPE html>\n<html><body>##x</body></html>\n").LooksLikeAList());
  EXPECT_FALSE(CheckList("t", "! only comments\n").LooksLikeAList());
}

// The published lists, when the tree sits beside them: every line is read
// without a crash, and the counts stay sane.
TEST(ListCheck, ReadsThePublishedLists) {
  for (const char* name : {"easylist.txt", "easyprivacy.txt"}) {
    const char* dir = std::getenv("VELQUOR_LISTS_DIR");
    std::ifstream in((dir != nullptr ? std::string(dir) : std::string(VELQUOR_SOURCE_DIR) + "/../shared/lists") + "/" + name,
                     std::ios::binary);
    if (!in) GTEST_SKIP() << name << " is not beside the source tree";
    std::stringstream text;
    text << in.rdbuf();
    std::vector<ListSummary> s;
    const auto engine = Engine::Build({{name, text.str()}}, &s);
    EXPECT_GT(s[0].used(), 10000) << name;
    EXPECT_GT(s[0].expires_hours, 0) << name;
    EXPECT_EQ(s[0].bad, 0) << name;
    EXPECT_TRUE(s[0].LooksLikeAList());
  }
}

}  // namespace
}  // namespace velquor::lists
