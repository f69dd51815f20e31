#include "inner_protocol.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

void FileProtocol::Fill(std::size_t target) {
  while (!ended_ && ahead_.size() < target) {
    const std::size_t have = ahead_.size();
    ahead_.resize(target);
    const std::size_t got = std::fread(ahead_.data() + have, 1, target - have, file_);
    ahead_.resize(have + got);
    if (got < target - have) {
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
  const std::size_t n = std::min(want, ahead_.size());
  if (n > 0) {
    std::memcpy(buffer, ahead_.data(), n);
    ahead_.erase(ahead_.begin(), ahead_.begin() + static_cast<std::ptrdiff_t>(n));
  }
  *read = static_cast<ULONG>(n);
  if (!ended_ || !ahead_.empty()) return S_OK;
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
