// Undoes the content codings of a response body (gzip, deflate, br, and any
// chain of them) piece by piece, so that a page is filtered as the text the
// browser would show. Output comes in bounded pieces: a small compressed body
// that inflates to gigabytes never needs more than the caller's limit.
#ifndef VELQUOR_HOST_PROXY_CONTENT_DECODER_H_
#define VELQUOR_HOST_PROXY_CONTENT_DECODER_H_

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace velquor::host {

class ContentDecoder {
 public:
  // A decoder for the Content-Encoding value `codings` (a comma-separated
  // list, applied in order by the origin). Null when a coding is unknown;
  // "identity" and an empty value give a decoder that copies.
  static std::unique_ptr<ContentDecoder> Create(const std::string& codings);
  virtual ~ContentDecoder() = default;

  // Takes bytes of the coded body.
  virtual void Put(const char* data, std::size_t size) = 0;
  // Appends decoded bytes to *out until it holds `limit` bytes or all that
  // was put is decoded. False (with *error) on a corrupt body.
  virtual bool Take(std::string* out, std::size_t limit, std::string* error) = 0;
  // True once every byte put has been decoded and nothing waits.
  virtual bool Drained() const = 0;
  // True when the coded stream ended properly (always for a copy).
  virtual bool Complete() const = 0;
  // True for a body without a coding: the caller may skip Put and Take.
  virtual bool Identity() const { return false; }
};

}  // namespace velquor::host

#endif  // VELQUOR_HOST_PROXY_CONTENT_DECODER_H_
