// Certificates made by a test, and a TLS origin's context: a test CA that
// issues origin certificates for given names and validity, so that the proxy
// can be shown good, expired, self-signed and wrong-host origins.
#ifndef VELQUOR_TESTS_TLS_UTIL_H_
#define VELQUOR_TESTS_TLS_UTIL_H_

#include <openssl/types.h>

#include <string>
#include <vector>

namespace velquor::test {

struct Pem {
  std::string cert;
  std::string key;
};

// A CA certificate named `name`, valid from yesterday for a week, with an
// ECDSA P-256 key or, for programs that take no other, an RSA key.
Pem MakeTestCa(const std::string& name, bool rsa = false);
// A server certificate for `names` (DNS names or IP addresses) valid from
// `from_days` to `to_days` days from now, issued by `ca`, or self-signed
// when `ca` is null. Without `alt_names` the first name is only the
// subject's common name, as in certificates from before subjectAltName.
Pem IssueCert(const Pem* ca, const std::vector<std::string>& names, int from_days, int to_days,
              bool alt_names = true);
// A server context presenting `pem`; the caller frees it.
SSL_CTX* ServerContext(const Pem& pem);

// A TLS client on `fd` for `host`, trusting the CAs in `ca_file`: sends
// `before` and its ClientHello in one write (a CONNECT that does not wait
// for the proxy's answer, which is then read and skipped), then `request`.
// All that comes back until the server closes; "" when the handshake fails.
std::string TlsExchange(int fd, const std::string& ca_file, const std::string& host,
                        const std::string& before, const std::string& request);

}  // namespace velquor::test

#endif  // VELQUOR_TESTS_TLS_UTIL_H_
