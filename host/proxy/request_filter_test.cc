// The filter lists in the proxy: a request's type and source from what the
// browser says, and element hiding added to a page that comes in pieces.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proxy/element_hiding.h"
#include "proxy/request_filter.h"

namespace velquor::host::proxy {
namespace {

using lists::RequestType;

TEST(RequestFilterTest, TypeAndSourceFromWhatTheBrowserSays) {
  struct Case {
    const char *dest, *mode, *accept, *path;
    RequestType type;
  } cases[] = {
      {"document", "navigate", "text/html", "/", RequestType::kDocument},
      {"iframe", "navigate", "text/html", "/f", RequestType::kSubdocument},
      {"script", "no-cors", "*/*", "/a.png", RequestType::kScript},
      {"Image", "no-cors", "", "/x", RequestType::kImage},
      {"empty", "cors", "*/*", "/api", RequestType::kXmlHttpRequest},
      {"empty", "same-origin", "", "/api", RequestType::kXmlHttpRequest},
      {"empty", "no-cors", "", "/beacon", RequestType::kOther},
      {"video", "no-cors", "", "/v", RequestType::kMedia},
      {"sharedworker", "same-origin", "", "/w", RequestType::kScript},
      // No Sec-Fetch fields: Accept, then the extension.
      {"", "", "text/html,application/xhtml+xml", "/", RequestType::kDocument},
      {"", "", "image/avif,image/webp,*/*", "/pixel", RequestType::kImage},
      {"", "", "text/css,*/*;q=0.1", "/s", RequestType::kStylesheet},
      {"", "", "*/*", "/lib/ad.JS?v=2", RequestType::kScript},
      {"", "", "*/*", "/f.woff2", RequestType::kFont},
      {"", "", "*/*", "/dir.js/file", RequestType::kOther},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RequestTypeOf(c.dest, c.mode, c.accept, c.path, false), c.type)
        << c.dest << " " << c.accept << " " << c.path;
  }
  EXPECT_EQ(RequestTypeOf("", "", "", "/", true), RequestType::kWebsocket);

  const std::string url = "http://a.example:8080/p?q";
  struct Source {
    const char *referer, *origin, *site, *source;
  } sources[] = {
      {"http://page.example/x", "http://o.example", "cross-site", "http://page.example/x"},
      {"", "http://o.example", "", "http://o.example"},
      {"", "null", "same-origin", "http://a.example:8080/"},
      {"", "", "same-site", "http://a.example:8080/"},
      {"", "", "cross-site", ""},
      {"", "", "none", ""},
      {"", "", "", ""},
  };
  for (const Source& s : sources) {
    EXPECT_EQ(SourceOf(s.referer, s.origin, s.site, url), s.source) << s.site;
  }
  EXPECT_EQ(HostOfUrl("https://user@WWW.Example.com:8443/x"), "www.example.com");
  EXPECT_EQ(HostOfUrl("http://[::1]:80/"), "::1");
  EXPECT_EQ(RequestUrl({"h.example", "443", "/p"}, true), "https://h.example/p");
  EXPECT_EQ(RequestUrl({"h.example", "8080", "/p"}, false), "http://h.example:8080/p");
}

TEST(RequestFilterTest, BlockedAnswersAreNeverCached) {
  const auto engine = lists::Engine::Build({{"ads", "||ads.example^\n"}});
  const lists::Decision d = engine->Match("http://ads.example/x", "", RequestType::kOther);
  ASSERT_EQ(d.kind, lists::Decision::kBlock);
  const std::string gif = BlockedResponse(RequestType::kImage, d, "u", "ads.example", false, true);
  EXPECT_EQ(gif.rfind("HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nContent-Length: 43\r\n", 0),
            0u);
  const std::string page = BlockedResponse(RequestType::kDocument, d, "http://ads.example/x",
                                           "ads.example", false, false);
  for (const char* part :
       {"403 Forbidden", "Cache-Control: no-store", "Connection: close", "||ads.example^",
        "<b>ads</b>, line 1", "velquor exempt add ads.example"}) {
    EXPECT_NE(page.find(part), std::string::npos) << part;
  }
  const std::string other = BlockedResponse(RequestType::kScript, d, "u", "h", false, true);
  EXPECT_EQ(other,
            "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nCache-Control: no-store\r\n\r\n");
}

// The styles added to a page split in two at every byte: the page's own
// bytes stay as they were, in order, the site's style lands after <head>
// when that came in the first piece, and the generic rules go in once, for
// classes and ids the page has, before </body> when that is whole in a
// piece, never inside a script.
TEST(ElementHidingTest, StylesGoInWhereverThePageIsCut) {
  const auto engine =
      lists::Engine::Build({{"hide",
                             "site.example##.local\n##.banner\n###top-ad\n##.absent\n##.inscript\n"
                             "##div[data-ad]\nsite.example#@#.banner2\n##.banner2\n"}});
  const std::string page =
      "<!DOCTYPE html><html><head><title>x</body></title></head>"
      "<body><div class='ad banner'>a</div><p id=top-ad class=\"banner2\">b</p>"
      "<script>var s = '<div class=inscript></body>';</script><!-- <i class=absent> -->"
      "</body></html>";
  const std::string local = ".local{display:none!important}\n";
  for (std::size_t cut = 0; cut <= page.size(); ++cut) {
    auto hiding = ElementHiding::Start(engine, "http://www.site.example/");
    ASSERT_TRUE(hiding);
    std::string first = page.substr(0, cut), second = page.substr(cut);
    hiding->Pass(&first, false);
    hiding->Pass(&second, true);
    const std::string out = first + second;
    std::string bare = out;
    for (std::size_t at; (at = bare.find("<style>")) != std::string::npos;) {
      bare.erase(at, bare.find("</style>", at) + 8 - at);
    }
    ASSERT_EQ(bare, page) << cut;
    // Never ahead of the doctype, and right after <head> when that came whole.
    const std::size_t early = out.find("<style>" + local);
    EXPECT_GT(early, page.find('>')) << cut;
    EXPECT_LT(early, out.find("<body>")) << cut;
    if (cut == 0 || cut >= page.find("<head>") + 6) {
      EXPECT_EQ(early, page.find("<head>") + 6) << cut;
    }
    EXPECT_NE(out.find("div[data-ad]{"), std::string::npos) << cut;
    for (const char* once : {".banner{", "#top-ad{"}) {
      const std::size_t at = out.find(once);
      EXPECT_NE(at, std::string::npos) << once << " " << cut;
      EXPECT_EQ(out.find(once, at + 1), std::string::npos) << once << " " << cut;
      if (cut <= page.rfind("</body>") || cut >= page.rfind("</body>") + 7) {
        EXPECT_LT(at, out.rfind("</body>")) << once << " " << cut;
      }
    }
    for (const char* never : {".absent{", ".inscript{", ".banner2{"}) {
      EXPECT_EQ(out.find(never), std::string::npos) << never << " " << cut;
    }
  }
  // Exempted from hiding, or nothing to hide: no work at all.
  EXPECT_FALSE(ElementHiding::Start(
      lists::Engine::Build({{"x", "##.a\n@@||site.example^$elemhide\n"}}), "http://site.example/"));
  EXPECT_FALSE(ElementHiding::Start(lists::Engine::Build({{"x", "||ads^\n"}}), "http://a.b/"));
}

}  // namespace
}  // namespace velquor::host::proxy
