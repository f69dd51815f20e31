#include "proxy/page_relay.h"

namespace velquor::host::proxy {

PageRelay StartPageRelay(IClassFactory* factory, int status, bool exempt,
                         std::string_view content_type, const std::string& content_encoding,
                         const std::string& host) {
  PageRelay page;
  if (exempt || status == 206 || !IsHtml(content_type)) return page;
  page.decoder = ContentDecoder::Create(content_encoding);
  if (!page.decoder) return page;
  page.filter = std::make_unique<PageFilter>();
  std::string error;
  if (!page.filter->Start(factory, &error)) {
    std::fprintf(stderr, "velquor: proxy: %s: %s; the page passes unfiltered\n", host.c_str(),
                 error.c_str());
    page.filter.reset();
    page.decoder.reset();
  }
  return page;
}

}  // namespace velquor::host::proxy
