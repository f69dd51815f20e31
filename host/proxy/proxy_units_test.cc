// The proxy's pure parts: which hosts an exception covers, the content
// decoders on bodies that arrive in pieces, are corrupt, or inflate hugely,
// and the certificates the local CA issues.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <zlib.h>

#include <filesystem>

#include <string>

#include "proxy/content_decoder.h"
#include "proxy/exceptions.h"
#include "proxy/local_ca.h"
#include "zlib_coding.h"

namespace velquor::host {
namespace {

TEST(ExceptionsTest, NamesCoverSubdomainsAndAddressesOnlyThemselves) {
  const std::vector<std::string> list =
      ParseExceptions("Example.COM. 10.0.0.1  bad/name [::1] ::1 example.com");
  EXPECT_EQ(list, (std::vector<std::string>{"example.com", "10.0.0.1", "::1"}));
  for (const char* host :
       {"example.com", "WWW.example.com.", "a.b.example.com", "10.0.0.1", "[::1]", "[0:0::1]"}) {
    EXPECT_TRUE(IsExempt(list, host)) << host;
  }
  for (const char* host :
       {"notexample.com", "example.com.evil.net", "com", "10.0.0.10", "1.10.0.0.1", "", "[::2]"}) {
    EXPECT_FALSE(IsExempt(list, host)) << host;
  }
  EXPECT_EQ(NormalizeHost("host:80"), "");
  EXPECT_EQ(NormalizeHost("a..b"), "");
}

TEST(LocalCaTest, LeavesNameTheirHostsChainToTheCaAndAreKept) {
  std::string dir = (std::filesystem::temp_directory_path() / "velquor-ca-XXXXXX").string();
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  std::string error;
  std::unique_ptr<LocalCa> ca = LocalCa::Open(dir + "/profile", false, &error);
  ASSERT_TRUE(ca) << error;
  // A server name that is no host name never reaches the certificate.
  auto leaf = ca->LeafFor({"www.example.com", "bad name,DNS:evil", "127.0.0.1"}, &error);
  ASSERT_TRUE(leaf) << error;
  EXPECT_EQ(ca->LeafFor({"www.example.com", "127.0.0.1"}, &error), leaf);
  EXPECT_NE(ca->LeafFor({"other.example"}, &error), leaf);
  EXPECT_EQ(ca->LeafFor({"bad name"}, &error), nullptr);

  EXPECT_EQ(X509_verify(leaf->cert, X509_get0_pubkey(ca->cert())), 1);
  EXPECT_EQ(X509_check_host(leaf->cert, "www.example.com", 0, 0, nullptr), 1);
  EXPECT_EQ(X509_check_ip_asc(leaf->cert, "127.0.0.1", 0), 1);
  EXPECT_NE(X509_check_host(leaf->cert, "evil", 0, 0, nullptr), 1);
  EXPECT_EQ(X509_check_ca(leaf->cert), 0);
  EXPECT_EQ(EVP_PKEY_get_bits(X509_get0_pubkey(leaf->cert)), 256);
  int days = 0, seconds = 0;
  ASSERT_EQ(ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(leaf->cert),
                           X509_get0_notAfter(leaf->cert)),
            1);
  EXPECT_LE(days, 8);

  // Opened again, the same CA; renewed, another.
  std::unique_ptr<LocalCa> again = LocalCa::Open(dir + "/profile", false, &error);
  ASSERT_TRUE(again) << error;
  EXPECT_EQ(X509_cmp(again->cert(), ca->cert()), 0);
  std::unique_ptr<LocalCa> renewed = LocalCa::Open(dir + "/profile", true, &error);
  ASSERT_TRUE(renewed) << error;
  EXPECT_NE(X509_cmp(renewed->cert(), ca->cert()), 0);
  std::filesystem::remove_all(dir);
}

using velquor::test::Deflate;

// Puts `coded` a few bytes at a time and takes pieces of at most `limit`.
bool DecodeInPieces(ContentDecoder& d, const std::string& coded, std::size_t limit,
                    std::string* out, std::size_t* largest) {
  std::string error;
  for (std::size_t at = 0; at <= coded.size(); at += 7) {
    d.Put(coded.data() + at, std::min<std::size_t>(7, coded.size() - std::min(at, coded.size())));
    do {
      std::string piece;
      if (!d.Take(&piece, limit, &error)) return false;
      *largest = std::max(*largest, piece.size());
      *out += piece;
    } while (!d.Drained());
  }
  return true;
}

TEST(ContentDecoderTest, UndoesEachCodingInBoundedPieces) {
  const std::string text(3u << 20, 'x');  // inflates about a thousand times
  struct Case {
    const char* codings;
    std::string coded;
  } cases[] = {
      {"gzip", Deflate(text, 31)},
      {"deflate", Deflate(text, 15)},   // zlib wrapper, as the standard says
      {"deflate", Deflate(text, -15)},  // raw, as some servers send it
      {"gzip, identity", Deflate(text, 31)},
      {"gzip", Deflate(text.substr(0, 1000), 31) + Deflate(text.substr(1000), 31)},  // two members
      {"deflate, gzip", Deflate(Deflate(text, 15), 31)},
      {"deflate", Deflate(text, 15) + "bytes after the end, put late"},
  };
  for (const Case& c : cases) {
    auto d = ContentDecoder::Create(c.codings);
    ASSERT_TRUE(d) << c.codings;
    std::string out;
    std::size_t largest = 0;
    ASSERT_TRUE(DecodeInPieces(*d, c.coded, 65536, &out, &largest)) << c.codings;
    EXPECT_TRUE(out == text && d->Complete()) << c.codings << " gave " << out.size();
    EXPECT_LE(largest, 65536u) << c.codings;
  }
  EXPECT_FALSE(ContentDecoder::Create("zstd"));
  EXPECT_FALSE(ContentDecoder::Create("gzip, compress"));
}

TEST(ContentDecoderTest, CorruptOrShortBodiesAreTold) {
  std::string coded = Deflate("<HTML>hello</HTML>", 31);
  auto whole = ContentDecoder::Create("gzip");
  std::string out;
  std::size_t largest = 0;
  ASSERT_TRUE(DecodeInPieces(*whole, coded.substr(0, coded.size() - 6), 100, &out, &largest));
  EXPECT_FALSE(whole->Complete());
  for (const char* codings : {"gzip", "br"}) {
    auto d = ContentDecoder::Create(codings);
    std::string garbage = "this is not compressed at all, not a bit of it";
    std::string error;
    std::string piece;
    d->Put(garbage.data(), garbage.size());
    EXPECT_FALSE(d->Take(&piece, 100, &error)) << codings;
    EXPECT_NE(error.find("corrupt"), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace velquor::host
