#include "icap/icap_server.h"

// Asio's coroutine support uses std::exchange without including <utility>.
#include <utility>

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <vector>

#include "host_names.h"
#include "proxy/element_hiding.h"
#include "proxy/exceptions.h"
#include "proxy/http_text.h"
#include "proxy/library_reloader.h"
#include "proxy/listener.h"
#include "proxy/page_relay.h"
#include "proxy/request_filter.h"
#include "settings/store.h"

namespace velquor::host {

namespace net = proxy::net;
namespace beast = proxy::beast;
using proxy::error_code;
namespace http = proxy::http;
using proxy::tcp;

namespace {

constexpr std::size_t kReadSize = 64 * 1024;

// Fields of the origin's response that no longer hold once the body is
// filtered: the filter changes its length and undoes its coding.
const std::vector<std::string> kFilteredSkip = {"content-length", "content-encoding", "content-md5",
                                                "transfer-encoding"};

uint64_t Fnv(uint64_t h, std::string_view s) {
  for (char c : s) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3ull;
  }
  // A separator, so that ("ab","c") and ("a","bc") differ.
  h ^= 0xFF;
  return h * 0x100000001b3ull;
}

// The user rules file as the reloading library tells one version from
// another, so that the tag changes exactly when the rules in use do.
std::string RulesVersion() {
  const RulesFingerprint print = TakeRulesFingerprint();
  return print.path + '\n' + (print.readable ? "1/" : "0/") + std::to_string(print.size) + "/" +
         std::to_string(print.write_time);
}

// The address of a request as the filter lists read it: an absolute target
// as it stands (a caching proxy sends those), else the target under its Host
// field. "" when there is neither.
std::string UrlOf(const HttpHead& request) {
  const std::string& target = request.second;
  if (target.find("://") != std::string::npos) return target;
  const std::string* host = FindField(request.fields, "Host");
  if (host == nullptr || host->empty() || target.empty() || target.front() != '/') return "";
  return "http://" + *host + target;
}

}  // namespace

std::string CurrentIsTag(const IcapOptions& options, const std::string& lists) {
  static std::mutex mutex;
  static std::string tag;
  static std::string tag_for;
  static std::chrono::steady_clock::time_point made;
  const auto now = std::chrono::steady_clock::now();
  const std::string key = options.library_path + '\n' + lists;
  std::lock_guard<std::mutex> lock(mutex);
  if (!tag.empty() && tag_for == key && now - made < std::chrono::seconds(1)) return tag;
  uint64_t h = 0xcbf29ce484222325ull;
  for (std::size_t i = 0; i < kStoreValueCount; ++i) {
    const StoreValue& v = kStoreValues[i];
    if (std::strcmp(v.key, kConfigKey) != 0) continue;
    h = Fnv(h, v.name);
    if (v.type == StoreType::kNumber) {
      h = Fnv(h, std::to_string(ReadSetting(v)));
    } else {
      // A value never set differs from any stored text.
      h = Fnv(h, ReadTextSetting(v, std::string("\x01unset", 6)));
    }
  }
  h = Fnv(h, RulesVersion());
  struct stat st {};
  if (!options.library_path.empty() && stat(options.library_path.c_str(), &st) == 0) {
    h = Fnv(h, std::to_string(st.st_size) + "/" + std::to_string(st.st_mtim.tv_sec) + "." +
                   std::to_string(st.st_mtim.tv_nsec));
  }
  h = Fnv(h, key);
  char text[32];
  std::snprintf(text, sizeof text, "\"VQ-%016llx\"", static_cast<unsigned long long>(h));
  tag = text;
  tag_for = key;
  made = now;
  return tag;
}

struct IcapServer::State : proxy::Listener {
  IcapOptions options;
  IClassFactory* factory;
  proxy::FilterLists lists;

  State(const IcapOptions& o, IClassFactory* f)
      : options(o), factory(f), lists(o.lists_dir, "icap") {}

  std::string IsTag() {
    lists.Current();  // looks at the folder again when it is time
    return CurrentIsTag(options, lists.Identity());
  }
};

namespace {

using State = IcapServer::State;

// An ICAP response head without an encapsulated message of its own.
std::string StatusHead(State& state, int status, const char* reason, bool close,
                       const std::string& encapsulated = "null-body=0") {
  std::string head = "ICAP/1.0 " + std::to_string(status) + " " + reason +
                     "\r\nDate: " + proxy::HttpDate() +
                     "\r\nServer: velquor icap\r\nISTag: " + state.IsTag() +
                     "\r\nEncapsulated: " + encapsulated + "\r\n";
  if (close) head += "Connection: close\r\n";
  return head + "\r\n";
}

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(std::shared_ptr<State> state, tcp::socket socket)
      : state_(std::move(state)), stream_(std::move(socket)) {
    ++state_->active;
  }
  ~Session() {
    state_->Leave(id_);
    --state_->active;
  }

  net::awaitable<void> Run() {
    auto self = shared_from_this();
    std::weak_ptr<Session> weak = self;
    auto executor = stream_.get_executor();
    id_ = state_->Enrol([weak, executor](bool idle_only) {
      net::post(executor, [weak, idle_only] {
        if (auto s = weak.lock(); s && (!idle_only || !s->busy_)) s->Close();
      });
    });
    bool fault = false;
    try {
      while (co_await ServeOne()) {
        if (state_->stopping) break;
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "velquor: icap: internal fault: %s\n", e.what());
      fault = true;
    }
    if (fault && !answered_) {
      co_await Write(StatusHead(*state_, 500, "Server Error", true));
    }
    Close();
  }

 private:
  void Close() { proxy::Close(stream_); }

  std::chrono::seconds idle() const { return state_->options.idle_timeout; }

  // Appends what the client sends next to in_; false when it left, fell
  // silent past the idle timeout or was cut.
  net::awaitable<bool> ReadMore() {
    const std::size_t old = in_.size();
    in_.resize(old + kReadSize);
    error_code ec;
    stream_.expires_after(idle());
    const std::size_t n = co_await stream_.async_read_some(
        net::buffer(in_.data() + old, kReadSize), net::redirect_error(net::use_awaitable, ec));
    in_.resize(old + n);
    co_return !ec && n > 0;
  }

  net::awaitable<bool> Write(const std::string& text) {
    if (text.empty()) co_return true;
    co_return co_await proxy::WriteText(stream_, idle(), text);
  }

  // One chunk of an ICAP body (nothing for an empty piece).
  net::awaitable<bool> WriteChunk(const std::string& data) {
    co_return co_await proxy::WriteBody(stream_, idle(), true, data.data(), data.size());
  }

  // Answers with an error status and ends the connection.
  net::awaitable<bool> Fail(int status, const char* reason, const std::string& why) {
    std::fprintf(stderr, "velquor: icap: %d %s: %s\n", status, reason, why.c_str());
    if (!answered_) co_await Write(StatusHead(*state_, status, reason, true));
    co_return false;
  }

  // Moves decoded body bytes from in_ to *data until at least one byte came
  // or the body (or preview) ended. False when the client left or broke the
  // chunked framing (bad_ set, why_ saying how).
  net::awaitable<bool> Pull(ChunkDecoder& decoder, std::string* data) {
    for (;;) {
      const std::size_t before = data->size();
      std::size_t used = 0;
      const ParseResult r = decoder.Feed(in_, &used, data, &why_);
      in_.erase(0, used);
      if (r == ParseResult::kBad) {
        bad_ = true;
        co_return false;
      }
      if (r == ParseResult::kDone || data->size() > before) co_return true;
      if (!co_await ReadMore()) co_return false;
    }
  }

  // Reads the body (or the preview) to its last chunk, keeping nothing.
  net::awaitable<bool> Discard() {
    ChunkDecoder decoder;
    std::string sink;
    while (!decoder.done()) {
      sink.clear();
      if (!co_await Pull(decoder, &sink)) co_return false;
    }
    co_return true;
  }

  // What ends a message whose body could not be read: a 400 for broken
  // framing (when nothing was answered yet), else just the end.
  net::awaitable<bool> Broken() {
    if (bad_) co_return co_await Fail(400, "Bad Request", why_);
    co_return false;
  }

  // Serves one ICAP message; true when the connection may carry another.
  net::awaitable<bool> ServeOne() {
    busy_ = !in_.empty();
    answered_ = false;
    bad_ = false;
    IcapRequest req;
    std::size_t head_size = 0;
    for (;;) {
      if (!in_.empty()) {
        const ParseResult r =
            ParseIcapHead(in_, state_->options.head_limit, &req, &head_size, &why_);
        if (r == ParseResult::kDone) break;
        if (r == ParseResult::kBad) co_return co_await Fail(400, "Bad Request", why_);
      }
      // A client that leaves between messages gets no answer.
      if (!co_await ReadMore()) co_return false;
      busy_ = true;
    }
    in_.erase(0, head_size);
    keep_alive_ = req.keep_alive && !state_->stopping;

    const bool respmod = req.service == "/respmod";
    if (!respmod && req.service != "/reqmod") {
      co_return co_await Fail(404, "ICAP Service Not Found",
                              "no service at '" + req.uri + "' (there are /respmod and /reqmod)");
    }
    if (req.method == "OPTIONS") {
      if (req.has_body() && !co_await Discard()) co_return co_await Broken();
      co_return co_await Options(respmod);
    }
    if (req.method != "REQMOD" && req.method != "RESPMOD") {
      co_return co_await Fail(501, "Method Not Implemented",
                              "the method '" + req.method + "' is not ICAP's");
    }
    if ((req.method == "RESPMOD") != respmod) {
      co_return co_await Fail(405, "Method Not Allowed For Service",
                              req.method + " is not served at " + req.service);
    }
    const std::size_t header_bytes = req.header_bytes();
    if (header_bytes > state_->options.http_head_limit) {
      co_return co_await Fail(400, "Bad Request",
                              "encapsulated headers of " + std::to_string(header_bytes) +
                                  " bytes, more than " +
                                  std::to_string(state_->options.http_head_limit));
    }
    while (in_.size() < header_bytes) {
      if (!co_await ReadMore()) co_return false;
    }
    const std::string sections = in_.substr(0, header_bytes);
    in_.erase(0, header_bytes);
    HttpHead request;
    HttpHead response;
    std::size_t at = 0;
    std::size_t size = 0;
    const bool has_request = req.Section("req-hdr", &at, &size);
    if (has_request &&
        !ParseHttpHead(std::string_view(sections).substr(at, size), false, &request, &why_)) {
      co_return co_await Fail(400, "Bad Request", why_);
    }
    if (!respmod) {
      co_return co_await Reqmod(req, has_request ? &request : nullptr,
                                std::string_view(sections).substr(at, size));
    }
    if (req.Section("res-hdr", &at, &size)) {
      const std::string_view section = std::string_view(sections).substr(at, size);
      if (!ParseHttpHead(section, true, &response, &why_)) {
        co_return co_await Fail(400, "Bad Request", why_);
      }
      co_return co_await Respmod(req, has_request ? &request : nullptr, response, section);
    }
    co_return co_await Pass(req, "res-hdr", "", "res-body");
  }

  net::awaitable<bool> Options(bool respmod) {
    const IcapOptions& o = state_->options;
    std::string head = "ICAP/1.0 200 OK\r\nDate: " + proxy::HttpDate() +
                       "\r\nServer: velquor icap\r\nMethods: " + (respmod ? "RESPMOD" : "REQMOD") +
                       "\r\nService: Velquor " + (respmod ? "page filter" : "request filter") +
                       "\r\nISTag: " + state_->IsTag() +
                       "\r\nMax-Connections: " + std::to_string(o.max_connections) +
                       "\r\nOptions-TTL: " + std::to_string(o.options_ttl.count()) +
                       "\r\nAllow: 204\r\nPreview: 0\r\nTransfer-Preview: *\r\n"
                       "Encapsulated: null-body=0\r\n";
    if (!keep_alive_) head += "Connection: close\r\n";
    answered_ = true;
    co_return co_await Write(head + "\r\n") && keep_alive_;
  }

  // Leaves the message as it is: 204 when the client allows it (always
  // after a preview), else the message sent back unchanged.
  net::awaitable<bool> Pass(const IcapRequest& req, const char* header_name,
                            std::string_view header, const char* body_name) {
    if (req.has_preview || req.allow_204) {
      // After a preview its last chunk ends what crosses; otherwise the
      // client sends the whole body before it reads an answer.
      if (req.has_body() && !co_await Discard()) co_return co_await Broken();
      answered_ = true;
      co_return co_await Write(StatusHead(*state_, 204, "No Content", !keep_alive_)) && keep_alive_;
    }
    std::string encapsulated;
    if (!header.empty()) encapsulated = std::string(header_name) + "=0, ";
    encapsulated +=
        std::string(req.has_body() ? body_name : "null-body") + "=" + std::to_string(header.size());
    answered_ = true;
    if (!co_await Write(StatusHead(*state_, 200, "OK", !keep_alive_, encapsulated) +
                        std::string(header))) {
      co_return false;
    }
    if (!req.has_body()) co_return keep_alive_;
    ChunkDecoder decoder;
    std::string data;
    while (!decoder.done()) {
      data.clear();
      if (!co_await Pull(decoder, &data) || !co_await WriteChunk(data)) co_return false;
    }
    co_return co_await Write("0\r\n\r\n") && keep_alive_;
  }

  net::awaitable<bool> Reqmod(const IcapRequest& req, const HttpHead* request,
                              std::string_view section) {
    const std::string blocked = request ? Judge(*request) : "";
    if (blocked.empty()) {
      co_return co_await Pass(req, "req-hdr", request ? section : "", "req-body");
    }
    state_->lists.CountBlocked();
    if (req.has_body() && !co_await Discard()) co_return co_await Broken();
    const std::size_t split = blocked.find("\r\n\r\n");
    const std::string head = blocked.substr(0, split == std::string::npos ? split : split + 4);
    const std::string body = split == std::string::npos ? "" : blocked.substr(split + 4);
    answered_ = true;
    const std::string encapsulated = "res-hdr=0, " +
                                     std::string(body.empty() ? "null-body=" : "res-body=") +
                                     std::to_string(head.size());
    if (!co_await Write(StatusHead(*state_, 200, "OK", !keep_alive_, encapsulated) + head)) {
      co_return false;
    }
    if (body.empty()) co_return keep_alive_;
    co_return co_await WriteChunk(body) && co_await Write("0\r\n\r\n") && keep_alive_;
  }

  // The response the filtering proxy gives `request` when the filter lists
  // block it; "" when it may go on.
  std::string Judge(const HttpHead& request) {
    const std::shared_ptr<const lists::Engine> lists = state_->lists.Current();
    if (!lists) return "";
    const std::vector<std::string> exceptions = ReadExceptions();
    if (request.first == "CONNECT") {
      proxy::Target t;
      if (!proxy::SplitAuthority(request.second, "443", &t) || IsExempt(exceptions, t.host) ||
          !lists->BlocksWholeHost(NormalizeHost(t.host))) {
        return "";
      }
      return proxy::RefusedTunnelResponse();
    }
    const std::string host = RequestHost(request);
    const std::string url = UrlOf(request);
    if (host.empty() || url.empty() || IsExempt(exceptions, host)) return "";
    http::fields fields;
    for (const auto& [name, value] : request.fields) fields.insert(name, value);
    return proxy::JudgeRequest(*lists, fields, url, NormalizeHost(host), exceptions,
                               request.first == "HEAD", true);
  }

  net::awaitable<bool> Respmod(const IcapRequest& req, const HttpHead* request,
                               const HttpHead& response, std::string_view section) {
    const int status = response.status;
    const std::string* type = FindField(response.fields, "Content-Type");
    const std::string host = request ? RequestHost(*request) : "";
    proxy::PageRelay page;
    if (req.has_body() && status >= 200 && status != 204 && status != 304 && type != nullptr &&
        proxy::IsHtml(*type)) {
      // The exempted hosts are read for pages only.
      const bool exempt = !host.empty() && IsExempt(ReadExceptions(), host);
      const std::string* coding = FindField(response.fields, "Content-Encoding");
      page = proxy::StartPageRelay(state_->factory, status, exempt, *type, coding ? *coding : "",
                                   host, "icap");
      if (page.filter && !exempt && request != nullptr) {
        page.hiding = proxy::ElementHiding::Start(state_->lists.Current(), UrlOf(*request));
      }
    }
    if (!page.filter) co_return co_await Pass(req, "res-hdr", section, "res-body");
    ContentDecoder& decoder = *page.decoder;
    PageFilter& filter = *page.filter;

    ChunkDecoder chunks;
    std::string data;
    bool body_done = false;
    if (req.has_preview) {
      while (!chunks.done()) {
        if (!co_await Pull(chunks, &data)) co_return co_await Broken();
      }
      body_done = chunks.ieof();
      if (!body_done) {
        if (!co_await Write("ICAP/1.0 100 Continue\r\n\r\n")) co_return false;
        chunks.Restart();
      }
    }
    const std::string head = FormatHttpHead(response, kFilteredSkip);
    answered_ = true;
    if (!co_await Write(StatusHead(*state_, 200, "OK", !keep_alive_,
                                   "res-hdr=0, res-body=" + std::to_string(head.size())) +
                        head)) {
      co_return false;
    }
    std::string out;
    for (;;) {
      while (!body_done && data.size() < proxy::kMinChunk) {
        // Whatever cannot be read ends the message here: the client sees
        // no last chunk, so an incomplete page rather than a short one.
        if (!co_await Pull(chunks, &data)) {
          if (bad_) std::fprintf(stderr, "velquor: icap: %s: %s\n", host.c_str(), why_.c_str());
          co_return false;
        }
        if (chunks.done()) {
          body_done = true;
        } else if (!co_await proxy::MoreArrives(stream_, proxy::kGatherWait)) {
          break;
        }
      }
      if (decoder.Identity()) {
        filter.body().append(data);
      } else {
        decoder.Put(data.data(), data.size());
      }
      data.clear();
      if (!co_await proxy::DrainDecoder(decoder, filter, body_done, stream_, idle(), true, host,
                                        &out, page.hiding.get(), "icap")) {
        co_return false;
      }
      if (body_done) break;
    }
    co_return co_await Write("0\r\n\r\n") && keep_alive_;
  }

  std::shared_ptr<State> state_;
  beast::tcp_stream stream_;
  std::string in_;  // received, not yet parsed
  std::string why_;
  uint64_t id_ = 0;
  bool busy_ = false;      // inside a message: a stop lets it finish
  bool answered_ = false;  // a response head went out for this message
  bool bad_ = false;       // the chunked framing broke
  bool keep_alive_ = true;
};

}  // namespace

IcapServer::IcapServer(const IcapOptions& options, IClassFactory* factory)
    : state_(std::make_shared<State>(options, factory)) {}

IcapServer::~IcapServer() = default;

bool IcapServer::Listen(std::string* error) {
  if (!proxy::Listen(*state_, state_->options.host, state_->options.port, error)) return false;
  state_->lists.Load();
  return true;
}

uint16_t IcapServer::port() const { return state_->port; }

void IcapServer::Run() {
  proxy::ServeOptions serve;
  serve.threads = state_->options.threads;
  serve.max_connections = state_->options.max_connections;
  serve.stop_grace = state_->options.stop_grace;
  serve.start = [state = state_](tcp::socket socket) {
    auto executor = socket.get_executor();
    auto session = std::make_shared<Session>(state, std::move(socket));
    net::co_spawn(
        executor, [session]() -> net::awaitable<void> { co_await session->Run(); }, net::detached);
  };
  serve.name = "the ICAP service";
  serve.refusal = [state = state_](const std::string& why) {
    std::fprintf(stderr, "velquor: icap: 503 Service Unavailable: %s\n", why.c_str());
    return StatusHead(*state, 503, "Service Unavailable", true);
  };
  proxy::Serve(state_, std::move(serve));
}

}  // namespace velquor::host
