// Test support: bodies coded with zlib, as an origin sends them. Shared by the
// proxy's decoder unit tests and its end-to-end tests.
#ifndef VELQUOR_TESTS_ZLIB_CODING_H_
#define VELQUOR_TESTS_ZLIB_CODING_H_

#include <zlib.h>

#include <string>

namespace velquor::test {

// `in` deflated whole: window_bits 31 gives gzip, 15 the zlib wrapper, -15 a
// raw deflate stream.
inline std::string Deflate(const std::string& in, int window_bits) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, in.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

}  // namespace velquor::test

#endif  // VELQUOR_TESTS_ZLIB_CODING_H_
