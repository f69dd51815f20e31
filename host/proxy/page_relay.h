// A response body on its way to the browser: passed as it comes, or, for an
// HTML page, decoded from its content coding and sent through a filter
// object of the loaded library, in pieces as the filter hands them out.
#ifndef VELQUOR_HOST_PROXY_PAGE_RELAY_H_
#define VELQUOR_HOST_PROXY_PAGE_RELAY_H_

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "proxy/content_decoder.h"
#include "proxy/element_hiding.h"
#include "proxy/http_util.h"
#include "proxy/page_filter.h"
#include "proxy/stream_io.h"
#include "velquor/velquor.h"

namespace velquor::host::proxy {

// A filtered body is handed on once this much has come, or when no more
// comes within kGatherWait.
constexpr std::size_t kMinChunk = 16 * 1024;
constexpr auto kGatherWait = std::chrono::milliseconds(20);

// The filter of one page and the decoder of its coding: both set, or
// neither when the body passes unfiltered. `hiding`, when set, adds the
// filter lists' element hiding to what the filter hands out.
struct PageRelay {
  std::unique_ptr<ContentDecoder> decoder;
  std::unique_ptr<PageFilter> filter;
  std::unique_ptr<ElementHiding> hiding;
};

// Readies the filter for a response with a body of `content_type` and
// `content_encoding`: HTML in a coding the proxy can undo, not a partial
// answer (206), not from an exempted host. A filter that cannot start is
// logged (naming `host`, as the command `who` says) and the page passes
// unfiltered.
PageRelay StartPageRelay(IClassFactory* factory, int status, bool exempt,
                         std::string_view content_type, const std::string& content_encoding,
                         const std::string& host, const char* who = "proxy");

enum class RelayEnd {
  kDone,        // the whole body went out
  kClientGone,  // writing to the client failed
  kFailed,      // the body ended early or the filter failed (logged)
};

// Decodes what waits into the filter in pieces of its chunk size and sends
// what the filter hands out. False when decoding, the filter (logged,
// naming `host`, as the command `who` says) or writing fails.
template <class Sink>
net::awaitable<bool> DrainDecoder(ContentDecoder& decoder, PageFilter& filter, bool body_done,
                                  Sink& to, std::chrono::seconds write_timeout, bool chunked,
                                  const std::string& host, std::string* out,
                                  ElementHiding* hiding = nullptr, const char* who = "proxy") {
  for (;;) {
    std::string error;
    std::string& body = filter.body();
    if (!decoder.Take(&body, body.size() + filter.room(), &error)) {
      std::fprintf(stderr, "velquor: %s: %s: %s\n", who, host.c_str(), error.c_str());
      co_return false;
    }
    const bool last = body_done && decoder.Drained();
    if (last) filter.End();
    out->clear();
    if (!filter.Run(out, &error)) {
      std::fprintf(stderr, "velquor: %s: %s: %s\n", who, host.c_str(), error.c_str());
      co_return false;
    }
    if (hiding) hiding->Pass(out, last);
    if (!co_await WriteBody(to, write_timeout, chunked, out->data(), out->size())) {
      co_return false;
    }
    if (last || (decoder.Drained() && !body_done)) co_return true;
  }
}

// Reads the first piece of a coded page's body (`res` reading from `from`)
// and decodes it, before the response head goes out: a body the proxy cannot
// decode, or not within the memory it allows for decoding, then gets an
// error page rather than a cut. False with *why.
template <class Source, class Parser>
net::awaitable<bool> PrimePage(Source& from, beast::flat_buffer& from_buf, Parser& res,
                               std::chrono::seconds read_timeout, PageRelay& page,
                               std::string* why) {
  if (!page.filter || page.decoder->Identity() || res.is_done()) co_return true;
  std::vector<char> buf(kBodyBuffer);
  error_code ec;
  beast::get_lowest_layer(from).expires_after(read_timeout);
  const std::size_t n = co_await ReadBodySome(from, from_buf, res, buf.data(), buf.size(), ec);
  if (ec) {
    *why = "the response ended early (" + ec.message() + ")";
    co_return false;
  }
  page.decoder->Put(buf.data(), n);
  std::string& body = page.filter->body();
  co_return page.decoder->Take(&body, body.size() + page.filter->room(), why);
}

// Relays the body that `res` reads from `from` (its bytes read ahead in
// `from_buf`, each read within `read_timeout`) to `to` (each write within
// `write_timeout`), in chunked framing when `chunked`, through `page`'s
// filter when it has one. Writes no closing chunk. `t` names the origin in
// the log.
template <class Source, class Parser, class Sink>
net::awaitable<RelayEnd> RelayBody(Source& from, beast::flat_buffer& from_buf, Parser& res,
                                   std::chrono::seconds read_timeout, Sink& to,
                                   std::chrono::seconds write_timeout, bool chunked,
                                   PageRelay& page, const Target& t) {
  std::vector<char> buf(kBodyBuffer);
  std::string out;
  PageFilter* filter = page.filter.get();
  ContentDecoder* decoder = page.decoder.get();
  if (filter && !filter->body().empty() && !res.is_done()) {
    // What PrimePage decoded goes out before more is read.
    if (!co_await DrainDecoder(*decoder, *filter, false, to, write_timeout, chunked, t.host,
                               &out)) {
      co_return RelayEnd::kFailed;
    }
  }
  while (!res.is_done()) {
    error_code ec;
    std::size_t n = 0;
    for (;;) {
      beast::get_lowest_layer(from).expires_after(read_timeout);
      n += co_await ReadBodySome(from, from_buf, res, buf.data() + n, buf.size() - n, ec);
      if (ec || !filter || res.is_done() || n >= kMinChunk) break;
      // An origin that sends a page in small pieces: gather for a moment,
      // since a link cut at the end of a short chunk may pass unfiltered.
      if (!co_await MoreArrives(from, kGatherWait)) break;
    }
    if (ec) {
      // An operation cancelled was cut by the proxy itself: the browser went
      // away, or the proxy stops.
      if (ec != net::error::operation_aborted) {
        std::fprintf(stderr, "velquor: proxy: %s:%s: the response ended early (%s)\n",
                     t.host.c_str(), t.port.c_str(), ec.message().c_str());
      }
      co_return RelayEnd::kFailed;
    }
    if (!filter) {
      if (!co_await WriteBody(to, write_timeout, chunked, buf.data(), n)) {
        co_return RelayEnd::kClientGone;
      }
      continue;
    }
    // A body without a coding goes to the filter without a copy on the way.
    if (decoder->Identity()) {
      filter->body().append(buf.data(), n);
    } else {
      decoder->Put(buf.data(), n);
    }
    if (!co_await DrainDecoder(*decoder, *filter, res.is_done(), to, write_timeout, chunked, t.host,
                               &out, page.hiding.get())) {
      co_return RelayEnd::kFailed;
    }
  }
  if (filter && !filter->done()) {
    // A body with no bytes at all still ends the page.
    if (!co_await DrainDecoder(*decoder, *filter, true, to, write_timeout, chunked, t.host, &out,
                               page.hiding.get())) {
      co_return RelayEnd::kFailed;
    }
  }
  co_return RelayEnd::kDone;
}

}  // namespace velquor::host::proxy

#endif  // VELQUOR_HOST_PROXY_PAGE_RELAY_H_
