#include "proxy/content_decoder.h"

#include <brotli/decode.h>
#include <sys/mman.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace velquor::host {
namespace {

// Bytes put and not yet consumed by a decoder.
class Pending {
 public:
  void Put(const char* data, std::size_t size) {
    if (pos_ == buf_.size()) {
      buf_.clear();
      pos_ = 0;
    }
    buf_.append(data, size);
  }
  const char* data() const { return buf_.data() + pos_; }
  std::size_t size() const { return buf_.size() - pos_; }
  void Consume(std::size_t n) { pos_ += n; }

 private:
  std::string buf_;
  std::size_t pos_ = 0;
};

class Copy : public ContentDecoder {
 public:
  void Put(const char* data, std::size_t size) override { in_.Put(data, size); }
  bool Take(std::string* out, std::size_t limit, std::string*) override {
    const std::size_t n = std::min(in_.size(), limit > out->size() ? limit - out->size() : 0);
    out->append(in_.data(), n);
    in_.Consume(n);
    return true;
  }
  bool Drained() const override { return in_.size() == 0; }
  bool Complete() const override { return true; }
  bool Identity() const override { return true; }

 private:
  Pending in_;
};

// gzip, or deflate: by the standard a zlib stream, though some servers send
// raw deflate data; the first byte tells them apart.
class Zlib : public ContentDecoder {
 public:
  explicit Zlib(bool gzip) : gzip_(gzip) {}
  ~Zlib() override {
    if (initialised_) inflateEnd(&z_);
  }
  void Put(const char* data, std::size_t size) override { in_.Put(data, size); }
  bool Take(std::string* out, std::size_t limit, std::string* error) override {
    // Bytes after the end of the stream are ignored, however late they come.
    if (ended_) in_.Consume(in_.size());
    if (!initialised_) {
      if (in_.size() == 0) return true;
      int bits = 15 + 32;  // zlib or gzip header, detected
      if (!gzip_) {
        // A zlib header: compression method 8 and a check multiple of 31.
        const auto b0 = static_cast<unsigned char>(in_.data()[0]);
        bits = (b0 & 0x0F) == 8 ? 15 : -15;
      }
      std::memset(&z_, 0, sizeof z_);
      if (inflateInit2(&z_, bits) != Z_OK) {
        *error = "cannot start the decompressor";
        return false;
      }
      initialised_ = true;
    }
    while (!ended_ && in_.size() > 0 && out->size() < limit) {
      const std::size_t have = out->size();
      const std::size_t room = std::min<std::size_t>(limit - have, 1u << 20);
      out->resize(have + room);
      z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in_.data()));
      z_.avail_in = static_cast<uInt>(std::min<std::size_t>(in_.size(), 1u << 30));
      z_.next_out = reinterpret_cast<Bytef*>(out->data() + have);
      z_.avail_out = static_cast<uInt>(room);
      const uInt before = z_.avail_in;
      const int r = inflate(&z_, Z_NO_FLUSH);
      in_.Consume(before - z_.avail_in);
      out->resize(have + room - z_.avail_out);
      if (r == Z_STREAM_END) {
        // A gzip body may hold several members one after the other.
        if (gzip_ && in_.size() > 0 && inflateReset(&z_) == Z_OK) continue;
        ended_ = true;
        in_.Consume(in_.size());
      } else if (r != Z_OK && r != Z_BUF_ERROR) {
        *error = std::string("corrupt ") + (gzip_ ? "gzip" : "deflate") + " data";
        return false;
      } else if (r == Z_BUF_ERROR && z_.avail_out != 0) {
        break;  // needs more input
      }
    }
    return true;
  }
  bool Drained() const override { return in_.size() == 0; }
  bool Complete() const override { return ended_; }

 private:
  bool gzip_;
  bool initialised_ = false;
  bool ended_ = false;
  z_stream z_;
  Pending in_;
};

// A br stream may ask for a window of up to 16 MB, which its decoder fills
// as the page grows. Windows up to 4 MB are had freely; larger ones are
// lent to this many pages at once, and a page that would need one more
// fails. Large blocks come straight from the system, so that they go back
// to it as soon as a page is done.
constexpr std::size_t kLargeWindows = 8;
constexpr std::size_t kLargeBlock = (4u << 20) + (64u << 10);  // a 4 MB window and its slack
constexpr std::size_t kMappedBlock = 256u << 10;
std::atomic<std::size_t> large_windows{0};

// Each block starts with its size, where the alignment of any type leaves
// room.
constexpr std::size_t kBlockHead = alignof(std::max_align_t);

struct BrotliMemory {
  bool large = false;  // holds one of the kLargeWindows
  bool refused = false;
};

void* BrotliAlloc(void* opaque, std::size_t size) {
  auto* memory = static_cast<BrotliMemory*>(opaque);
  if (size >= kLargeBlock && !memory->large) {
    std::size_t now = large_windows.load();
    do {
      if (now >= kLargeWindows) {
        memory->refused = true;
        return nullptr;
      }
    } while (!large_windows.compare_exchange_weak(now, now + 1));
    memory->large = true;
  }
  const std::size_t total = size + kBlockHead;
  void* block = nullptr;
  if (total >= kMappedBlock) {
    block = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) block = nullptr;
  } else {
    block = std::malloc(total);
  }
  if (block == nullptr) return nullptr;
  std::memcpy(block, &total, sizeof total);
  return static_cast<char*>(block) + kBlockHead;
}

void BrotliFree(void*, void* address) {
  if (address == nullptr) return;
  char* block = static_cast<char*>(address) - kBlockHead;
  std::size_t total = 0;
  std::memcpy(&total, block, sizeof total);
  if (total >= kMappedBlock) {
    munmap(block, total);
  } else {
    std::free(block);
  }
}

class Brotli : public ContentDecoder {
 public:
  Brotli() : state_(BrotliDecoderCreateInstance(BrotliAlloc, BrotliFree, &memory_)) {
    // Windows beyond the standard 16 MB are never accepted.
    if (state_) BrotliDecoderSetParameter(state_, BROTLI_DECODER_PARAM_LARGE_WINDOW, 0);
  }
  ~Brotli() override { Release(); }
  void Put(const char* data, std::size_t size) override { in_.Put(data, size); }
  bool Take(std::string* out, std::size_t limit, std::string* error) override {
    // Bytes after the end of the stream are ignored, however late they come.
    if (ended_) in_.Consume(in_.size());
    if (state_ == nullptr && !ended_) {
      *error = "cannot start the br decompressor";
      return false;
    }
    while (!ended_ && out->size() < limit) {
      const bool more_output = BrotliDecoderHasMoreOutput(state_);
      if (in_.size() == 0 && !more_output) break;
      const std::size_t have = out->size();
      std::size_t room = std::min<std::size_t>(limit - have, 1u << 20);
      out->resize(have + room);
      std::size_t avail_in = in_.size();
      const auto* next_in = reinterpret_cast<const uint8_t*>(in_.data());
      auto* next_out = reinterpret_cast<uint8_t*>(out->data() + have);
      const BrotliDecoderResult r =
          BrotliDecoderDecompressStream(state_, &avail_in, &next_in, &room, &next_out, nullptr);
      in_.Consume(in_.size() - avail_in);
      out->resize(out->size() - room);
      if (r == BROTLI_DECODER_RESULT_SUCCESS) {
        ended_ = true;
        in_.Consume(in_.size());
        Release();  // the window goes back now, not when the response has gone
      } else if (r == BROTLI_DECODER_RESULT_ERROR) {
        if (memory_.refused) {
          *error = "its br coding needs a window over 4 MB while " + std::to_string(kLargeWindows) +
                   " other pages hold one, all the memory the proxy gives them; try again in a "
                   "moment";
        } else {
          *error = std::string("corrupt br data (") +
                   BrotliDecoderErrorString(BrotliDecoderGetErrorCode(state_)) + ")";
        }
        Release();
        return false;
      } else if (r == BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT && in_.size() == 0) {
        break;
      }
    }
    return true;
  }
  bool Drained() const override {
    return in_.size() == 0 && (state_ == nullptr || !BrotliDecoderHasMoreOutput(state_));
  }
  bool Complete() const override { return ended_; }

 private:
  // Frees the decoder and gives back its large window.
  void Release() {
    if (state_) BrotliDecoderDestroyInstance(state_);
    state_ = nullptr;
    if (memory_.large) --large_windows;
    memory_.large = false;
  }

  BrotliMemory memory_;  // before state_, which is made with it
  BrotliDecoderState* state_;
  bool ended_ = false;
  Pending in_;
};

// Codings applied one after the other by the origin: undone in reverse.
class Chain : public ContentDecoder {
 public:
  explicit Chain(std::vector<std::unique_ptr<ContentDecoder>> stages)
      : stages_(std::move(stages)) {}
  void Put(const char* data, std::size_t size) override { stages_.front()->Put(data, size); }
  bool Take(std::string* out, std::size_t limit, std::string* error) override {
    // Each inner stage hands on bounded pieces to the next one.
    for (;;) {
      bool moved = false;
      for (std::size_t i = 0; i + 1 < stages_.size(); ++i) {
        std::string piece;
        if (!stages_[i]->Take(&piece, 64 * 1024, error)) return false;
        if (!piece.empty()) {
          stages_[i + 1]->Put(piece.data(), piece.size());
          moved = true;
        }
      }
      if (!stages_.back()->Take(out, limit, error)) return false;
      if (out->size() >= limit || !moved) return true;
    }
  }
  bool Drained() const override {
    return std::all_of(stages_.begin(), stages_.end(), [](const auto& s) { return s->Drained(); });
  }
  bool Complete() const override {
    return std::all_of(stages_.begin(), stages_.end(), [](const auto& s) { return s->Complete(); });
  }

 private:
  std::vector<std::unique_ptr<ContentDecoder>> stages_;  // first: the outermost coding
};

std::string Trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  std::size_t e = s.find_last_not_of(" \t");
  std::string t = s.substr(b, e - b + 1);
  for (char& c : t) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return t;
}

}  // namespace

std::unique_ptr<ContentDecoder> ContentDecoder::Create(const std::string& codings) {
  std::vector<std::string> names;
  std::size_t at = 0;
  for (;;) {
    const std::size_t comma = codings.find(',', at);
    const std::string name =
        Trim(codings.substr(at, comma == std::string::npos ? comma : comma - at));
    if (!name.empty() && name != "identity") names.push_back(name);
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  if (names.size() > 4) return nullptr;  // nobody codes a body five times
  std::vector<std::unique_ptr<ContentDecoder>> stages;
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    if (*it == "gzip" || *it == "x-gzip") {
      stages.push_back(std::make_unique<Zlib>(true));
    } else if (*it == "deflate") {
      stages.push_back(std::make_unique<Zlib>(false));
    } else if (*it == "br") {
      stages.push_back(std::make_unique<Brotli>());
    } else {
      return nullptr;
    }
  }
  if (stages.empty()) return std::make_unique<Copy>();
  if (stages.size() == 1) return std::move(stages.front());
  return std::make_unique<Chain>(std::move(stages));
}

}  // namespace velquor::host
