// Helper program for the shut-down tests, started by exec with VELQUOR_HOME
// set: a host that loads the library, filters pages through it and then
// leaves main without releasing the class object or unloading the library,
// as a browser that is closed does.
//
//   exit_host LIBRARY THREADS
//
// The main thread filters one page; then THREADS threads (0: none) start
// filtering pages in a loop and main returns while they still run. Exit
// status 0; 2 when the library or its class object cannot be had.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

#include "inner_protocol.h"
#include "velquor/velquor.h"

namespace {

constexpr char kPage[] =
    "<HTML><BODY><P>News.</P>\n"
    "<A HREF=\"http://ads.example.net/click?ad=1\"><IMG SRC=\"banner.gif\" "
    "WIDTH=468 HEIGHT=60></A>\n"
    "<A HREF=\"http://news.example.org/story\">Story</A></BODY></HTML>\n";

IClassFactory* g_factory = nullptr;

void FilterOnePage() {
  IInternetProtocol* filter = nullptr;
  if (FAILED(g_factory->CreateInstance(nullptr, IID_IInternetProtocol,
                                       reinterpret_cast<void**>(&filter)))) {
    return;
  }
  velquor::host::MemoryProtocol inner(std::string_view(kPage, sizeof kPage - 1));
  velquor::host::NullSink sink;
  PROTOCOLFILTERDATA data{sizeof(PROTOCOLFILTERDATA), &sink, &inner, nullptr, 0};
  if (filter->Start(u"text/html", &sink, nullptr, 0, reinterpret_cast<HANDLE_PTR>(&data)) == S_OK) {
    velquor::host::PumpPage(*filter, 64, [](const char*, std::size_t) { return true; });
  }
  filter->Release();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: exit_host LIBRARY THREADS\n");
    return 2;
  }
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "exit_host: %s\n", dlerror());
    return 2;
  }
  auto get_class_object =
      reinterpret_cast<DllGetClassObjectFn>(dlsym(library, "DllGetClassObject"));
  if (get_class_object == nullptr ||
      FAILED(get_class_object(CLSID_IENubrix, IID_IClassFactory,
                              reinterpret_cast<void**>(&g_factory)))) {
    std::fprintf(stderr, "exit_host: no class object\n");
    return 2;
  }
  FilterOnePage();
  for (int t = std::atoi(argv[2]); t > 0; --t) {
    std::thread([] {
      for (;;) FilterOnePage();
    }).detach();
  }
  // Neither the class object nor the library is let go.
  return 0;
}
