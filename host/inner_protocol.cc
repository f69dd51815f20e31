#include "inner_protocol.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <sys/stat.h>

namespace velquor::host {

HRESULT PageSource::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IInternetProtocolRoot || riid == IID_IInternetProtocol) {
    *ppv = static_cast<IInternetProtocol*>(this);
    return S_OK;
  }
  return E_NOINTERFACE;
}

namespace {

// The block a regular file is read in.
constexpr std::size_t kFileReadAhead = std::size_t{1} << 20;

}  // namespace

FileProtocol::FileProtocol(std::FILE* file, EndOfData style) : file_(file), style_(style) {
  struct stat st;
  // One byte past the file's size, so that a small file is read whole, its
  // end seen, in one go.
  if (fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0) {
    read_ahead_ = static_cast<std::size_t>(
        std::min<uintmax_t>(kFileReadAhead, static_cast<uintmax_t>(st.st_size) + 1));
  }
}

void FileProtocol::Fill(std::size_t target) {
  if (ended_ || end_ - begin_ >= target) return;
  const std::size_t waiting = end_ - begin_;
  const std::size_t room = std::max(target, read_ahead_);
  if (capacity_ < room) {
    std::unique_ptr<char[]> bigger(new char[room]);  // not zero-filled
    if (waiting > 0) std::memcpy(bigger.get(), buffer_.get() + begin_, waiting);
    buffer_ = std::move(bigger);
    capacity_ = room;
  } else if (begin_ > 0 && waiting > 0) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, waiting);
  }
  begin_ = 0;
  end_ = waiting;
  const std::size_t goal = std::min(capacity_, std::max(target, read_ahead_));
  while (!ended_ && end_ < target) {
    const std::size_t want = goal - end_;
    const std::size_t got = std::fread(buffer_.get() + end_, 1, want, file_);
    end_ += got;
    if (got < want) {
      if (std::ferror(file_)) error_ = errno != 0 ? errno : EIO;
      ended_ = true;
    }
  }
}

HRESULT FileProtocol::Read(void* buffer, ULONG count, ULONG* read) {
  if (read == nullptr || (buffer == nullptr && count > 0)) return E_POINTER;
  // Telling whether these are the last bytes takes one byte of look-ahead.
  const std::size_t want = static_cast<std::size_t>(count);
  Fill(style_ == EndOfData::kWithData ? want + 1 : want);
  const std::size_t n = std::min(want, end_ - begin_);
  if (n > 0) {
    std::memcpy(buffer, buffer_.get() + begin_, n);
    begin_ += n;
  }
  *read = static_cast<ULONG>(n);
  if (!ended_ || begin_ < end_) return S_OK;
  if (error_ != 0) return E_FAIL;
  if (style_ == EndOfData::kSeparate && n > 0) return S_OK;
  return S_FALSE;
}

namespace {

[[noreturn]] void Misuse(const char* what) {
  std::fprintf(stderr, "inner protocol: %s\n", what);
  std::abort();
}

}  // namespace

HRESULT MemoryProtocol::Start(LPCWSTR, IInternetProtocolSink*, IInternetBindInfo*, DWORD,
                              HANDLE_PTR) {
  Misuse("the filter started the protocol it was handed");
}

HRESULT MemoryProtocol::Read(void* buffer, ULONG count, ULONG* read) {
  if (read == nullptr || (buffer == nullptr && count > 0)) Misuse("Read without a place");
  const std::size_t n = std::min<std::size_t>(count, page_.size() - position_);
  if (n > 0) std::memcpy(buffer, page_.data() + position_, n);
  position_ += n;
  *read = static_cast<ULONG>(n);
  if (position_ < page_.size()) return S_OK;
  if (style_ == EndOfData::kSeparate && n > 0) return S_OK;
  return S_FALSE;
}

HRESULT NullSink::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IInternetProtocolSink) {
    *ppv = static_cast<IInternetProtocolSink*>(this);
    return S_OK;
  }
  return E_NOINTERFACE;
}

}  // namespace velquor::host
