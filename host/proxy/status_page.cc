#include "proxy/status_page.h"

#include <vector>

#include "proxy/error_pages.h"
#include "proxy/exceptions.h"
#include "settings/store.h"

namespace velquor::host::proxy {

bool IsStatusHost(const std::string& host) {
  return host == "velquor.invalid" || host == "velquor.localhost";
}

bool IsOwnAddress(const Target& t, uint16_t port, const std::string& listen_host,
                  const tcp::socket& client) {
  const std::string host = NormalizeHost(t.host);
  if (IsStatusHost(host)) return true;
  if (t.port != std::to_string(port)) return false;
  error_code ec;
  const auto local = client.local_endpoint(ec);
  return !ec &&
         (host == NormalizeHost(local.address().to_string()) || host == NormalizeHost(listen_host));
}

std::string StatusPageHtml(const std::string& library_path, const std::string& more) {
  std::string html =
      "<!DOCTYPE html>\n<html><head><title>velquor proxy</title></head><body>\n"
      "<h1>velquor proxy</h1>\n<table>\n<tr><th>Pages</th><td>" +
      std::to_string(ReadSetting(kPages)) + "</td></tr>\n<tr><th>Killed</th><td>" +
      std::to_string(ReadSetting(kKilled)) + "</td></tr>\n<tr><th>Library</th><td>" +
      HtmlEscape(library_path) + "</td></tr>\n</table>\n<h2>Exceptions</h2>\n";
  const std::vector<std::string> exceptions = ReadExceptions();
  if (exceptions.empty()) {
    html += "<p>none</p>\n";
  } else {
    html += "<ul>\n";
    for (const std::string& e : exceptions) html += "<li>" + HtmlEscape(e) + "</li>\n";
    html += "</ul>\n";
  }
  html += more;
  html += "</body></html>\n";
  return html;
}

}  // namespace velquor::host::proxy
