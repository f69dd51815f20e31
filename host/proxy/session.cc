#include "proxy/session.h"

// Asio's coroutine support uses std::exchange without including <utility>.
#include <utility>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>

#include "proxy/error_pages.h"
#include "proxy/exceptions.h"
#include "proxy/page_relay.h"
#include "proxy/request_filter.h"
#include "proxy/server_state.h"
#include "proxy/status_page.h"
#include "proxy/stream_io.h"
#include "proxy/tls_inspection.h"
#include "proxy/tunnel.h"
#include "proxy/upstream.h"

namespace velquor::host::proxy {

namespace {

using State = ProxyServer::State;

// How often a browser that sent more than its request is checked for having
// gone while its answer is awaited.
constexpr auto kClientCheck = std::chrono::seconds(1);

// True when the other side ended the handshake with an alert that refuses
// the certificate it was shown.
bool RefusedCertificate(const error_code& ec) {
  if (ec.category() != net::error::get_ssl_category()) return false;
  switch (ERR_GET_REASON(static_cast<unsigned long>(ec.value()))) {
    case SSL_R_TLSV1_ALERT_UNKNOWN_CA:
    case SSL_R_SSLV3_ALERT_BAD_CERTIFICATE:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN:
    case SSL_R_SSLV3_ALERT_UNSUPPORTED_CERTIFICATE:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED:
    case SSL_R_TLSV1_ALERT_ACCESS_DENIED:
      return true;
    default:
      return false;
  }
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
      : state_(std::move(state)), client_(std::move(client)), watch_timer_(client_.get_executor()) {
    ++state_->active;
  }

  auto executor() { return client_.get_executor(); }

  // An inspected session serves requests for `origin` only, over the TCP
  // connection the CONNECT opened to it. Without one it answers the first
  // request with `unreached`, why the CONNECT could not reach the origin,
  // or, for a status page name, with that page. `early`: bytes of the
  // browser's handshake that came with the CONNECT.
  void SetOrigin(const Target& origin, std::unique_ptr<beast::tcp_stream> connected,
                 std::optional<Failure> unreached, std::string early) {
    origin_ = origin;
    if (connected) pending_.emplace(std::move(*connected));
    unreached_ = std::move(unreached);
    status_only_ = !connected && !unreached_;
    early_ = std::move(early);
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
  void Cut() {
    Close(client_);
    if (upstream_) Close(*upstream_);
  }

  // While the proxy waits on the origin, a browser that goes away ends the
  // session at once, both of its sockets closed, rather than when the
  // origin or a timeout ends it. Bytes from a browser that stays (a
  // pipelined request, a TLS alert) are left for the session to read; its
  // connection is then checked every kClientCheck instead.
  void WatchClient() {
    if (watching_) return;
    watching_ = true;
    const uint64_t round = ++watch_round_;
    net::co_spawn(
        client_.get_executor(),
        [self = this->shared_from_this(), round]() -> net::awaitable<void> {
          co_await self->Watch(round);
        },
        net::detached);
  }
  // Ends the watch; called only while no other operation on the browser's
  // socket is pending, since it cancels them all.
  void StopWatching() {
    if (!watching_) return;
    watching_ = false;
    ++watch_round_;
    error_code ignored;
    beast::get_lowest_layer(client_).socket().cancel(ignored);
    watch_timer_.cancel();
  }
  net::awaitable<void> Watch(uint64_t round) {
    auto& socket = beast::get_lowest_layer(client_).socket();
    error_code ec;
    co_await socket.async_wait(tcp::socket::wait_read, net::redirect_error(net::use_awaitable, ec));
    while (!ec && round == watch_round_) {
      // The end of the browser's sending, or of its connection, even behind
      // bytes not read yet.
      pollfd p{socket.native_handle(), POLLRDHUP, 0};
      if (::poll(&p, 1, 0) != 0) {
        client_gone_ = true;
        Cut();
        co_return;
      }
      watch_timer_.expires_after(kClientCheck);
      co_await watch_timer_.async_wait(net::redirect_error(net::use_awaitable, ec));
    }
  }

  std::chrono::seconds idle() const { return state_->options.idle_timeout; }

  // Answers the browser's TLS handshake; false (logged) when it fails.
  net::awaitable<bool> Handshake() {
    SSL* ssl = client_.native_handle();
    SSL_set_cert_cb(ssl, ChooseCertificate, &who_);
    error_code ec;
    beast::get_lowest_layer(client_).expires_after(state_->options.handshake_timeout);
    if (early_.empty()) {
      co_await client_.async_handshake(net::ssl::stream_base::server,
                                       net::redirect_error(net::use_awaitable, ec));
    } else {
      co_await client_.async_handshake(net::ssl::stream_base::server, net::buffer(early_),
                                       net::redirect_error(net::use_awaitable, ec));
      early_.clear();
    }
    if (!ec) co_return true;
    const std::string host = who_.server_name.empty() ? who_.connect_host : who_.server_name;
    std::string what;
    if (!who_.error.empty()) {
      what = "the browser's TLS handshake failed: " + who_.error;
    } else if (RefusedCertificate(ec)) {
      what = "the browser refused the proxy's certificate (" + ec.message() + ")";
    } else if (ec == beast::error::timeout) {
      what = "the browser's TLS handshake failed: no TLS handshake within " +
             std::to_string(state_->options.handshake_timeout.count()) + " s";
    } else {
      what = "the browser's TLS handshake failed: " + HandshakeProblem(ec, ssl, false);
    }
    // The likely cause first: a browser that does not trust the local CA
    // yet. Then what helps a program that trusts no certificate but the
    // site's own.
    std::fprintf(stderr,
                 "velquor: proxy: %s:%s: %s. If the browser does not trust the proxy's CA yet, "
                 "'velquor proxy ca' shows how to make it trust it. A program that accepts only "
                 "the site's own certificate needs the site's HTTPS tunnelled: velquor exempt "
                 "--tunnel add %s\n",
                 host.c_str(), origin_.port.c_str(), what.c_str(), host.c_str());
    co_return false;
  }
  // Answers the client with an error page (logged); false: the connection
  // ends.
  net::awaitable<bool> Fail(int status, const char* reason, const std::string& message,
                            const std::string& advice = "") {
    // A browser that went away asked for nothing more.
    if (client_gone_) co_return false;
    std::fprintf(stderr, "velquor: proxy: %d %s: %s\n", status, reason, message.c_str());
    co_await WriteText(client_, idle(), ErrorResponse(status, reason, message, advice));
    co_return false;
  }
  net::awaitable<bool> Fail(const Failure& f) {
    co_return co_await Fail(f.status, f.reason, f.message);
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
      // A client that left or fell silent between requests gets no answer;
      // browsers end TLS connections without a closing message.
      if (ec == http::error::end_of_stream || ec == net::error::eof ||
          ec == beast::error::timeout || ec == net::error::operation_aborted ||
          ec == net::error::connection_reset || ec == net::error::bad_descriptor ||
          ec == net::ssl::error::stream_truncated) {
        co_return false;
      }
      co_return co_await Fail(400, "Bad Request", "malformed request: " + ec.message());
    }
    auto& msg = req.get();
    // Beast refuses a length beside chunked framing and differing lengths.
    std::string why;
    if (const int status = TransferCodingProblem(msg, &why)) {
      co_return co_await Fail(status, status == 501 ? "Not Implemented" : "Bad Request",
                              "the request cannot be forwarded: " + why);
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
      if (status_only_) co_return co_await StatusPage(req);
      if (unreached_) {
        // The origin could not be reached for the CONNECT: say so inside.
        const Failure failure = std::move(*unreached_);
        unreached_.reset();
        co_return co_await Fail(failure);
      }
      co_return co_await Forward(req, t);
    } else {
      if (msg.method() == http::verb::connect) co_return co_await Connect(req);
    }

    if (!target.empty() && target.front() == '/') co_return co_await StatusPage(req);
    Target t;
    if (!ParseAbsolute(target, &t, &why)) co_return co_await Fail(400, "Bad Request", why);
    if (IsOwnAddress(t, state_->port, state_->options.host,
                     beast::get_lowest_layer(client_).socket())) {
      co_return co_await StatusPage(req);
    }
    co_return co_await Forward(req, t);
  }

  net::awaitable<bool> StatusPage(RequestParser& req) {
    auto& msg = req.get();
    if (!req.is_done()) co_return co_await Fail(400, "Bad Request", "no body expected here");
    const bool head = msg.method() == http::verb::head;
    if (msg.method() != http::verb::get && !head) {
      co_return co_await Fail(405, "Method Not Allowed", "the status page answers GET only");
    }
    const std::string html =
        StatusPageHtml(state_->options.library_path, state_->lists.StatusHtml());
    co_await WriteText(client_, idle(), SimpleResponse(200, "OK", html, head));
    co_return false;
  }

  // Opens (or reuses) the connection to the origin. On failure answers the
  // client and returns false.
  net::awaitable<bool> ConnectUpstream(const Target& t, bool* reused) {
    *reused = false;
    if (upstream_ && up_host_ == t.host && up_port_ == t.port &&
        beast::get_lowest_layer(*upstream_).socket().is_open() && Unframed() == 0) {
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
    Failure failure;
    std::unique_ptr<beast::tcp_stream> stream =
        co_await ConnectOrigin(t, state_->options.connect_timeout, &failure);
    if (!stream) {
      co_await Fail(failure);
      co_return false;
    }
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
    if (!ExpectOriginName(ssl, name)) {
      co_await Fail(502, "Bad Gateway", "cannot check a certificate for " + name);
      co_return false;
    }
    session_key_ = name + ":" + t.port;
    session_kept_ = false;
    state_->origin_sessions.Resume(session_key_, ssl);
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
      std::string advice;
      if (SSL_get_verify_result(ssl) != X509_V_OK) {
        advice =
            "To reach the site unfiltered, with its own certificate for the browser to judge: "
            "velquor exempt add " +
            name +
            ". If it is a private site whose certificates come from a CA you trust, start the "
            "proxy with --extra-ca FILE, FILE holding that CA's certificate (PEM).";
      }
      Close(*tls);
      const std::string message = "no secure connection to " + name + ":" + t.port + ": " + why;
      co_await Fail(status, reason, message, advice);
      co_return false;
    }
    upstream_ = std::move(tls);
    up_host_ = t.host;
    up_port_ = t.port;
    co_return true;
  }

  // True when `origin` reached the proxy's own listener.
  bool IsProxyItself(const tcp::socket& origin) const {
    error_code ec;
    const tcp::endpoint remote = origin.remote_endpoint(ec);
    if (ec || remote.port() != state_->port) return false;
    const auto listening = net::ip::make_address(state_->options.host, ec);
    if (ec) return false;
    if (!listening.is_unspecified()) return remote.address() == listening;
    // Listening on every address: any of this machine's reaches it.
    return remote.address().is_loopback() ||
           remote.address() == origin.local_endpoint(ec).address();
  }

  // Bytes the origin sent that no response has framed yet.
  std::size_t Unframed() {
    error_code ec;
    std::size_t n = up_buf_.size() + beast::get_lowest_layer(*upstream_).socket().available(ec);
    if constexpr (kTls) n += static_cast<std::size_t>(SSL_pending(upstream_->native_handle()));
    return ec ? 1 : n;
  }

  net::awaitable<bool> Connect(RequestParser& req) {
    Target t;
    const auto target = req.get().target();
    if (!SplitAuthority(std::string_view(target.data(), target.size()), "", &t)) {
      co_return co_await Fail(400, "Bad Request", "CONNECT needs host:port");
    }
    if (co_await RefuseTunnel(t)) co_return false;
    // A tunnel into the proxy itself would read the rest of the browser's
    // bytes as new requests, each CONNECT there opening one more.
    const std::string loop =
        "CONNECT to " + t.host + ":" + t.port + " would reach the proxy itself";
    if (IsOwnAddress(t, state_->port, state_->options.host,
                     beast::get_lowest_layer(client_).socket())) {
      co_return co_await Fail(403, "Forbidden", loop);
    }
    bool inspect = state_->options.ca && !IsExempt(ReadExceptions(), t.host) &&
                   !IsExempt(ReadTunnelHosts(), t.host);
    upstream_.reset();
    std::optional<Failure> unreached;
    if (!inspect || !IsStatusHost(NormalizeHost(t.host))) {
      Failure failure;
      upstream_ = co_await ConnectOrigin(t, state_->options.connect_timeout, &failure);
      if (!upstream_) {
        // Browsers show no page for a refused CONNECT: when the browser's
        // TLS ends here, the page goes inside it.
        if (!inspect) co_return co_await Fail(failure);
        unreached = std::move(failure);
      } else if (IsProxyItself(upstream_->socket())) {
        Close(*upstream_);
        upstream_.reset();
        co_return co_await Fail(403, "Forbidden", loop);
      }
    }
    if (!co_await WriteText(client_, idle(), "HTTP/1.1 200 Connection established\r\n\r\n")) {
      co_return false;
    }
    if (inspect && client_buf_.size() > 0) {
      // Bytes that came with the CONNECT are the tunnel's first.
      inspect = LooksLikeTls(static_cast<const unsigned char*>(client_buf_.data().data()),
                             client_buf_.size());
    } else if (inspect) {
      inspect = co_await BrowserStartsTls();
    }
    if (inspect) {
      // Inspection: the browser's TLS ends here, and a session of its own
      // serves the requests inside.
      auto inspected = std::make_shared<Session<TlsStream, TlsStream>>(
          state_, TlsStream(std::move(client_), state_->tls_server));
      inspected->SetOrigin(t, std::move(upstream_), std::move(unreached),
                           beast::buffers_to_string(client_buf_.data()));
      client_buf_.clear();
      tunnelled_ = true;  // nothing left here to close
      auto executor = inspected->executor();
      net::co_spawn(
          executor, [inspected]() -> net::awaitable<void> { co_await inspected->Run(); },
          net::detached);
      co_return false;
    }
    if (!upstream_) {
      co_return co_await Fail(
          unreached ? *unreached
                    : Failure{400, "Bad Request", "the status page is reached over TLS only"});
    }
    // The tunnel carries the bytes unseen: exempted hosts, and whatever is
    // not TLS from the browser, pass unfiltered.
    co_await Tunnel();
    co_return false;
  }

  // Refuses (true) a tunnel that would carry requests unseen to a host the
  // filter lists block whole.
  net::awaitable<bool> RefuseTunnel(const Target& t) {
    if (IsExempt(ReadExceptions(), t.host)) co_return false;
    if (state_->options.ca && !IsExempt(ReadTunnelHosts(), t.host)) co_return false;
    const std::shared_ptr<const lists::Engine> lists = state_->lists.Current();
    if (!lists || !lists->BlocksWholeHost(NormalizeHost(t.host))) co_return false;
    state_->lists.CountBlocked();
    co_await WriteText(client_, idle(), RefusedTunnelResponse());
    co_return true;
  }

  // Whether the browser begins a TLS handshake in the tunnel just opened.
  net::awaitable<bool> BrowserStartsTls() {
    co_return co_await proxy::BrowserStartsTls(beast::get_lowest_layer(client_).socket(),
                                               upstream_ ? &upstream_->socket() : nullptr, idle(),
                                               this->shared_from_this());
  }

  // Joins the client and the origin both ways until both have finished.
  net::awaitable<void> Tunnel() {
    busy_ = true;
    tunnelled_ = true;
    co_await proxy::Tunnel(client_, *upstream_, client_buf_, up_buf_, idle(),
                           this->shared_from_this());
  }

  net::awaitable<bool> Forward(RequestParser& req, const Target& t) {
    auto& msg = req.get();
    const std::vector<std::string> exceptions = ReadExceptions();
    const bool exempt = IsExempt(exceptions, t.host);
    if (!exempt) {
      // A request the filter lists block never reaches the origin.
      if (const auto lists = state_->lists.Current()) {
        const bool keep = msg.keep_alive() && req.is_done() && !state_->stopping;
        const std::string answer =
            JudgeRequest(*lists, msg, RequestUrl(t, kTls), NormalizeHost(t.host), exceptions,
                         msg.method() == http::verb::head, keep);
        if (!answer.empty()) {
          state_->lists.CountBlocked();
          co_return co_await WriteText(client_, idle(), answer) && keep;
        }
      }
    }
    const bool upgrade = req.upgrade();
    bool expect_continue = false;
    for (const std::string& e : Tokens(SV(msg[http::field::expect]))) {
      if (e == "100-continue") expect_continue = true;
    }

    // The request as the origin gets it.
    const std::string head = OriginRequestHead(req, t, kTls, exempt);
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
              ec == beast::error::timeout || ec == net::error::connection_reset ||
              ec == net::ssl::error::stream_truncated) {
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

    // From here the proxy waits on the origin while the browser is silent.
    WatchClient();
    struct Unwatch {
      Session* session;
      ~Unwatch() { session->StopWatching(); }
    } unwatch{this};

    // The response head; informational answers other than a switch of
    // protocols are not passed on.
    std::optional<ResponseParser> res;
    if (std::optional<Failure> failure =
            co_await ReadResponseHead(*upstream_, up_buf_, &res, msg.method() == http::verb::head,
                                      upgrade, state_->options.response_timeout, t)) {
      upstream_.reset();
      co_return co_await Fail(*failure);
    }
    co_return co_await Respond(req, *res, t, exempt);
  }

  net::awaitable<bool> Respond(RequestParser& req, ResponseParser& res, const Target& t,
                               bool exempt) {
    auto& msg = req.get();
    auto& rmsg = res.get();
    const int status = rmsg.result_int();
    if (status == 101) {
      StopWatching();  // the tunnel reads the browser from now on
      const std::string head = SwitchingProtocolsHead(res);
      if (!co_await WriteText(client_, idle(), head)) co_return false;
      co_await Tunnel();
      co_return false;
    }
    const bool head_request = msg.method() == http::verb::head;
    const bool has_body = !head_request && status != 204 && status != 304 && status >= 200;

    // Decide whether the body goes through the filter.
    PageRelay page;
    if (has_body) {
      page = StartPageRelay(state_->factory, status, exempt, SV(rmsg[http::field::content_type]),
                            std::string(rmsg[http::field::content_encoding]), t.host);
      if (page.filter && !exempt) {
        page.hiding = ElementHiding::Start(state_->lists.Current(), RequestUrl(t, kTls));
      }
    }

    const bool client11 = msg.version() >= 11;
    bool keep_alive = msg.keep_alive() && !state_->stopping;
    bool chunked = false;
    std::string why;
    if (!co_await PrimePage(*upstream_, up_buf_, res, state_->options.response_timeout, page,
                            &why)) {
      upstream_.reset();
      co_return co_await Fail(502, "Bad Gateway", t.host + ":" + t.port + ": " + why);
    }
    const std::string head =
        ClientResponseHead(res, has_body, page.filter != nullptr, client11, &keep_alive, &chunked);
    if (!co_await WriteText(client_, idle(), head)) co_return false;

    if (has_body) {
      const RelayEnd end =
          co_await RelayBody(*upstream_, up_buf_, res, state_->options.response_timeout, client_,
                             idle(), chunked, page, t);
      if (end == RelayEnd::kClientGone) co_return false;
      if (end == RelayEnd::kFailed) {
        // Cut the connection without the closing chunk, so that the browser
        // sees an incomplete page rather than a short one.
        upstream_.reset();
        co_return false;
      }
    }
    if constexpr (kTls) {
      // By now a TLS 1.3 origin's session ticket has come with the response.
      if (!session_kept_ && upstream_) {
        state_->origin_sessions.Keep(session_key_, upstream_->native_handle());
        session_kept_ = true;
      }
    }
    if (chunked && !co_await WriteText(client_, idle(), "0\r\n\r\n")) co_return false;
    if (upstream_ && !KeepOrigin(res, Unframed())) {
      if (upstream_) Close(*upstream_);
      upstream_.reset();
    }
    if (!keep_alive && !kTls) {  // TLS ends with its own closing message
      error_code ignored;
      beast::get_lowest_layer(client_).socket().shutdown(tcp::socket::shutdown_send, ignored);
    }
    co_return keep_alive&& req.is_done();
  }

  std::shared_ptr<State> state_;
  Client client_;
  net::steady_timer watch_timer_;
  bool watching_ = false;
  uint64_t watch_round_ = 0;
  bool client_gone_ = false;
  beast::flat_buffer client_buf_;
  std::unique_ptr<Upstream> upstream_;
  std::string up_host_;
  std::string up_port_;
  beast::flat_buffer up_buf_;
  uint64_t id_ = 0;
  bool busy_ = false;
  bool tunnelled_ = false;
  // Inspection only: the origin, and the connection to it not yet used, or
  // why there is none.
  Target origin_;
  std::optional<beast::tcp_stream> pending_;
  std::optional<Failure> unreached_;
  bool status_only_ = false;
  Impersonation who_;
  std::string session_key_;
  bool session_kept_ = false;
  std::string early_;
};

}  // namespace

void StartSession(std::shared_ptr<State> state, beast::tcp_stream client) {
  auto executor = client.get_executor();
  auto session = std::make_shared<Session<beast::tcp_stream>>(std::move(state), std::move(client));
  net::co_spawn(
      executor, [session]() -> net::awaitable<void> { co_await session->Run(); }, net::detached);
}

}  // namespace velquor::host::proxy
