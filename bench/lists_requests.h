// Requests for the filter-list benchmark and the comparison with another
// engine. There is no recorded traffic of real pages in the tree, so the set
// is synthesized, deterministically, from what pages ask for: each page (a
// site named in the lists' own domain options) loads its own styles,
// scripts, images, fonts and API calls, common shared CDNs, hosts that the
// lists name (advertising and tracking servers) and paths that the lists'
// path rules describe. Every request has its page as source.
#ifndef VELQUOR_BENCH_LISTS_REQUESTS_H_
#define VELQUOR_BENCH_LISTS_REQUESTS_H_

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace velquor::bench {

struct ListRequest {
  std::string url, source, type;
};

// The folder of easylist.txt and easyprivacy.txt: $VELQUOR_LISTS_DIR, else
// the shared folder beside the source tree.
inline std::string ListsDir(const std::string& source_dir) {
  const char* dir = std::getenv("VELQUOR_LISTS_DIR");
  return dir != nullptr ? dir : source_dir + "/../shared/lists";
}

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::vector<ListRequest> MakeListRequests(const std::vector<std::string>& texts,
                                                 std::size_t pages = 600, unsigned seed = 16) {
  std::set<std::string> sites_set, hosts_set;
  std::vector<std::string> paths;
  auto host_char = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
  };
  for (const std::string& text : texts) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty() || line[0] == '!' || line[0] == '[' || line.find('#') != std::string::npos) {
        continue;
      }
      const std::size_t d = line.find("domain=");
      if (d != std::string::npos) {
        std::string list = line.substr(d + 7);
        list = list.substr(0, list.find(','));
        std::istringstream names(list);
        std::string name;
        while (std::getline(names, name, '|')) {
          if (!name.empty() && name[0] != '~' && name.find('*') == std::string::npos &&
              name.find('.') != std::string::npos) {
            sites_set.insert(name);
          }
        }
      }
      if (line.rfind("||", 0) == 0) {
        std::size_t i = 2;
        while (i < line.size() && host_char(line[i])) ++i;
        const bool whole =
            i < line.size() && line[i] == '^' && (i + 1 == line.size() || line[i + 1] == '$');
        if (whole && line.find('.') < i) hosts_set.insert(line.substr(2, i - 2));
      } else if (line[0] == '/' && line.back() != '/' && line.find('$') == std::string::npos &&
                 line.size() > 4) {
        std::string p;
        for (char c : line)
          p += c == '*' ? std::string("x7") : c == '^' ? std::string("/") : std::string(1, c);
        paths.push_back(p);
      }
    }
  }
  std::vector<std::string> sites(sites_set.begin(), sites_set.end());
  std::vector<std::string> hosts(hosts_set.begin(), hosts_set.end());
  const std::vector<std::string> cdns = {"fonts.googleapis.com",
                                         "fonts.gstatic.com",
                                         "cdnjs.cloudflare.com",
                                         "cdn.jsdelivr.net",
                                         "ajax.googleapis.com",
                                         "code.jquery.com",
                                         "unpkg.com",
                                         "i.ytimg.com",
                                         "upload.wikimedia.org",
                                         "images.unsplash.com",
                                         "use.typekit.net",
                                         "static.cloudflareinsights.com"};
  const std::vector<std::pair<std::string, std::string>> own = {
      {"/assets/css/main.%.css", "stylesheet"},
      {"/static/js/app.%.js", "script"},
      {"/static/js/vendor.%.js", "script"},
      {"/images/hero-%.jpg", "image"},
      {"/wp-content/uploads/2026/07/photo-%.webp", "image"},
      {"/api/v2/articles?page=%&limit=20", "xmlhttprequest"},
      {"/fonts/inter-%.woff2", "font"},
      {"/media/clip-%.mp4", "media"},
      {"/favicon.ico", "image"},
      {"/comments/embed/%", "subdocument"},
      {"/graphql?op=Feed&v=%", "xmlhttprequest"},
      {"/img/logo.svg", "image"}};
  const std::vector<std::string> ad_types = {"script", "image",  "subdocument", "xmlhttprequest",
                                             "ping",   "script", "image"};
  std::mt19937 rng(seed);
  auto pick = [&](const auto& v) -> const auto& { return v[rng() % v.size()]; };
  auto fill = [&](std::string s) {
    for (std::size_t at = s.find('%'); at != std::string::npos; at = s.find('%', at)) {
      s.replace(at, 1, std::to_string(rng() % 100000));
    }
    return s;
  };
  std::vector<ListRequest> out;
  if (sites.empty() || hosts.empty()) return out;
  for (std::size_t p = 0; p < pages; ++p) {
    const std::string site = pick(sites);
    const std::string page = "https://www." + site + "/" + fill("news/story-%.html");
    for (int i = 0; i < 18; ++i) {
      const auto& [path, type] = pick(own);
      const std::string host = i % 3 == 0 ? "cdn." + site : "www." + site;
      out.push_back({"https://" + host + fill(path), page, type});
    }
    for (int i = 0; i < 5; ++i) {
      const auto& [path, type] = pick(own);
      out.push_back({"https://" + pick(cdns) + fill(path), page, type});
    }
    for (int i = 0; i < 8; ++i) {
      static const std::vector<std::string> ad_paths = {
          "/tag/%/pixel.js?cb=%", "/js/loader.js", "/v1/collect?tid=%&cid=%",
          "/serve/%.html",        "/i/%.gif",      "/sdk/v3/client.min.js",
          "/event?e=view&id=%"};
      out.push_back({"https://" + pick(hosts) + fill(pick(ad_paths)), page, pick(ad_types)});
    }
    for (int i = 0; i < 2 && !paths.empty(); ++i) {
      out.push_back({"https://www." + site + pick(paths) + fill("?r=%"), page, pick(ad_types)});
    }
  }
  return out;
}

}  // namespace velquor::bench

#endif  // VELQUOR_BENCH_LISTS_REQUESTS_H_
