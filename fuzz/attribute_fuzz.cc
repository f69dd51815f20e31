// Fuzz target: the tag attribute reader, the visible text of a link and the
// host name of a link target, all run on every input.
//
// Input: a byte choosing the attribute name (one the judges ask for, or a
// short name taken from the input), then the text. Properties beyond no
// crash: a text attribute is a trimmed piece of the text; a number attribute
// of the judged copy is the same whether asked once or twice (no hidden
// state); the visible text is trimmed, no longer than the text and never
// holds "write"; a host name holds no "/".
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "text/text_helpers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velquor;
  using namespace velquor::fuzz;
  static const char* const kNames[] = {"WIDTH", "HEIGHT", "HREF", "SRC",
                                       "ALT",   "CODE",   "NAME", "BORDER"};
  InputReader in(data, size);
  const uint8_t choice = in.Byte();
  const std::string name = choice < 8 ? std::string(kNames[choice]) : in.Take(choice % 8);
  const std::string text = in.Rest();

  const std::string judged = JudgedCopy(text);
  const int32_t number = ReadNumberAttribute(judged, UpperCase(name));
  if (ReadNumberAttribute(judged, UpperCase(name)) != number) {
    Fail("ReadNumberAttribute gave two answers for one text");
  }
  (void)ReadNumberAttribute(text, name);

  const std::string value = ReadTextAttribute(text, name);
  if (value != Trim(value)) Fail("ReadTextAttribute left white space", value);
  if (!value.empty() && text.find(value) == std::string::npos) {
    Fail("ReadTextAttribute made up text", value);
  }

  const std::string visible = VisibleLinkText(text);
  if (visible != Trim(visible)) Fail("VisibleLinkText left white space", visible);
  if (visible.size() > text.size()) Fail("VisibleLinkText grew the text", visible);
  if (ContainsNoCase(visible, "write")) Fail("VisibleLinkText kept a script's text", visible);

  const std::string host = UrlServer(text);
  if (host.find('/') != std::string::npos) Fail("UrlServer gave a host with a slash", host);
  // The judges ask for the host of an HREF value.
  (void)UrlServer(value);
  return 0;
}
