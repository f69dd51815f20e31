// Fuzz target: the ICAP service's parser, given the input as the bytes a
// client sends: the head, the encapsulated HTTP header sections and the
// chunked body. The first input byte chooses where the body is split in two.
//
// Properties beyond no crash and no hang: a parsed head lies within the input
// and the limit, and parsing it again gives the same request; the
// Encapsulated offsets start at 0 and ascend; a header section that parses
// formats back to text that parses to the same fields; and the chunked body
// decodes to the same bytes, result and "ieof" whether fed whole or split.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "icap/icap_message.h"

namespace velquor::fuzz {
namespace {

using host::ChunkDecoder;
using host::HttpHead;
using host::IcapRequest;
using host::ParseResult;

constexpr std::size_t kLimit = 4096;

struct Decoded {
  ParseResult result = ParseResult::kIncomplete;
  std::string out;
  std::size_t used = 0;
  bool ieof = false;
};

Decoded Decode(const std::string& body, std::size_t split) {
  ChunkDecoder d;
  Decoded r;
  std::string why;
  std::size_t used = 0;
  r.result = d.Feed(body.substr(0, split), &used, &r.out, &why);
  r.used = used;
  if (r.result == ParseResult::kIncomplete && used == split) {
    r.result = d.Feed(body.substr(split), &used, &r.out, &why);
    r.used += used;
  }
  r.ieof = d.ieof();
  return r;
}

void CheckSection(const std::string& section, bool response) {
  HttpHead head;
  std::string why;
  if (!host::ParseHttpHead(section, response, &head, &why)) return;
  HttpHead again;
  const std::string text = host::FormatHttpHead(head);
  if (!host::ParseHttpHead(text, response, &again, &why))
    Fail("a formatted head does not parse", why);
  if (again.fields != head.fields || again.start_line != head.start_line) {
    Fail("a formatted head parses differently", text);
  }
  host::RequestHost(head);
}

}  // namespace
}  // namespace velquor::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velquor::fuzz;
  InputReader in(data, size);
  const uint8_t split_seed = in.Byte();
  const std::string message = in.Rest();
  IcapRequest request;
  std::size_t head_size = 0;
  std::string why;
  const ParseResult r = velquor::host::ParseIcapHead(message, kLimit, &request, &head_size, &why);
  if (r == ParseResult::kBad && why.empty()) Fail("a refused head without a reason");
  if (r != ParseResult::kDone) return 0;
  if (head_size > message.size() || head_size > kLimit + 4) Fail("head beyond the input");
  IcapRequest again;
  std::size_t again_size = 0;
  if (velquor::host::ParseIcapHead(message.substr(0, head_size), kLimit, &again, &again_size,
                                   &why) != ParseResult::kDone ||
      again_size != head_size || again.fields != request.fields) {
    Fail("the head alone parses differently");
  }
  for (std::size_t i = 0; i < request.encapsulated.size(); ++i) {
    if (i == 0 ? request.encapsulated[0].offset != 0
               : request.encapsulated[i].offset <= request.encapsulated[i - 1].offset) {
      Fail("Encapsulated offsets do not ascend from 0");
    }
  }
  const std::string rest = message.substr(head_size);
  std::size_t at = 0;
  std::size_t length = 0;
  if (request.Section("req-hdr", &at, &length) && at + length <= rest.size()) {
    CheckSection(rest.substr(at, length), false);
  }
  if (request.Section("res-hdr", &at, &length) && at + length <= rest.size()) {
    CheckSection(rest.substr(at, length), true);
  }
  if (!request.has_body() || request.header_bytes() > rest.size()) return 0;
  const std::string body = rest.substr(request.header_bytes());
  const Decoded whole = Decode(body, body.size());
  const Decoded split = Decode(body, body.empty() ? 0 : split_seed % (body.size() + 1));
  // A refusal may come at a different byte, but the verdict and what was
  // decoded before a completed body must agree.
  if (whole.result != split.result) Fail("split and whole bodies decode differently");
  if (whole.result == ParseResult::kDone &&
      (whole.out != split.out || whole.used != split.used || whole.ieof != split.ieof)) {
    Fail("split and whole bodies give different bytes");
  }
  return 0;
}
