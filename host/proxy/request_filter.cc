#include "proxy/request_filter.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "proxy/error_pages.h"
#include "proxy/exceptions.h"

namespace velquor::host::proxy {

namespace {

using lists::RequestType;

struct DestType {
  std::string_view dest;
  RequestType type;
};

constexpr DestType kDestTypes[] = {
    {"document", RequestType::kDocument},   {"iframe", RequestType::kSubdocument},
    {"frame", RequestType::kSubdocument},   {"fencedframe", RequestType::kSubdocument},
    {"script", RequestType::kScript},       {"worker", RequestType::kScript},
    {"sharedworker", RequestType::kScript}, {"serviceworker", RequestType::kScript},
    {"audioworklet", RequestType::kScript}, {"paintworklet", RequestType::kScript},
    {"style", RequestType::kStylesheet},    {"xslt", RequestType::kStylesheet},
    {"image", RequestType::kImage},         {"font", RequestType::kFont},
    {"audio", RequestType::kMedia},         {"video", RequestType::kMedia},
    {"track", RequestType::kMedia},         {"object", RequestType::kObject},
    {"embed", RequestType::kObject},        {"websocket", RequestType::kWebsocket},
};

struct ExtensionType {
  std::string_view extension;
  RequestType type;
};

constexpr ExtensionType kExtensionTypes[] = {
    {"js", RequestType::kScript},  {"mjs", RequestType::kScript}, {"css", RequestType::kStylesheet},
    {"png", RequestType::kImage},  {"jpg", RequestType::kImage},  {"jpeg", RequestType::kImage},
    {"gif", RequestType::kImage},  {"webp", RequestType::kImage}, {"avif", RequestType::kImage},
    {"svg", RequestType::kImage},  {"ico", RequestType::kImage},  {"bmp", RequestType::kImage},
    {"woff", RequestType::kFont},  {"woff2", RequestType::kFont}, {"ttf", RequestType::kFont},
    {"otf", RequestType::kFont},   {"eot", RequestType::kFont},   {"mp4", RequestType::kMedia},
    {"webm", RequestType::kMedia}, {"mp3", RequestType::kMedia},  {"ogg", RequestType::kMedia},
    {"m4a", RequestType::kMedia},  {"wav", RequestType::kMedia},  {"m3u8", RequestType::kMedia},
    {"swf", RequestType::kObject},
};

// The extension of the last segment of `path`, before any query, lower case.
std::string ExtensionOf(std::string_view path) {
  path = path.substr(0, path.find_first_of("?#"));
  const std::size_t slash = path.rfind('/');
  if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
  const std::size_t dot = path.rfind('.');
  if (dot == std::string_view::npos) return "";
  return Lower(path.substr(dot + 1));
}

// The origin ("scheme://authority/") of an absolute URL; "" without one.
std::string OriginOf(std::string_view url) {
  const std::size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return "";
  const std::size_t end = url.find_first_of("/?#", scheme + 3);
  return std::string(url.substr(0, end)) + "/";
}

}  // namespace

RequestType RequestTypeOf(std::string_view dest_in, std::string_view mode_in,
                          std::string_view accept_in, std::string_view path, bool websocket) {
  if (websocket) return RequestType::kWebsocket;
  const std::string dest = Lower(Trim(dest_in));
  if (!dest.empty()) {
    for (const DestType& d : kDestTypes) {
      if (d.dest == dest) return d.type;
    }
    const std::string mode = Lower(Trim(mode_in));
    if (dest == "empty" && (mode == "cors" || mode == "same-origin")) {
      return RequestType::kXmlHttpRequest;
    }
    if (dest == "empty" && mode == "websocket") return RequestType::kWebsocket;
    return RequestType::kOther;
  }
  // A browser that does not say: what it accepts first, then the name.
  const std::string accept = Lower(accept_in);
  if (accept.find("text/html") != std::string::npos) return RequestType::kDocument;
  if (accept.rfind("image/", 0) == 0) return RequestType::kImage;
  if (accept.rfind("text/css", 0) == 0) return RequestType::kStylesheet;
  const std::string extension = ExtensionOf(path);
  for (const ExtensionType& e : kExtensionTypes) {
    if (e.extension == extension) return e.type;
  }
  return RequestType::kOther;
}

std::string SourceOf(std::string_view referer, std::string_view origin, std::string_view fetch_site,
                     std::string_view url) {
  const std::string r = Trim(referer);
  if (!r.empty()) return r;
  const std::string o = Trim(origin);
  if (!o.empty() && o != "null") return o;
  const std::string site = Lower(Trim(fetch_site));
  if (site == "same-origin" || site == "same-site") return OriginOf(url);
  return "";
}

std::string HostOfUrl(std::string_view url) {
  const std::size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return "";
  std::string_view authority = url.substr(scheme + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  const std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority.remove_prefix(at + 1);
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return "";
    return Lower(authority.substr(1, close - 1));
  }
  return Lower(authority.substr(0, authority.find(':')));
}

std::string RequestUrl(const Target& t, bool tls) {
  const char* own_port = tls ? "443" : "80";
  std::string url = tls ? "https://" : "http://";
  url += t.host;
  if (!t.port.empty() && t.port != own_port) url += ":" + t.port;
  url += t.path.empty() ? "/" : t.path;
  return url;
}

std::string BlockedResponse(RequestType type, const lists::Decision& decision,
                            const std::string& url, const std::string& host, bool head_only,
                            bool keep_alive) {
  // The smallest transparent GIF: one pixel, colour 0 transparent.
  static constexpr unsigned char kGif[] = {
      'G',  'I',  'F',  '8',  '9',  'a',  1,    0,    1,    0,    0x80, 0,    0,    0,    0,
      0,    0xFF, 0xFF, 0xFF, 0x21, 0xF9, 0x04, 0x01, 0x00, 0x00, 0x00, 0x00, 0x2C, 0x00, 0x00,
      0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3B};
  std::string status = "403 Forbidden";
  std::string content_type;
  std::string body;
  if (type == RequestType::kImage) {
    status = "200 OK";
    content_type = "image/gif";
    body.assign(reinterpret_cast<const char*>(kGif), sizeof kGif);
  } else if (type == RequestType::kDocument) {
    content_type = "text/html; charset=utf-8";
    const std::string rule(decision.rule);
    const std::string list(decision.list);
    body = "<!DOCTYPE html>\n<html><head><title>Blocked: " + HtmlEscape(host) +
           "</title></head><body>\n<h1>Blocked by a filter list</h1>\n<p>velquor proxy did not "
           "fetch <code>" +
           HtmlEscape(url) + "</code>.</p>\n<p>Rule <code>" + HtmlEscape(rule) +
           "</code> of the list <b>" + HtmlEscape(list) + "</b>, line " +
           std::to_string(decision.line) +
           ".</p>\n<p>To let everything of this site through unfiltered, run:</p>\n"
           "<pre>velquor exempt add " +
           HtmlEscape(host) + "</pre>\n<hr><p>velquor proxy</p></body></html>\n";
  }
  std::string r = "HTTP/1.1 " + status + "\r\n";
  if (!content_type.empty()) r += "Content-Type: " + content_type + "\r\n";
  r += "Content-Length: " + std::to_string(body.size()) + "\r\nCache-Control: no-store\r\n";
  if (!keep_alive) r += "Connection: close\r\n";
  r += "\r\n";
  if (!head_only) r += body;
  return r;
}

std::string JudgeRequest(const lists::Engine& engine, const http::fields& fields,
                         const std::string& url, const std::string& host,
                         const std::vector<std::string>& exceptions, bool head_only,
                         bool keep_alive) {
  const std::string path = url.substr(std::min(url.find('/', url.find("://") + 3), url.size()));
  bool websocket = false;
  for (const std::string& t : Tokens(SV(fields[http::field::upgrade]))) {
    if (t == "websocket") websocket = true;
  }
  const RequestType type = RequestTypeOf(SV(fields["Sec-Fetch-Dest"]), SV(fields["Sec-Fetch-Mode"]),
                                         SV(fields[http::field::accept]), path, websocket);
  const std::string source =
      SourceOf(SV(fields[http::field::referer]), SV(fields[http::field::origin]),
               SV(fields["Sec-Fetch-Site"]), url);
  const lists::Decision decision = engine.Match(url, source, type);
  if (decision.kind != lists::Decision::kBlock) return "";
  if (!source.empty() && IsExempt(exceptions, HostOfUrl(source))) return "";
  return BlockedResponse(type, decision, url, host, head_only, keep_alive);
}

std::string RefusedTunnelResponse() {
  return "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nCache-Control: no-store\r\n"
         "Connection: close\r\n\r\n";
}

std::vector<FilterLists::Seen> FilterLists::Scan() const {
  namespace fs = std::filesystem;
  std::vector<Seen> seen;
  std::error_code ec;
  for (fs::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path& p = it->path();
    // Only NAME.txt: a copy being written (NAME.txt.new) is not a list yet.
    if (p.extension() != ".txt" || !it->is_regular_file(ec)) continue;
    Seen s;
    s.name = p.stem().string();
    s.size = it->file_size(ec);
    s.mtime = static_cast<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                       it->last_write_time(ec).time_since_epoch())
                                       .count());
    seen.push_back(std::move(s));
  }
  std::sort(seen.begin(), seen.end(), [](const Seen& a, const Seen& b) { return a.name < b.name; });
  return seen;
}

void FilterLists::Rebuild(std::vector<Seen> seen) {
  std::vector<lists::ListText> texts;
  for (const Seen& s : seen) {
    const std::string path = dir_ + "/" + s.name + ".txt";
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in || in.bad()) {
      std::fprintf(stderr, "velquor: %s: %s: cannot be read; the list is left out\n", who_,
                   path.c_str());
      continue;
    }
    texts.push_back({s.name, text.str()});
  }
  std::vector<lists::ListSummary> summaries;
  std::shared_ptr<const lists::Engine> engine;
  if (!texts.empty()) engine = lists::Engine::Build(std::move(texts), &summaries);
  if (engine && engine->network_rules() == 0 && engine->hiding_rules() == 0) engine.reset();
  int rules = 0;
  for (const lists::ListSummary& s : summaries) rules += s.used();
  std::fprintf(stderr, "velquor: %s: filter lists: %d rules from %zu lists\n", who_, rules,
               summaries.size());
  std::lock_guard<std::mutex> lock(mutex_);
  engine_ = std::move(engine);
  summaries_ = std::move(summaries);
  seen_ = std::move(seen);
}

FilterLists::~FilterLists() {
  if (builder_.joinable()) builder_.join();
}

void FilterLists::Load() {
  if (dir_.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    checked_ = std::chrono::steady_clock::now();
  }
  Rebuild(Scan());
}

std::shared_ptr<const lists::Engine> FilterLists::Current() {
  if (dir_.empty()) return nullptr;
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (now - checked_ < kRecheck || building_) return engine_;
    checked_ = now;
  }
  std::vector<Seen> seen = Scan();
  std::lock_guard<std::mutex> lock(mutex_);
  if (seen != seen_ && !building_.exchange(true)) {
    // The last builder has finished (building_ was false): joining is quick.
    if (builder_.joinable()) builder_.join();
    builder_ = std::thread([this, seen = std::move(seen)]() mutable {
      Rebuild(std::move(seen));
      building_ = false;
    });
  }
  return engine_;
}

std::string FilterLists::Identity() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string id;
  for (const Seen& s : seen_) {
    id += s.name + '/' + std::to_string(s.size) + '/' + std::to_string(s.mtime) + '\n';
  }
  return id;
}

std::string FilterLists::StatusHtml() {
  std::vector<lists::ListSummary> summaries;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    summaries = summaries_;
  }
  std::string html = "<h2>Filter lists</h2>\n";
  if (summaries.empty()) {
    html += "<p>none</p>\n";
  } else {
    html += "<table>\n<tr><th>List</th><th>Rules</th><th>Skipped</th><th>Bad</th></tr>\n";
    for (const lists::ListSummary& s : summaries) {
      html += "<tr><td>" + HtmlEscape(s.name) + "</td><td>" + std::to_string(s.used()) +
              "</td><td>" + std::to_string(s.skipped) + "</td><td>" + std::to_string(s.bad) +
              "</td></tr>\n";
    }
    html += "</table>\n";
  }
  html += "<p>Requests blocked: " + std::to_string(blocked_.load()) + "</p>\n";
  return html;
}

}  // namespace velquor::host::proxy
