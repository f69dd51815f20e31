#include "proxy/proxy_server.h"

// Asio's coroutine support uses std::exchange without including <utility>.
#include <utility>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "proxy/content_decoder.h"
#include "proxy/exceptions.h"
#include "proxy/page_filter.h"
#include "settings/store.h"

namespace velquor::host {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using beast::error_code;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

namespace {

constexpr std::size_t kResponseHeaderLimit = 64 * 1024;
constexpr std::size_t kBodyBuffer = 64 * 1024;
// Bodies stream through, so their size is not limited. (Beast 1.74 compares a
// length with a disabled limit as if it were exceeded: use the largest one.)
constexpr std::uint64_t kNoBodyLimit = std::numeric_limits<std::uint64_t>::max();
// A filtered body is handed on once this much has come, or when no more
// comes within kGatherWait.
constexpr std::size_t kMinChunk = 16 * 1024;
constexpr auto kGatherWait = std::chrono::milliseconds(20);
constexpr char kStatusHost[] = "velquor.localhost";

std::string_view SV(beast::string_view v) { return {v.data(), v.size()}; }

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

std::string Trim(std::string_view s) {
  const std::size_t b = s.find_first_not_of(" \t");
  if (b == std::string_view::npos) return "";
  const std::size_t e = s.find_last_not_of(" \t");
  return std::string(s.substr(b, e - b + 1));
}

// The comma-separated tokens of a header value, lower case.
std::vector<std::string> Tokens(std::string_view value) {
  std::vector<std::string> out;
  std::size_t at = 0;
  for (;;) {
    const std::size_t comma = value.find(',', at);
    std::string t =
        Lower(Trim(value.substr(at, comma == std::string_view::npos ? comma : comma - at)));
    if (!t.empty()) out.push_back(std::move(t));
    if (comma == std::string_view::npos) break;
    at = comma + 1;
  }
  return out;
}

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

// A complete response that ends the connection.
std::string SimpleResponse(int status, const char* reason, const std::string& html,
                           bool head_only = false) {
  std::string r = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                  "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                  std::to_string(html.size()) +
                  "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
  if (!head_only) r += html;
  return r;
}

std::string ErrorResponse(int status, const char* reason, const std::string& message) {
  const std::string html = "<!DOCTYPE html>\n<html><head><title>" + std::to_string(status) + " " +
                           reason + "</title></head><body><h1>" + reason + "</h1>\n<p>" +
                           HtmlEscape(message) + "</p>\n<hr><p>velquor proxy</p></body></html>\n";
  return SimpleResponse(status, reason, html);
}

// Headers that belong to one connection and are never passed on.
bool IsHopByHop(const std::string& lower_name) {
  static const char* const kNames[] = {"connection",
                                       "keep-alive",
                                       "proxy-connection",
                                       "proxy-authorization",
                                       "proxy-authenticate",
                                       "te",
                                       "trailer",
                                       "transfer-encoding",
                                       "upgrade"};
  for (const char* n : kNames) {
    if (lower_name == n) return true;
  }
  return false;
}

template <class Fields>
std::vector<std::string> ConnectionTokens(const Fields& fields) {
  std::vector<std::string> out;
  for (auto it = fields.find(http::field::connection);
       it != fields.end() && it->name() == http::field::connection; ++it) {
    for (std::string& t : Tokens(SV(it->value()))) out.push_back(std::move(t));
  }
  for (auto it = fields.find("Proxy-Connection");
       it != fields.end() && beast::iequals(it->name_string(), "Proxy-Connection"); ++it) {
    for (std::string& t : Tokens(SV(it->value()))) out.push_back(std::move(t));
  }
  return out;
}

// Copies the end-to-end fields of `fields` as header lines; `skip` names
// more fields to leave out (lower case).
template <class Fields>
void AppendFields(const Fields& fields, const std::vector<std::string>& skip, std::string* out) {
  const std::vector<std::string> listed = ConnectionTokens(fields);
  for (const auto& f : fields) {
    const std::string name = Lower(SV(f.name_string()));
    if (IsHopByHop(name)) continue;
    if (std::find(listed.begin(), listed.end(), name) != listed.end()) continue;
    if (std::find(skip.begin(), skip.end(), name) != skip.end()) continue;
    out->append(f.name_string().data(), f.name_string().size());
    out->append(": ");
    out->append(f.value().data(), f.value().size());
    out->append("\r\n");
  }
}

struct Target {
  std::string host;  // as written, IPv6 with brackets
  std::string port;
  std::string path;  // origin-form, "/" at least
};

// Splits "host[:port]" (IPv6 in brackets). False on anything else.
bool SplitAuthority(std::string_view authority, const char* default_port, Target* t) {
  std::string_view host = authority;
  std::string_view port;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    host = authority.substr(0, close + 1);
    std::string_view rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return false;
      port = rest.substr(1);
    }
  } else {
    const std::size_t colon = authority.rfind(':');
    if (colon != std::string_view::npos) {
      host = authority.substr(0, colon);
      port = authority.substr(colon + 1);
      if (port.empty()) port = default_port;
    }
  }
  if (port.empty()) port = default_port;
  if (port.empty() || port.size() > 5) return false;
  unsigned long n = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<unsigned long>(c - '0');
  }
  if (n == 0 || n > 65535) return false;
  t->host = std::string(host);
  t->port = std::to_string(n);
  return !NormalizeHost(t->host).empty();
}

// An absolute-form request target: "http://host[:port][/path][?query]".
bool ParseAbsolute(std::string_view target, Target* t, std::string* why) {
  if (target.size() < 7 || Lower(target.substr(0, 7)) != "http://") {
    *why = Lower(target.substr(0, 8)) == "https://"
               ? "https addresses are reached with CONNECT"
               : "the request target is not an http:// address";
    return false;
  }
  std::string_view rest = target.substr(7);
  const std::size_t end = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, end);
  if (authority.find('@') != std::string_view::npos) {
    *why = "user names in addresses are not forwarded";
    return false;
  }
  if (!SplitAuthority(authority, "80", t)) {
    *why = "bad host or port in the request target";
    return false;
  }
  std::string_view path = end == std::string_view::npos ? "" : rest.substr(end);
  const std::size_t hash = path.find('#');
  if (hash != std::string_view::npos) path = path.substr(0, hash);
  t->path = path.empty() || path.front() != '/' ? "/" + std::string(path) : std::string(path);
  for (char c : t->path) {
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) {
      *why = "control characters or spaces in the request target";
      return false;
    }
  }
  return true;
}

bool IsHtml(std::string_view content_type) {
  const std::size_t semi = content_type.find(';');
  return Lower(Trim(content_type.substr(0, semi))) == "text/html";
}

// The helpers below take any stream over a beast::tcp_stream (a TLS stream
// as well); timeouts and closing act on the TCP layer.
template <class Stream>
void Close(Stream& s) {
  error_code ec;
  beast::get_lowest_layer(s).socket().shutdown(tcp::socket::shutdown_both, ec);
  beast::get_lowest_layer(s).socket().close(ec);
}

// Reads the body bytes that are to be had now, up to `cap`: parses what is
// buffered and what the socket holds, and waits for the network only when
// that gave nothing. Returns the count put into out[0..cap).
template <class Stream, class Parser>
net::awaitable<std::size_t> ReadBodySome(Stream& s, beast::flat_buffer& b, Parser& p, char* out,
                                         std::size_t cap, error_code& ec) {
  ec = {};
  auto& body = p.get().body();
  body.data = out;
  body.size = cap;
  for (;;) {
    if (p.is_done()) break;
    std::size_t used = 0;
    if (b.size() > 0) {
      error_code pec;
      used = p.put(b.data(), pec);
      b.consume(used);
      if (pec == http::error::need_buffer) break;
      if (pec && pec != http::error::need_more) {
        ec = pec;
        break;
      }
      if (p.is_done() || body.size == 0) break;
      if (used > 0) continue;
    }
    // Whatever the socket holds already belongs to this piece; wait for the
    // network only when there is nothing at all.
    error_code aec;
    const std::size_t available = beast::get_lowest_layer(s).socket().available(aec);
    if (body.size < cap && (aec || available == 0)) break;
    error_code rec;
    const std::size_t n = co_await s.async_read_some(b.prepare(kBodyBuffer),
                                                     net::redirect_error(net::use_awaitable, rec));
    b.commit(n);
    if (rec == net::error::eof) {
      if (b.size() > 0) continue;
      error_code pec;
      p.put_eof(pec);
      if (pec) ec = pec;
      break;
    }
    if (rec) {
      ec = rec;
      break;
    }
  }
  co_return cap - body.size;
}

template <class Stream>
net::awaitable<bool> WriteAll(Stream& s, std::chrono::seconds timeout,
                              std::vector<net::const_buffer> buffers) {
  error_code ec;
  beast::get_lowest_layer(s).expires_after(timeout);
  co_await net::async_write(s, buffers, net::redirect_error(net::use_awaitable, ec));
  co_return !ec;
}

template <class Stream>
net::awaitable<bool> WriteText(Stream& s, std::chrono::seconds timeout, const std::string& text) {
  std::vector<net::const_buffer> buffers(1, net::buffer(text));
  co_return co_await WriteAll(s, timeout, std::move(buffers));
}

// Body bytes in chunked framing, or as they are.
template <class Stream>
net::awaitable<bool> WriteBody(Stream& s, std::chrono::seconds timeout, bool chunked,
                               const char* data, std::size_t size) {
  if (size == 0) co_return true;
  std::vector<net::const_buffer> buffers;
  std::string head;
  if (chunked) {
    char hex[24];
    head.assign(hex, static_cast<std::size_t>(std::snprintf(hex, sizeof hex, "%zx\r\n", size)));
    buffers.push_back(net::buffer(head));
  }
  buffers.push_back(net::buffer(data, size));
  if (chunked) buffers.push_back(net::buffer("\r\n", 2));
  co_return co_await WriteAll(s, timeout, std::move(buffers));
}

// True when the socket has bytes to read within kGatherWait.
template <class Stream>
net::awaitable<bool> MoreArrives(Stream& s) {
  net::steady_timer timer(s.get_executor());
  const auto deadline = std::chrono::steady_clock::now() + kGatherWait;
  for (;;) {
    error_code ec;
    if (beast::get_lowest_layer(s).socket().available(ec) > 0 && !ec) co_return true;
    if (ec || std::chrono::steady_clock::now() >= deadline) co_return false;
    timer.expires_after(std::chrono::milliseconds(1));
    co_await timer.async_wait(net::redirect_error(net::use_awaitable, ec));
  }
}

// Copies one direction of a tunnel until either side closes or falls
// silent, then ends the other side's sending half.
template <class From, class To>
net::awaitable<void> Pump(From& from, To& to, std::chrono::seconds idle) {
  std::vector<char> buf(16 * 1024);
  for (;;) {
    error_code ec;
    beast::get_lowest_layer(from).expires_after(idle);
    const std::size_t n = co_await from.async_read_some(
        net::buffer(buf), net::redirect_error(net::use_awaitable, ec));
    if (n > 0) {
      std::vector<net::const_buffer> buffers(1, net::buffer(buf.data(), n));
      if (!co_await WriteAll(to, idle, std::move(buffers))) break;
    }
    if (ec) break;
  }
  error_code ec;
  beast::get_lowest_layer(to).socket().shutdown(tcp::socket::shutdown_send, ec);
}

}  // namespace

struct ProxyServer::State : std::enable_shared_from_this<ProxyServer::State> {
  ProxyOptions options;
  IClassFactory* factory;
  net::io_context ioc;
  tcp::acceptor acceptor{ioc};
  uint16_t port = 0;  // bound, set before any connection
  std::atomic<std::size_t> active{0};
  std::atomic<bool> stopping{false};
  std::mutex mutex;
  std::map<uint64_t, std::function<void(bool)>> cutters;  // id -> cut (all or idle only)
  uint64_t next_id = 0;
  // Inspection: towards browsers with the local CA's certificates, towards
  // origins verifying theirs.
  net::ssl::context tls_server{net::ssl::context::tls_server};
  net::ssl::context tls_client{net::ssl::context::tls_client};
  // The last session with each origin ("name:port"), resumed by the next
  // connection to it instead of a full handshake.
  std::map<std::string, SSL_SESSION*> origin_sessions;

  State(const ProxyOptions& o, IClassFactory* f) : options(o), factory(f) {}
  ~State() {
    for (auto& [origin, session] : origin_sessions) SSL_SESSION_free(session);
  }

  void KeepSession(const std::string& origin, SSL* ssl) {
    SSL_SESSION* session = SSL_get1_session(ssl);
    if (!session) return;
    if (!SSL_SESSION_is_resumable(session)) {
      SSL_SESSION_free(session);
      return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (origin_sessions.size() >= 1024) {
      for (auto& [o, s] : origin_sessions) SSL_SESSION_free(s);
      origin_sessions.clear();
    }
    SSL_SESSION*& slot = origin_sessions[origin];
    if (slot) SSL_SESSION_free(slot);
    slot = session;
  }
  void ResumeSession(const std::string& origin, SSL* ssl) {
    std::lock_guard<std::mutex> lock(mutex);
    if (auto it = origin_sessions.find(origin); it != origin_sessions.end()) {
      SSL_set_session(ssl, it->second);
    }
  }

  uint64_t Enrol(std::function<void(bool)> cut) {
    std::lock_guard<std::mutex> lock(mutex);
    cutters.emplace(++next_id, std::move(cut));
    return next_id;
  }
  void Leave(uint64_t id) {
    std::lock_guard<std::mutex> lock(mutex);
    cutters.erase(id);
  }
  void CutAll(bool idle_only) {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& [id, cut] : cutters) cut(idle_only);
  }
};

namespace {

using State = ProxyServer::State;

// What the browser's TLS handshake is answered with: a certificate for the
// host it asked CONNECT for and the server name it sends.
struct Impersonation {
  LocalCa* ca = nullptr;
  std::string connect_host;  // normalised
  std::string server_name;   // normalised, "" when the browser sent none
  std::string error;
};

int ChooseCertificate(SSL* ssl, void* arg) {
  auto* who = static_cast<Impersonation*>(arg);
  std::vector<std::string> names{who->connect_host};
  if (const char* sni = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name)) {
    who->server_name = NormalizeHost(sni);
    if (!who->server_name.empty() && who->server_name != who->connect_host) {
      names.insert(names.begin(), who->server_name);
    }
  }
  std::shared_ptr<Leaf> leaf = who->ca->LeafFor(names, &who->error);
  if (!leaf) return 0;
  return SSL_use_certificate(ssl, leaf->cert) == 1 && SSL_use_PrivateKey(ssl, leaf->key) == 1 ? 1
                                                                                              : 0;
}

// Both sides speak HTTP/1.1 inside an inspected connection, whatever else a
// browser offers.
int SelectHttp11(SSL*, const unsigned char** out, unsigned char* outlen, const unsigned char* in,
                 unsigned int inlen, void*) {
  static const unsigned char kHttp11[] = "\x08http/1.1";
  unsigned char* chosen = nullptr;
  if (SSL_select_next_proto(&chosen, outlen, kHttp11, sizeof kHttp11 - 1, in, inlen) !=
      OPENSSL_NPN_NEGOTIATED) {
    return SSL_TLSEXT_ERR_NOACK;
  }
  *out = chosen;
  return SSL_TLSEXT_ERR_OK;
}

// Why a TLS handshake failed, in words.
std::string HandshakeProblem(const error_code& ec, SSL* ssl, bool upstream) {
  if (ec == beast::error::timeout) return "no TLS handshake within the time allowed";
  if (ec == net::error::eof || ec == net::ssl::error::stream_truncated ||
      ec == net::error::connection_reset) {
    return "the connection was closed during the TLS handshake";
  }
  if (upstream && ssl) {
    const long verify = SSL_get_verify_result(ssl);
    if (verify != X509_V_OK) {
      return std::string("its certificate cannot be trusted: ") +
             X509_verify_cert_error_string(verify);
    }
  }
  if (ec.category() == net::error::get_ssl_category()) {
    const int reason = ERR_GET_REASON(static_cast<unsigned long>(ec.value()));
    if (reason == SSL_R_WRONG_VERSION_NUMBER || reason == SSL_R_PACKET_LENGTH_TOO_LONG ||
        reason == SSL_R_HTTP_REQUEST || reason == SSL_R_UNEXPECTED_RECORD) {
      return std::string(upstream ? "it does not answer" : "the browser does not speak") +
             " TLS (" + ec.message() + ")";
    }
  }
  return "TLS handshake failed (" + ec.message() + ")";
}

// One browser connection: requests one after the other (keep-alive), each
// forwarded over an origin connection that is kept while the origin allows.
// `Client` is the stream the browser speaks HTTP over, `Upstream` the one to
// the origin: both plain TCP, or both TLS inside an inspected CONNECT.
template <class Client, class Upstream = beast::tcp_stream>
class Session : public std::enable_shared_from_this<Session<Client, Upstream>> {
  static constexpr bool kTls = std::is_same_v<Client, TlsStream>;
  static_assert(kTls == std::is_same_v<Upstream, TlsStream>);

 public:
  Session(std::shared_ptr<State> state, Client client)
      : state_(std::move(state)), client_(std::move(client)) {
    ++state_->active;
  }

  // An inspected session serves requests for `origin` only, over the TCP
  // connection the CONNECT opened to it.
  auto executor() { return client_.get_executor(); }

  void SetOrigin(const Target& origin, beast::tcp_stream connected) {
    origin_ = origin;
    pending_.emplace(std::move(connected));
    who_.ca = state_->options.ca.get();
    who_.connect_host = NormalizeHost(origin.host);
  }
  ~Session() {
    state_->Leave(id_);
    --state_->active;
  }

  net::awaitable<void> Run() {
    auto self = this->shared_from_this();
    std::weak_ptr<Session> weak = self;
    auto executor = client_.get_executor();
    id_ = state_->Enrol([weak, executor](bool idle_only) {
      net::post(executor, [weak, idle_only] {
        if (auto s = weak.lock(); s && (!idle_only || !s->busy_)) s->Cut();
      });
    });
    if (state_->stopping) co_return;
    if constexpr (kTls) {
      if (!co_await Handshake()) co_return;
    }
    while (co_await ServeOne()) {
      if (state_->stopping) break;
    }
    // A tunnel's other direction still runs; the sockets close with it.
    if (tunnelled_) co_return;
    if constexpr (kTls) {
      // Tell the browser that the response really ended here.
      error_code ec;
      beast::get_lowest_layer(client_).expires_after(std::chrono::seconds(2));
      co_await client_.async_shutdown(net::redirect_error(net::use_awaitable, ec));
    }
    Close(client_);
    if (upstream_) Close(*upstream_);
  }

 private:
  using RequestParser = http::request_parser<http::buffer_body>;
  using ResponseParser = http::response_parser<http::buffer_body>;

  void Cut() {
    Close(client_);
    if (upstream_) Close(*upstream_);
  }

  std::chrono::seconds idle() const { return state_->options.idle_timeout; }

  // Answers the browser's TLS handshake; false (logged) when it fails.
  net::awaitable<bool> Handshake() {
    SSL* ssl = client_.native_handle();
    SSL_set_cert_cb(ssl, ChooseCertificate, &who_);
    error_code ec;
    beast::get_lowest_layer(client_).expires_after(state_->options.handshake_timeout);
    co_await client_.async_handshake(net::ssl::stream_base::server,
                                     net::redirect_error(net::use_awaitable, ec));
    if (!ec) co_return true;
    const std::string host = who_.server_name.empty() ? who_.connect_host : who_.server_name;
    std::string why = who_.error.empty() ? HandshakeProblem(ec, ssl, false) : who_.error;
    if (ec == beast::error::timeout) {
      why = "no TLS handshake within " + std::to_string(state_->options.handshake_timeout.count()) +
            " s";
    }
    std::fprintf(stderr,
                 "velquor: proxy: %s:%s: the browser's TLS handshake failed: %s. A program that "
                 "accepts only the site's own certificate needs its HTTPS tunnelled: velquor "
                 "exempt add --tunnel %s\n",
                 host.c_str(), origin_.port.c_str(), why.c_str(), host.c_str());
    co_return false;
  }
  net::awaitable<bool> Fail(int status, const char* reason, const std::string& message) {
    std::fprintf(stderr, "velquor: proxy: %d %s: %s\n", status, reason, message.c_str());
    co_await WriteText(client_, idle(), ErrorResponse(status, reason, message));
    co_return false;
  }

  // Serves one request; true when the connection may carry another.
  net::awaitable<bool> ServeOne() {
    busy_ = false;
    RequestParser req;
    req.header_limit(static_cast<std::uint32_t>(state_->options.request_header_limit));
    req.body_limit(kNoBodyLimit);
    error_code ec;
    beast::get_lowest_layer(client_).expires_after(idle());
    co_await http::async_read_header(client_, client_buf_, req,
                                     net::redirect_error(net::use_awaitable, ec));
    busy_ = true;
    if (ec) {
      if (ec == http::error::header_limit) {
        co_return co_await Fail(431, "Request Header Fields Too Large",
                                "the request's header block is larger than " +
                                    std::to_string(state_->options.request_header_limit) +
                                    " bytes");
      }
      // A client that left or fell silent between requests gets no answer.
      if (ec == http::error::end_of_stream || ec == net::error::eof ||
          ec == beast::error::timeout || ec == net::error::operation_aborted ||
          ec == net::error::connection_reset || ec == net::error::bad_descriptor) {
        co_return false;
      }
      co_return co_await Fail(400, "Bad Request", "malformed request: " + ec.message());
    }
    auto& msg = req.get();
    // Beast refuses a length beside chunked framing and differing lengths;
    // a transfer coding that does not end in chunked leaves the body's end
    // unknown, which two parties could read differently.
    if (msg.count(http::field::transfer_encoding) > 0 && !req.chunked()) {
      co_return co_await Fail(400, "Bad Request",
                              "a request's Transfer-Encoding must end with chunked");
    }
    const std::string_view target(msg.target().data(), msg.target().size());
    if constexpr (kTls) {
      // Inside an inspected connection every request is for its origin.
      if (msg.method() == http::verb::connect || target.empty() || target.front() != '/') {
        co_return co_await Fail(400, "Bad Request",
                                "an HTTPS connection through the proxy takes requests for " +
                                    origin_.host + " in origin form only");
      }
      Target t = origin_;
      t.path = std::string(target);
      for (char c : t.path) {
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) {
          co_return co_await Fail(400, "Bad Request",
                                  "control characters or spaces in the request target");
        }
      }
      co_return co_await Forward(req, t);
    } else {
      if (msg.method() == http::verb::connect) co_return co_await Connect(req);
    }

    if (!target.empty() && target.front() == '/') co_return co_await StatusPage(req);
    Target t;
    std::string why;
    if (!ParseAbsolute(target, &t, &why)) co_return co_await Fail(400, "Bad Request", why);
    if (IsOwnAddress(t)) co_return co_await StatusPage(req);
    co_return co_await Forward(req, t);
  }

  bool IsOwnAddress(const Target& t) const {
    const std::string host = NormalizeHost(t.host);
    if (host == kStatusHost) return true;
    if (t.port != std::to_string(state_->port)) return false;
    error_code ec;
    const auto local = beast::get_lowest_layer(client_).socket().local_endpoint(ec);
    return !ec && (host == NormalizeHost(local.address().to_string()) ||
                   host == NormalizeHost(state_->options.host));
  }

  net::awaitable<bool> StatusPage(RequestParser& req) {
    auto& msg = req.get();
    if (!req.is_done()) co_return co_await Fail(400, "Bad Request", "no body expected here");
    const bool head = msg.method() == http::verb::head;
    if (msg.method() != http::verb::get && !head) {
      co_return co_await Fail(405, "Method Not Allowed", "the status page answers GET only");
    }
    std::string html =
        "<!DOCTYPE html>\n<html><head><title>velquor proxy</title></head><body>\n"
        "<h1>velquor proxy</h1>\n<table>\n<tr><th>Pages</th><td>" +
        std::to_string(ReadSetting(kPages)) + "</td></tr>\n<tr><th>Killed</th><td>" +
        std::to_string(ReadSetting(kKilled)) + "</td></tr>\n<tr><th>Library</th><td>" +
        HtmlEscape(state_->options.library_path) + "</td></tr>\n</table>\n<h2>Exceptions</h2>\n";
    const std::vector<std::string> exceptions = ReadExceptions();
    if (exceptions.empty()) {
      html += "<p>none</p>\n";
    } else {
      html += "<ul>\n";
      for (const std::string& e : exceptions) html += "<li>" + HtmlEscape(e) + "</li>\n";
      html += "</ul>\n";
    }
    html += "</body></html>\n";
    co_await WriteText(client_, idle(), SimpleResponse(200, "OK", html, head));
    co_return false;
  }

  // Opens (or reuses) the connection to the origin. On failure answers the
  // client and returns false.
  net::awaitable<bool> ConnectUpstream(const Target& t, bool* reused) {
    *reused = false;
    if (upstream_ && up_host_ == t.host && up_port_ == t.port &&
        beast::get_lowest_layer(*upstream_).socket().is_open()) {
      *reused = true;
      co_return true;
    }
    if (upstream_) Close(*upstream_);
    upstream_.reset();
    up_buf_.clear();
    if constexpr (kTls) {
      if (pending_) {
        // The connection the CONNECT opened.
        auto stream = std::make_unique<beast::tcp_stream>(std::move(*pending_));
        pending_.reset();
        co_return co_await StartTls(t, std::move(stream));
      }
    }
    auto executor = co_await net::this_coro::executor;
    tcp::resolver resolver(executor);
    error_code ec;
    std::string host = t.host;
    if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    const auto results =
        co_await resolver.async_resolve(host, t.port, net::redirect_error(net::use_awaitable, ec));
    if (ec) {
      co_await Fail(502, "Bad Gateway",
                    "cannot find the address of " + t.host + ": " + ec.message());
      co_return false;
    }
    auto stream = std::make_unique<beast::tcp_stream>(executor);
    stream->expires_after(state_->options.connect_timeout);
    co_await stream->async_connect(results, net::redirect_error(net::use_awaitable, ec));
    if (ec == beast::error::timeout) {
      co_await Fail(504, "Gateway Timeout",
                    "no connection to " + t.host + ":" + t.port + " within " +
                        std::to_string(state_->options.connect_timeout.count()) + " s");
      co_return false;
    }
    if (ec) {
      co_await Fail(502, "Bad Gateway",
                    "cannot connect to " + t.host + ":" + t.port + ": " + ec.message());
      co_return false;
    }
    error_code ignored;
    stream->socket().set_option(tcp::no_delay(true), ignored);
    if constexpr (kTls) {
      co_return co_await StartTls(t, std::move(stream));
    } else {
      upstream_ = std::move(stream);
      up_host_ = t.host;
      up_port_ = t.port;
      co_return true;
    }
  }

  // TLS to the origin over `stream`, its certificate verified for the name
  // the browser asked for; on failure the browser gets the error page.
  net::awaitable<bool> StartTls(const Target& t, std::unique_ptr<beast::tcp_stream> stream) {
    auto tls = std::make_unique<TlsStream>(std::move(*stream), state_->tls_client);
    SSL* ssl = tls->native_handle();
    const std::string name = who_.server_name.empty() ? who_.connect_host : who_.server_name;
    ASN1_OCTET_STRING* ip = a2i_IPADDRESS(name.c_str());
    const bool is_ip = ip != nullptr;
    ASN1_OCTET_STRING_free(ip);
    ERR_clear_error();
    bool ok = true;
    if (is_ip) {
      ok = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name.c_str()) == 1;
    } else {
      ok =
          SSL_set_tlsext_host_name(ssl, name.c_str()) == 1 && SSL_set1_host(ssl, name.c_str()) == 1;
      SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    }
    if (!ok) {
      co_await Fail(502, "Bad Gateway", "cannot check a certificate for " + name);
      co_return false;
    }
    session_key_ = name + ":" + t.port;
    session_kept_ = false;
    state_->ResumeSession(session_key_, ssl);
    error_code ec;
    beast::get_lowest_layer(*tls).expires_after(state_->options.handshake_timeout);
    co_await tls->async_handshake(net::ssl::stream_base::client,
                                  net::redirect_error(net::use_awaitable, ec));
    if (ec) {
      int status = 502;
      const char* reason = "Bad Gateway";
      std::string why;
      if (ec == beast::error::timeout) {
        status = 504;
        reason = "Gateway Timeout";
        why = "no TLS handshake within " +
              std::to_string(state_->options.handshake_timeout.count()) + " s";
      } else {
        why = HandshakeProblem(ec, ssl, true);
      }
      Close(*tls);
      const std::string message = "no secure connection to " + name + ":" + t.port + ": " + why;
      co_await Fail(status, reason, message);
      co_return false;
    }
    upstream_ = std::move(tls);
    up_host_ = t.host;
    up_port_ = t.port;
    co_return true;
  }

  net::awaitable<bool> Connect(RequestParser& req) {
    Target t;
    const auto target = req.get().target();
    if (!SplitAuthority(std::string_view(target.data(), target.size()), "", &t)) {
      co_return co_await Fail(400, "Bad Request", "CONNECT needs host:port");
    }
    bool reused = false;
    upstream_.reset();
    if (!co_await ConnectUpstream(t, &reused)) co_return false;
    if (!co_await WriteText(client_, idle(), "HTTP/1.1 200 Connection established\r\n\r\n")) {
      co_return false;
    }
    bool inspect = state_->options.ca && !IsExempt(ReadExceptions(), t.host) &&
                   !IsExempt(ReadTunnelHosts(), t.host);
    if (inspect) inspect = co_await BrowserStartsTls();
    if (inspect) {
      // Inspection: the browser's TLS ends here, and a session of its own
      // serves the requests inside.
      auto inspected = std::make_shared<Session<TlsStream, TlsStream>>(
          state_, TlsStream(std::move(client_), state_->tls_server));
      inspected->SetOrigin(t, std::move(*upstream_));
      upstream_.reset();
      tunnelled_ = true;  // nothing left here to close
      auto executor = inspected->executor();
      net::co_spawn(
          executor, [inspected]() -> net::awaitable<void> { co_await inspected->Run(); },
          net::detached);
      co_return false;
    }
    // The tunnel carries the bytes unseen: exempted hosts, and whatever is
    // not TLS from the browser, pass unfiltered.
    co_await Tunnel();
    co_return false;
  }

  // Waits for the first bytes of a tunnel: true when the browser's begin a
  // TLS handshake. An origin that speaks first, or a tunnel silent for the
  // idle time, is no TLS from the browser. Nothing is consumed.
  net::awaitable<bool> BrowserStartsTls() {
    auto executor = client_.get_executor();
    auto& client_socket = beast::get_lowest_layer(client_).socket();
    auto& origin_socket = upstream_->socket();
    auto decided = std::make_shared<bool>(false);
    auto timer = std::make_shared<net::steady_timer>(executor, idle());
    auto self = this->shared_from_this();
    net::co_spawn(
        executor,
        [self, decided, timer, &client_socket, &origin_socket]() -> net::awaitable<void> {
          error_code ec;
          co_await origin_socket.async_wait(tcp::socket::wait_read,
                                            net::redirect_error(net::use_awaitable, ec));
          if (*decided) co_return;
          *decided = true;
          client_socket.cancel(ec);
          timer->cancel();
        },
        net::detached);
    net::co_spawn(
        executor,
        [self, decided, timer, &client_socket, &origin_socket]() -> net::awaitable<void> {
          error_code ec;
          co_await timer->async_wait(net::redirect_error(net::use_awaitable, ec));
          if (ec || *decided) co_return;
          *decided = true;
          client_socket.cancel(ec);
          origin_socket.cancel(ec);
        },
        net::detached);
    error_code ec;
    co_await client_socket.async_wait(tcp::socket::wait_read,
                                      net::redirect_error(net::use_awaitable, ec));
    const bool browser_first = !*decided && !ec;
    if (!*decided) {
      *decided = true;
      error_code ignored;
      origin_socket.cancel(ignored);
      timer->cancel();
    }
    if (!browser_first) co_return false;
    // A TLS record of the handshake type, in any version from SSL 3 on.
    unsigned char head[2] = {0, 0};
    const std::size_t n = client_socket.receive(net::buffer(head), tcp::socket::message_peek, ec);
    co_return !ec && n >= 1 && head[0] == 0x16 && (n < 2 || head[1] == 0x03);
  }

  // Joins the client and the origin both ways until both have finished.
  net::awaitable<void> Tunnel() {
    busy_ = true;
    tunnelled_ = true;
    if (client_buf_.size() > 0) {
      const std::string early = beast::buffers_to_string(client_buf_.data());
      client_buf_.clear();
      if (!co_await WriteText(*upstream_, idle(), early)) co_return;
    }
    if (up_buf_.size() > 0) {
      const std::string early = beast::buffers_to_string(up_buf_.data());
      up_buf_.clear();
      if (!co_await WriteText(client_, idle(), early)) co_return;
    }
    auto self = this->shared_from_this();
    net::co_spawn(
        client_.get_executor(),
        [self]() -> net::awaitable<void> {
          co_await Pump(*self->upstream_, self->client_, self->idle());
        },
        net::detached);
    co_await Pump(client_, *upstream_, idle());
  }

  net::awaitable<bool> Forward(RequestParser& req, const Target& t) {
    auto& msg = req.get();
    const bool exempt = IsExempt(ReadExceptions(), t.host);
    const bool upgrade = req.upgrade();
    bool expect_continue = false;
    for (const std::string& e : Tokens(SV(msg[http::field::expect]))) {
      if (e == "100-continue") expect_continue = true;
    }

    // The request as the origin gets it.
    std::string head(msg.method_string().data(), msg.method_string().size());
    head += " " + t.path + " HTTP/1.1\r\nHost: " + t.host +
            (t.port == (kTls ? "443" : "80") ? "" : ":" + t.port) + "\r\n";
    std::vector<std::string> skip = {"host", "expect"};
    if (!exempt) skip.push_back("accept-encoding");
    AppendFields(msg, skip, &head);
    if (!exempt && msg.count(http::field::accept_encoding) > 0) {
      // Only codings the filter can undo, so that every page can be filtered.
      std::string accepted;
      for (const std::string& c : Tokens(SV(msg[http::field::accept_encoding]))) {
        const std::string name = Trim(std::string_view(c).substr(0, c.find(';')));
        if (name == "gzip" || name == "deflate" || name == "br" || name == "identity") {
          accepted += (accepted.empty() ? "" : ", ") + c;
        }
      }
      if (!accepted.empty()) head += "Accept-Encoding: " + accepted + "\r\n";
    }
    if (upgrade)
      head += "Connection: Upgrade\r\nUpgrade: " + std::string(msg[http::field::upgrade]) + "\r\n";
    if (req.chunked()) {
      head += "Transfer-Encoding: chunked\r\n";
    } else if (req.content_length() && *req.content_length() > 0) {
      head += "Content-Length: " + std::to_string(*req.content_length()) + "\r\n";
    } else if (req.content_length()) {
      head += "Content-Length: 0\r\n";
    }
    head += "\r\n";
    const bool has_request_body = !req.is_done();

    bool reused = false;
    if (!co_await ConnectUpstream(t, &reused)) co_return false;
    if (expect_continue && has_request_body) {
      // The origin is not asked to wait; the proxy takes the body at once.
      if (!co_await WriteText(client_, idle(), "HTTP/1.1 100 Continue\r\n\r\n")) co_return false;
    }
    bool sent = co_await WriteText(*upstream_, state_->options.response_timeout, head);
    if (!sent && reused && !has_request_body) {
      // A kept origin connection may have been closed by the origin meanwhile.
      upstream_.reset();
      if (!co_await ConnectUpstream(t, &reused)) co_return false;
      sent = co_await WriteText(*upstream_, state_->options.response_timeout, head);
    }
    if (!sent) {
      co_return co_await Fail(502, "Bad Gateway",
                              "cannot send the request to " + t.host + ":" + t.port);
    }
    if (has_request_body) {
      std::vector<char> buf(kBodyBuffer);
      while (!req.is_done()) {
        error_code ec;
        beast::get_lowest_layer(client_).expires_after(idle());
        const std::size_t n =
            co_await ReadBodySome(client_, client_buf_, req, buf.data(), buf.size(), ec);
        if (ec) {
          if (upstream_) Close(*upstream_);
          upstream_.reset();
          if (ec == net::error::eof || ec == http::error::partial_message ||
              ec == beast::error::timeout || ec == net::error::connection_reset) {
            co_return false;
          }
          co_return co_await Fail(400, "Bad Request", "malformed request body: " + ec.message());
        }
        if (!co_await WriteBody(*upstream_, state_->options.response_timeout, req.chunked(),
                                buf.data(), n)) {
          co_return co_await Fail(502, "Bad Gateway",
                                  t.host + ":" + t.port + " stopped taking the request body");
        }
      }
      if (req.chunked() &&
          !co_await WriteText(*upstream_, state_->options.response_timeout, "0\r\n\r\n")) {
        co_return co_await Fail(502, "Bad Gateway",
                                t.host + ":" + t.port + " stopped taking the request body");
      }
    }

    // The response head; informational answers other than a switch of
    // protocols are not passed on.
    std::optional<ResponseParser> res;
    for (;;) {
      res.emplace();
      res->header_limit(static_cast<std::uint32_t>(kResponseHeaderLimit));
      res->body_limit(kNoBodyLimit);
      if (msg.method() == http::verb::head) res->skip(true);
      error_code ec;
      beast::get_lowest_layer(*upstream_).expires_after(state_->options.response_timeout);
      co_await http::async_read_header(*upstream_, up_buf_, *res,
                                       net::redirect_error(net::use_awaitable, ec));
      if (ec == beast::error::timeout) {
        upstream_.reset();
        co_return co_await Fail(504, "Gateway Timeout",
                                t.host + ":" + t.port + " did not answer within " +
                                    std::to_string(state_->options.response_timeout.count()) +
                                    " s");
      }
      if (ec) {
        upstream_.reset();
        const std::string what = ec == http::error::end_of_stream || ec == net::error::eof
                                     ? "closed the connection without answering"
                                     : "sent a response that cannot be read (" + ec.message() + ")";
        co_return co_await Fail(502, "Bad Gateway", t.host + ":" + t.port + " " + what);
      }
      const int status = res->get().result_int();
      if (status >= 200 || (status == 101 && upgrade)) break;
      if (status == 101) {
        upstream_.reset();
        co_return co_await Fail(502, "Bad Gateway",
                                t.host + ":" + t.port + " switched protocols unasked");
      }
    }
    co_return co_await Respond(req, *res, t, exempt);
  }

  net::awaitable<bool> Respond(RequestParser& req, ResponseParser& res, const Target& t,
                               bool exempt) {
    auto& msg = req.get();
    auto& rmsg = res.get();
    const int status = rmsg.result_int();
    if (status == 101) {
      std::string head = "HTTP/1.1 101 " + std::string(rmsg.reason()) + "\r\n";
      AppendFields(rmsg, {}, &head);
      head +=
          "Connection: Upgrade\r\nUpgrade: " + std::string(rmsg[http::field::upgrade]) + "\r\n\r\n";
      if (!co_await WriteText(client_, idle(), head)) co_return false;
      co_await Tunnel();
      co_return false;
    }
    const bool head_request = msg.method() == http::verb::head;
    const bool has_body = !head_request && status != 204 && status != 304 && status >= 200;

    // Decide whether the body goes through the filter.
    std::unique_ptr<PageFilter> filter;
    std::unique_ptr<ContentDecoder> decoder;
    if (has_body && !exempt && status != 206 && IsHtml(SV(rmsg[http::field::content_type]))) {
      decoder = ContentDecoder::Create(std::string(rmsg[http::field::content_encoding]));
      if (decoder) {
        filter = std::make_unique<PageFilter>();
        std::string error;
        if (!filter->Start(state_->factory, &error)) {
          std::fprintf(stderr, "velquor: proxy: %s: %s; the page passes unfiltered\n",
                       t.host.c_str(), error.c_str());
          filter.reset();
          decoder.reset();
        }
      }
    }

    const bool client11 = msg.version() >= 11;
    bool keep_alive = msg.keep_alive() && !state_->stopping;
    bool chunked = false;
    std::string head =
        "HTTP/1.1 " + std::to_string(status) + " " + std::string(rmsg.reason()) + "\r\n";
    std::vector<std::string> skip;
    if (filter) skip = {"content-length", "content-encoding", "content-md5"};
    AppendFields(rmsg, skip, &head);
    if (has_body && (filter || !res.content_length())) {
      if (client11) {
        head += "Transfer-Encoding: chunked\r\n";
        chunked = true;
      } else {
        keep_alive = false;  // the end of the body is the end of the connection
      }
    }
    head += keep_alive ? (client11 ? "" : "Connection: keep-alive\r\n") : "Connection: close\r\n";
    head += "\r\n";
    if (!co_await WriteText(client_, idle(), head)) co_return false;

    std::vector<char> buf(kBodyBuffer);
    std::string out;
    const auto timeout = state_->options.response_timeout;
    bool failed = false;
    while (has_body && !res.is_done()) {
      error_code ec;
      std::size_t n = 0;
      for (;;) {
        beast::get_lowest_layer(*upstream_).expires_after(timeout);
        n += co_await ReadBodySome(*upstream_, up_buf_, res, buf.data() + n, buf.size() - n, ec);
        if (ec || !filter || res.is_done() || n >= kMinChunk) break;
        // An origin that sends a page in small pieces: gather for a moment,
        // since a link cut at the end of a short chunk may pass unfiltered.
        if (!co_await MoreArrives(*upstream_)) break;
      }
      if (ec) {
        std::fprintf(stderr, "velquor: proxy: %s:%s: the response ended early (%s)\n",
                     t.host.c_str(), t.port.c_str(), ec.message().c_str());
        failed = true;
        break;
      }
      if (!filter) {
        if (!co_await WriteBody(client_, idle(), chunked, buf.data(), n)) co_return false;
        continue;
      }
      // A body without a coding goes to the filter without a copy on the way.
      if (decoder->Identity()) {
        filter->body().append(buf.data(), n);
      } else {
        decoder->Put(buf.data(), n);
      }
      if (!co_await DrainDecoder(*decoder, *filter, res.is_done(), chunked, t, &out)) {
        failed = true;
        break;
      }
    }
    if (!failed && filter && !filter->done()) {
      // A body with no bytes at all still ends the page.
      if (!co_await DrainDecoder(*decoder, *filter, true, chunked, t, &out)) {
        failed = true;
      }
    }
    if (failed) {
      // Cut the connection without the closing chunk, so that the browser
      // sees an incomplete page rather than a short one.
      upstream_.reset();
      co_return false;
    }
    if constexpr (kTls) {
      // By now a TLS 1.3 origin's session ticket has come with the response.
      if (!session_kept_ && upstream_) {
        state_->KeepSession(session_key_, upstream_->native_handle());
        session_kept_ = true;
      }
    }
    if (chunked && !co_await WriteText(client_, idle(), "0\r\n\r\n")) co_return false;
    if (!res.keep_alive() || !res.is_done()) {
      if (upstream_) Close(*upstream_);
      upstream_.reset();
    }
    if (!keep_alive && !kTls) {  // TLS ends with its own closing message
      error_code ignored;
      beast::get_lowest_layer(client_).socket().shutdown(tcp::socket::shutdown_send, ignored);
    }
    co_return keep_alive&& req.is_done();
  }

  // Decodes what waits into the filter in pieces of its chunk size and
  // sends what the filter hands out.
  net::awaitable<bool> DrainDecoder(ContentDecoder& decoder, PageFilter& filter, bool body_done,
                                    bool chunked, const Target& t, std::string* out) {
    for (;;) {
      std::string error;
      std::string& body = filter.body();
      if (!decoder.Take(&body, body.size() + filter.room(), &error)) {
        std::fprintf(stderr, "velquor: proxy: %s: %s\n", t.host.c_str(), error.c_str());
        co_return false;
      }
      const bool last = body_done && decoder.Drained();
      if (last) filter.End();
      out->clear();
      if (!filter.Run(out, &error)) {
        std::fprintf(stderr, "velquor: proxy: %s: %s\n", t.host.c_str(), error.c_str());
        co_return false;
      }
      if (!co_await WriteBody(client_, idle(), chunked, out->data(), out->size())) {
        co_return false;
      }
      if (last || (decoder.Drained() && !body_done)) co_return true;
    }
  }

  std::shared_ptr<State> state_;
  Client client_;
  beast::flat_buffer client_buf_;
  std::unique_ptr<Upstream> upstream_;
  std::string up_host_;
  std::string up_port_;
  beast::flat_buffer up_buf_;
  uint64_t id_ = 0;
  bool busy_ = false;
  bool tunnelled_ = false;
  // Inspection only: the origin, and the connection to it not yet used.
  Target origin_;
  std::optional<beast::tcp_stream> pending_;
  Impersonation who_;
  std::string session_key_;
  bool session_kept_ = false;
};

net::awaitable<void> Refuse(tcp::socket socket) {
  beast::tcp_stream s(std::move(socket));
  co_await WriteText(s, std::chrono::seconds(5),
                     ErrorResponse(503, "Service Unavailable",
                                   "the proxy is serving as many connections as it may"));
  Close(s);
}

net::awaitable<void> Accept(std::shared_ptr<State> state) {
  for (;;) {
    error_code ec;
    tcp::socket socket = co_await state->acceptor.async_accept(
        net::make_strand(state->ioc), net::redirect_error(net::use_awaitable, ec));
    if (state->stopping) co_return;
    if (ec) {
      if (ec == net::error::operation_aborted) co_return;
      // Out of descriptors, say: wait a little rather than spin.
      net::steady_timer pause(state->ioc, std::chrono::milliseconds(50));
      co_await pause.async_wait(net::redirect_error(net::use_awaitable, ec));
      continue;
    }
    error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    auto executor = socket.get_executor();
    if (state->active >= state->options.max_connections) {
      net::co_spawn(executor, Refuse(std::move(socket)), net::detached);
      continue;
    }
    auto session =
        std::make_shared<Session<beast::tcp_stream>>(state, beast::tcp_stream(std::move(socket)));
    net::co_spawn(
        executor, [session]() -> net::awaitable<void> { co_await session->Run(); }, net::detached);
  }
}

// Waits for SIGINT or SIGTERM, then stops the server gracefully.
net::awaitable<void> StopOnSignal(std::shared_ptr<State> state, net::signal_set& signals) {
  error_code ec;
  co_await signals.async_wait(net::redirect_error(net::use_awaitable, ec));
  if (ec) co_return;
  state->stopping = true;
  state->acceptor.close(ec);
  state->CutAll(true);  // connections waiting for a request go at once
  const auto deadline = std::chrono::steady_clock::now() + state->options.stop_grace;
  net::steady_timer timer(state->ioc);
  bool cut = false;
  while (state->active > 0) {
    if (!cut && std::chrono::steady_clock::now() >= deadline) {
      state->CutAll(false);
      cut = true;
    }
    timer.expires_after(std::chrono::milliseconds(20));
    co_await timer.async_wait(net::redirect_error(net::use_awaitable, ec));
  }
}

}  // namespace

ProxyServer::ProxyServer(const ProxyOptions& options, IClassFactory* factory)
    : state_(std::make_shared<State>(options, factory)) {}

ProxyServer::~ProxyServer() = default;

bool ProxyServer::Listen(std::string* error) {
  error_code ec;
  if (state_->options.ca) {
    static const unsigned char kHttp11[] = "\x08http/1.1";
    SSL_CTX* server = state_->tls_server.native_handle();
    SSL_CTX_set_min_proto_version(server, TLS1_2_VERSION);
    SSL_CTX_set_alpn_select_cb(server, SelectHttp11, nullptr);
    // Browsers coming back resume their sessions instead of a full handshake.
    static const unsigned char kContext[] = "velquor proxy";
    SSL_CTX_set_session_id_context(server, kContext, sizeof kContext - 1);
    SSL_CTX* client = state_->tls_client.native_handle();
    SSL_CTX_set_min_proto_version(client, TLS1_2_VERSION);
    SSL_CTX_set_alpn_protos(client, kHttp11, sizeof kHttp11 - 1);
    state_->tls_client.set_verify_mode(net::ssl::verify_peer);
    state_->tls_client.set_default_verify_paths(ec);
    if (ec) {
      *error = "cannot read the system's trusted certificates: " + ec.message();
      return false;
    }
    if (!state_->options.extra_ca.empty()) {
      const std::string& file = state_->options.extra_ca;
      if (FILE* f = std::fopen(file.c_str(), "r")) {
        std::fclose(f);
      } else {
        *error = "--extra-ca " + file + ": " + std::strerror(errno);
        return false;
      }
      state_->tls_client.load_verify_file(file, ec);
      if (ec) {
        *error = "--extra-ca " + file + ": no PEM certificate in it";
        return false;
      }
    }
  }
  const auto address = net::ip::make_address(state_->options.host, ec);
  if (ec) {
    *error = "'" + state_->options.host + "' is not an IP address";
    return false;
  }
  const tcp::endpoint endpoint(address, state_->options.port);
  auto& a = state_->acceptor;
  a.open(endpoint.protocol(), ec);
  if (!ec) a.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) a.bind(endpoint, ec);
  if (!ec) a.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = "cannot listen on " + state_->options.host + ":" +
             std::to_string(state_->options.port) + ": " + ec.message();
    return false;
  }
  state_->port = a.local_endpoint(ec).port();
  return true;
}

uint16_t ProxyServer::port() const { return state_->port; }

void ProxyServer::Run() {
  net::signal_set signals(state_->ioc, SIGINT, SIGTERM);
  // The listener is used by these two only, one at a time.
  auto strand = net::make_strand(state_->ioc);
  net::co_spawn(strand, Accept(state_), net::detached);
  net::co_spawn(strand, StopOnSignal(state_, signals), net::detached);
  std::vector<std::thread> threads;
  for (unsigned i = 1; i < state_->options.threads; ++i) {
    threads.emplace_back([this] { state_->ioc.run(); });
  }
  state_->ioc.run();
  for (std::thread& t : threads) t.join();
}

}  // namespace velquor::host
