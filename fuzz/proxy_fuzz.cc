// Fuzz target: the proxy's reading of HTTP/1.1 requests and responses, and
// the heads and bodies it writes from what it read.
//
// Input: a flags byte (1: the bytes are an origin's response, else a
// browser's request; 2: the response answers a HEAD request; 4: the host is
// exempted from filtering, or for a response, its page is filtered; 8: the
// request came inside an inspected HTTPS connection; the high four bits: the
// parser is fed pieces of 2^n bytes), then the bytes as they come from the
// network. Properties: no crash and no hang; a body never waits on the
// network with a line feed that ends no chunk line; a request the proxy
// takes goes on with one framing field saying what the client's said, and a
// head that parses back to the same method and target; a chunked body goes
// on as the same bytes; a response head for the browser has one framing
// field at most; an origin connection with bytes beyond its response is
// never kept.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "proxy/http_util.h"
#include "proxy/stream_io.h"
#include "proxy/upstream.h"

namespace velquor::fuzz {
namespace {

using namespace velquor::host::proxy;

constexpr uint8_t kResponse = 1, kHeadRequest = 2, kExemptOrFiltered = 4, kInspected = 8;

// The network as the parser sees it: the input handed on in pieces.
class Wire {
 public:
  Wire(std::string bytes, std::size_t piece) : bytes_(std::move(bytes)), piece_(piece) {}
  // Moves the next piece into `b`; false when all has come.
  bool Arrive(beast::flat_buffer& b) {
    if (at_ == bytes_.size()) return false;
    const std::size_t n = std::min(piece_, bytes_.size() - at_);
    net::buffer_copy(b.prepare(n), net::buffer(bytes_.data() + at_, n));
    b.commit(n);
    at_ += n;
    return true;
  }

 private:
  std::string bytes_;
  std::size_t piece_;
  std::size_t at_ = 0;
};

template <class Parser>
bool ReadHead(Parser& p, beast::flat_buffer& b, Wire& wire) {
  for (;;) {
    error_code ec;
    b.consume(p.put(b.data(), ec));
    if (p.is_header_done()) return true;
    if (ec && ec != http::error::need_more) return false;
    if (!wire.Arrive(b)) return false;
  }
}

// The body as the proxy reads it, until it ends, fails, or the input ends
// (then `eof` tells the parser the connection closed). False on an error.
template <class Parser>
bool ReadBody(Parser& p, beast::flat_buffer& b, Wire& wire, bool eof, std::string* body) {
  char out[1000];
  for (;;) {
    p.get().body().data = out;
    p.get().body().size = sizeof out;
    error_code ec;
    const bool more = ParseBuffered(p, b, ec);
    body->append(out, sizeof out - p.get().body().size);
    if (ec) return false;
    if (p.is_done()) return true;
    if (!more) continue;  // the piece was full
    if (wire.Arrive(b)) continue;
    // Waiting for the network: what waits must not be a finished line.
    const std::string pending = beast::buffers_to_string(b.data());
    const bool last_chunk_held = pending.size() < 5 && pending.rfind("0\r\n", 0) == 0;
    for (std::size_t i = 0; i < pending.size() && !last_chunk_held; ++i) {
      if (pending[i] == '\n' && (i == 0 || pending[i - 1] != '\r')) {
        Fail("a body waits on the network behind a bare line feed", pending);
      }
    }
    if (!eof) return true;
    p.put_eof(ec);
    return !ec;
  }
}

// Checks a head the proxy wrote: CRLF lines only, parsed back by `Parser`
// whole, with one framing field at most.
template <class Parser>
void CheckHead(const std::string& head, Parser& back, const char* who) {
  if (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0 ||
      head.find("\r\n\r\n") != head.size() - 4) {
    Fail(std::string(who) + " head does not end once with an empty line", head);
  }
  for (std::size_t i = 0; i < head.size(); ++i) {
    const bool bare_lf = head[i] == '\n' && (i == 0 || head[i - 1] != '\r');
    const bool bare_cr = head[i] == '\r' && (i + 1 == head.size() || head[i + 1] != '\n');
    if (bare_lf || bare_cr) Fail(std::string(who) + " head has a bare CR or LF", head);
  }
  error_code ec;
  back.body_limit(kNoBodyLimit);  // the proxy takes bodies of any length
  back.put(net::buffer(head), ec);
  if (ec && ec != http::error::need_more)
    Fail(std::string(who) + " head does not parse: " + ec.message(), head);
  if (!back.is_header_done()) Fail(std::string(who) + " head is not whole", head);
  const auto& f = back.get();
  const std::size_t lengths = f.count(http::field::content_length);
  const std::size_t codings = f.count(http::field::transfer_encoding);
  if (lengths > 1 || codings > 1 || (lengths && codings)) {
    Fail(std::string(who) + " head has more than one framing field", head);
  }
}

void Request(Wire& wire, bool exempt, bool inspected) {
  RequestParser req;
  req.header_limit(32 * 1024);
  req.body_limit(kNoBodyLimit);
  beast::flat_buffer b;
  if (!ReadHead(req, b, wire)) return;
  std::string why;
  if (TransferCodingProblem(req.get(), &why) != 0) return;  // refused
  const std::string_view target = SV(req.get().target());
  Target t{"origin.example", "443", std::string(target)};
  if (inspected ? target.empty() || target.front() != '/' ||
                      std::any_of(target.begin(), target.end(),
                                  [](char c) { return static_cast<unsigned char>(c) <= ' '; })
                : !ParseAbsolute(target, &t, &why)) {
    return;
  }
  const std::string head = OriginRequestHead(req, t, inspected, exempt);
  http::request_parser<http::empty_body> back;
  CheckHead(head, back, "an origin's request");
  if (back.get().method_string() != req.get().method_string() ||
      back.get().target() != beast::string_view(t.path)) {
    Fail("the origin is asked something else", head);
  }
  if (back.chunked() != req.chunked() ||
      (!req.chunked() && back.content_length() != req.content_length())) {
    Fail("the origin's request is framed otherwise than the client's", head);
  }
  std::string body;
  if (!ReadBody(req, b, wire, true, &body) || !req.chunked() || !req.is_done()) return;
  // A chunked body goes on as one chunk per piece read: it decodes back whole.
  char size[24];
  const std::string coded = std::string(size, static_cast<std::size_t>(std::snprintf(
                                                  size, sizeof size, "%zx\r\n", body.size()))) +
                            body + "\r\n0\r\n\r\n";
  http::request_parser<http::string_body> again;
  again.body_limit(kNoBodyLimit);
  again.eager(true);
  error_code ec;
  const std::string whole = head + (body.empty() ? std::string("0\r\n\r\n") : coded);
  again.put(net::buffer(whole), ec);
  if (ec || !again.is_done() || again.get().body() != body) {
    Fail("a chunked body does not decode back to what came", whole);
  }
}

void Response(Wire& wire, bool head_request, bool filtered) {
  std::optional<ResponseParser> res;
  beast::flat_buffer b;
  for (int informational = 0;; ++informational) {
    if (informational > 32) return;
    res.emplace();
    res->header_limit(64 * 1024);
    res->body_limit(kNoBodyLimit);
    if (head_request) res->skip(true);
    if (!ReadHead(*res, b, wire)) return;
    if (res->get().result_int() >= 200 || res->get().result_int() == 101) break;
  }
  std::string why;
  if (TransferCodingProblem(res->get(), &why) != 0) return;  // 502
  const int status = res->get().result_int();
  const bool has_body = !head_request && status != 204 && status != 304 && status >= 200;
  bool keep_alive = true;
  bool chunked = false;
  const std::string head =
      ClientResponseHead(*res, has_body, filtered && has_body, true, &keep_alive, &chunked);
  http::response_parser<http::empty_body> back;
  back.skip(!has_body);
  CheckHead(head, back, "a browser's response");
  if (chunked != back.chunked()) Fail("the browser's response says another framing", head);
  std::string body;
  if (!ReadBody(*res, b, wire, true, &body)) return;
  if (KeepOrigin(*res, b.size()) && b.size() > 0) {
    Fail("an origin connection with bytes beyond its response is kept");
  }
}

}  // namespace
}  // namespace velquor::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velquor::fuzz;
  InputReader in(data, size);
  const uint8_t flags = in.Byte();
  Wire wire(in.Rest(), std::size_t{1} << (flags >> 4));
  if (flags & kResponse) {
    Response(wire, flags & kHeadRequest, flags & kExemptOrFiltered);
  } else {
    Request(wire, flags & kExemptOrFiltered, flags & kInspected);
  }
  return 0;
}
