// The ICAP/1.0 wire format as a caching proxy speaks it to a content
// adaptation service: the request head (request line, ICAP fields, the
// Encapsulated list), the encapsulated HTTP header sections, and the chunked
// body with its "ieof" mark. Everything here is a plain function over bytes,
// strict and bounded: a message that breaks the grammar is refused with a
// reason, never guessed at, and no input makes a parser hold more than its
// limit. The server (icap_server.h) reads the socket and feeds these.
//
// The HTTP helpers at the end are what the service needs of an encapsulated
// message; the text helpers under them are the proxy's (proxy/http_text.h).
//
// Thread-safety: none needed; every object belongs to one connection.
#ifndef VELQUOR_HOST_ICAP_ICAP_MESSAGE_H_
#define VELQUOR_HOST_ICAP_ICAP_MESSAGE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velquor::host {

// Header fields in the order received; names as written.
using Fields = std::vector<std::pair<std::string, std::string>>;

// The value of the first field named `name` (ASCII case ignored); nullptr
// when there is none.
const std::string* FindField(const Fields& fields, std::string_view name);

// True when a comma-separated field `name` lists `token` (case ignored).
bool HasToken(const Fields& fields, std::string_view name, std::string_view token);

enum class ParseResult { kIncomplete, kDone, kBad };

// One entity of the Encapsulated list: its name ("req-hdr", "res-hdr",
// "req-body", "res-body", "null-body", "opt-body") and byte offset.
struct Entity {
  std::string name;
  std::size_t offset = 0;
};

struct IcapRequest {
  std::string method;   // "OPTIONS", "REQMOD", "RESPMOD" or another token
  std::string uri;      // as written: icap://host[:port]/service[?query]
  std::string service;  // the URI's path without its query: "/respmod"
  Fields fields;
  std::vector<Entity> encapsulated;  // empty when the field is absent
  bool has_preview = false;
  std::size_t preview = 0;
  bool allow_204 = false;  // "Allow: 204"
  bool keep_alive = true;  // false with "Connection: close"

  // Bytes of encapsulated header sections before the body (the offset of
  // the last entity), and whether a chunked body follows them.
  std::size_t header_bytes() const;
  bool has_body() const;
  // The offset and length of the section `name`; false when absent.
  bool Section(std::string_view name, std::size_t* offset, std::size_t* size) const;
};

// Parses the ICAP request head at the front of `input` (up to and including
// its empty line). kIncomplete when no empty line is there yet and `input` is
// shorter than `limit`; kBad with *why on a malformed head or one longer than
// `limit`. On kDone *head_size is the head's length in bytes. Checks the
// request line, every field's form, Preview, and the Encapsulated list
// against the method (see ParseEncapsulated).
ParseResult ParseIcapHead(std::string_view input, std::size_t limit, IcapRequest* request,
                          std::size_t* head_size, std::string* why);

// Parses an Encapsulated value for `method`: "name=offset" entities separated
// by commas, the first at offset 0, header sections in ascending offsets
// before exactly one body entity at the end, in the combinations ICAP allows
// (REQMOD: [req-hdr] req-body|null-body; RESPMOD: [req-hdr] [res-hdr]
// res-body|null-body; OPTIONS: opt-body|null-body). False with *why.
bool ParseEncapsulated(std::string_view method, std::string_view value, std::vector<Entity>* out,
                       std::string* why);

// An HTTP message head as encapsulated: start line and fields.
struct HttpHead {
  std::string start_line;
  // Request: method, target, version; response: version, status, reason.
  std::string first, second, third;
  int status = 0;  // responses only
  Fields fields;
};

// Parses one complete header section ending with its empty line, nothing
// after it. `response` chooses the start line's grammar. False with *why.
bool ParseHttpHead(std::string_view section, bool response, HttpHead* head, std::string* why);

// The head again as text ending with its empty line, leaving out the fields
// named in `skip` (lower case).
std::string FormatHttpHead(const HttpHead& head, const std::vector<std::string>& skip = {});

// The host a request was for, from an absolute target or its Host field,
// without a port; "" when neither names one.
std::string RequestHost(const HttpHead& request);

// Decodes an ICAP chunked body incrementally. Chunk extensions are allowed
// (and read for "ieof" on the last chunk only); trailer lines after the last
// chunk are read and dropped. Limits: a chunk-size line or trailer line of at
// most kLineLimit bytes, a chunk size below 2^40.
class ChunkDecoder {
 public:
  static constexpr std::size_t kLineLimit = 4096;

  // Consumes bytes from the front of `input` (setting *used), appending chunk
  // data to *out. kDone once the last chunk and its trailer are consumed
  // (bytes after them are left unused); kBad with *why on a framing error.
  ParseResult Feed(std::string_view input, std::size_t* used, std::string* out, std::string* why);
  // The last chunk carried "ieof": the whole body was in the preview.
  bool ieof() const { return ieof_; }
  bool done() const { return state_ == State::kDone; }
  // Starts again for the body's continuation after a 100 Continue.
  void Restart() { *this = ChunkDecoder(); }

 private:
  enum class State { kSize, kData, kDataEnd, kTrailer, kDone };
  State state_ = State::kSize;
  std::string line_;
  uint64_t left_ = 0;
  std::size_t trailers_ = 0;
  bool ieof_ = false;
};

}  // namespace velquor::host

#endif  // VELQUOR_HOST_ICAP_ICAP_MESSAGE_H_
