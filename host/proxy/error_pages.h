// The pages the proxy answers with itself, each a complete response that
// ends the connection: its error pages, and the frame of its status page.
#ifndef VELQUOR_HOST_PROXY_ERROR_PAGES_H_
#define VELQUOR_HOST_PROXY_ERROR_PAGES_H_

#include <string>

namespace velquor::host::proxy {

// What went wrong on the way to the origin, as the browser is told it.
struct Failure {
  int status = 0;
  const char* reason = "";
  std::string message;
};

std::string HtmlEscape(const std::string& s);

// A complete HTML response that ends the connection; only its head when
// `head_only`.
std::string SimpleResponse(int status, const char* reason, const std::string& html,
                           bool head_only = false);

// An error page saying `message` under the status line.
std::string ErrorResponse(int status, const char* reason, const std::string& message);

}  // namespace velquor::host::proxy

#endif  // VELQUOR_HOST_PROXY_ERROR_PAGES_H_
