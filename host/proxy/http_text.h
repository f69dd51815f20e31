// The text helpers of HTTP (and of ICAP, which borrows its grammar) that
// need no network code: ASCII case, optional white space around values, the
// media type of a page and the date format of Date fields. Shared by the
// proxy and the ICAP service, and light enough for a parser's fuzz target.
#ifndef VELQUOR_HOST_PROXY_HTTP_TEXT_H_
#define VELQUOR_HOST_PROXY_HTTP_TEXT_H_

#include <string>
#include <string_view>

namespace velquor::host::proxy {

// Field names and tokens are ASCII and compare without regard to case; other
// bytes are left as they are.
inline char LowerChar(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
std::string Lower(std::string_view s);
bool EqualNoCase(std::string_view a, std::string_view b);

// `s` without the spaces and tabs around it.
std::string_view TrimView(std::string_view s);
inline std::string Trim(std::string_view s) { return std::string(TrimView(s)); }

// True for a Content-Type naming text/html, parameters aside.
bool IsHtml(std::string_view content_type);

// The present time as a Date field states it: "Tue, 08 Dec 2026 20:54:24 GMT".
std::string HttpDate();

}  // namespace velquor::host::proxy

#endif  // VELQUOR_HOST_PROXY_HTTP_TEXT_H_
