#include "proxy/error_pages.h"

namespace velquor::host::proxy {

std::string HtmlEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string SimpleResponse(int status, const char* reason, const std::string& html,
                           bool head_only) {
  std::string r = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                  "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                  std::to_string(html.size()) +
                  "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
  if (!head_only) r += html;
  return r;
}

std::string ErrorResponse(int status, const char* reason, const std::string& message,
                          const std::string& advice) {
  const std::string html = "<!DOCTYPE html>\n<html><head><title>" + std::to_string(status) + " " +
                           reason + "</title></head><body><h1>" + reason + "</h1>\n<p>" +
                           HtmlEscape(message) + "</p>\n" +
                           (advice.empty() ? "" : "<p>" + HtmlEscape(advice) + "</p>\n") +
                           "<hr><p>velquor proxy</p></body></html>\n";
  return SimpleResponse(status, reason, html);
}

}  // namespace velquor::host::proxy
