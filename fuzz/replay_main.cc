// Replays fuzz inputs through a fuzz target without libFuzzer, so that every
// build (any compiler, any sanitizer) runs each seed and each input that once
// broke a target as an ordinary test.
//
//   <target>_replay PATH...   each PATH is an input file or a directory whose
//                             regular files are replayed in name order
//
// Exit status 0 when every input ran; 2 when a path cannot be read. A broken
// property aborts inside the target, naming what broke; the input being
// replayed is printed first so that the failure names it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
// Optional in a target, as with libFuzzer.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

bool ReadWhole(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::string(argv[1]) == "--help") {
    std::fprintf(argc < 2 ? stderr : stdout,
                 "usage: %s PATH...\n"
                 "Replays each input file, or each file of a directory, through the target.\n",
                 argv[0]);
    return argc < 2 ? 1 : 0;
  }
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    if (std::filesystem::is_directory(argv[i], ec)) {
      std::vector<std::string> files;
      for (const auto& entry : std::filesystem::directory_iterator(argv[i], ec)) {
        if (entry.is_regular_file()) files.push_back(entry.path().string());
      }
      if (ec) {
        std::fprintf(stderr, "%s: cannot list: %s\n", argv[i], ec.message().c_str());
        return 2;
      }
      std::sort(files.begin(), files.end());
      inputs.insert(inputs.end(), files.begin(), files.end());
    } else {
      inputs.push_back(argv[i]);
    }
  }
  for (const std::string& path : inputs) {
    std::string data;
    if (!ReadWhole(path, &data)) {
      std::fprintf(stderr, "%s: cannot read\n", path.c_str());
      return 2;
    }
    std::printf("replaying %s (%zu bytes)\n", path.c_str(), data.size());
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  }
  std::printf("%zu inputs replayed\n", inputs.size());
  return 0;
}
