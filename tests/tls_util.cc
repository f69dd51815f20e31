#include "tls_util.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "proxy_util.h"

namespace velquor::test {
namespace {

std::string ToPem(int (*write)(BIO*, void*), void* object) {
  BIO* bio = BIO_new(BIO_s_mem());
  write(bio, object);
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  std::string out(data, static_cast<std::size_t>(n));
  BIO_free(bio);
  return out;
}

std::string CertPem(X509* x) {
  return ToPem([](BIO* b, void* o) { return PEM_write_bio_X509(b, static_cast<X509*>(o)); }, x);
}

std::string KeyPem(EVP_PKEY* k) {
  return ToPem(
      [](BIO* b, void* o) {
        return PEM_write_bio_PrivateKey(b, static_cast<EVP_PKEY*>(o), nullptr, nullptr, 0, nullptr,
                                        nullptr);
      },
      k);
}

X509* ReadCert(const std::string& pem) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  X509* x = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  return x;
}

EVP_PKEY* ReadKey(const std::string& pem) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  EVP_PKEY* k = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  return k;
}

void Ext(X509* x, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, x, nullptr, nullptr, 0);
  X509_EXTENSION* e = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (!e) throw std::runtime_error("test certificate: bad extension " + value);
  X509_add_ext(x, e, -1);
  X509_EXTENSION_free(e);
}

Pem Make(const Pem* ca, const std::string& cn, const std::vector<std::string>& names, int from_days,
         int to_days, bool is_ca, bool rsa = false, bool alt_names = true) {
  EVP_PKEY* key = rsa ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256");
  X509* x = X509_new();
  X509_set_version(x, X509_VERSION_3);
  static long serial = 1000;
  ASN1_INTEGER_set(X509_get_serialNumber(x), ++serial);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
  X509_gmtime_adj(X509_getm_notBefore(x), from_days * 86400L);
  X509_gmtime_adj(X509_getm_notAfter(x), to_days * 86400L);
  X509_set_pubkey(x, key);
  X509* issuer = ca ? ReadCert(ca->cert) : x;
  EVP_PKEY* signer = ca ? ReadKey(ca->key) : key;
  X509_set_issuer_name(x, X509_get_subject_name(issuer));
  if (is_ca) {
    Ext(x, x, NID_basic_constraints, "critical,CA:TRUE");
    Ext(x, x, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else if (alt_names) {
    std::string san;
    for (const std::string& n : names) {
      const bool ip = n.find_first_not_of("0123456789.") == std::string::npos;
      if (!san.empty()) san += ',';
      san += ip ? "IP:" : "DNS:";
      san += n;
    }
    Ext(x, issuer, NID_subject_alt_name, san);
  }
  Ext(x, issuer, NID_subject_key_identifier, "hash");
  X509_sign(x, signer, EVP_sha256());
  Pem out{CertPem(x), KeyPem(key)};
  if (ca) {
    X509_free(issuer);
    EVP_PKEY_free(signer);
  }
  X509_free(x);
  EVP_PKEY_free(key);
  return out;
}

}  // namespace

Pem MakeTestCa(const std::string& name, bool rsa) {
  return Make(nullptr, name, {}, -1, 7, true, rsa);
}

Pem IssueCert(const Pem* ca, const std::vector<std::string>& names, int from_days, int to_days,
              bool alt_names) {
  return Make(ca, names.at(0), names, from_days, to_days, false, false, alt_names);
}

SSL_CTX* ServerContext(const Pem& pem) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  X509* cert = ReadCert(pem.cert);
  EVP_PKEY* key = ReadKey(pem.key);
  SSL_CTX_use_certificate(ctx, cert);
  SSL_CTX_use_PrivateKey(ctx, key);
  X509_free(cert);
  EVP_PKEY_free(key);
  return ctx;
}

std::string TlsExchange(int fd, const std::string& ca_file, const std::string& host,
                        const std::string& before, const std::string& request) {
  const timeval patience{30, 0};  // a proxy that stalls fails the exchange
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_load_verify_locations(ctx, ca_file.c_str(), nullptr);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  SSL* ssl = SSL_new(ctx);
  SSL_set_tlsext_host_name(ssl, host.c_str());
  SSL_set1_host(ssl, host.c_str());
  // The ClientHello is made into memory first, so that it leaves with `before`.
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  SSL_set_bio(ssl, in, out);
  SSL_connect(ssl);
  char* hello = nullptr;
  const long hello_size = BIO_get_mem_data(out, &hello);
  bool ok = SendAll(fd, before + std::string(hello, static_cast<std::size_t>(hello_size)));
  if (ok && !before.empty()) {
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && read(fd, &c, 1) == 1) head += c;
    ok = head.rfind("HTTP/1.1 200", 0) == 0;
  }
  BIO* sock = BIO_new_socket(fd, BIO_NOCLOSE);
  SSL_set_bio(ssl, sock, sock);
  std::string reply;
  if (ok && SSL_connect(ssl) == 1 &&
      SSL_write(ssl, request.data(), static_cast<int>(request.size())) > 0) {
    char buf[16384];
    for (int n; (n = SSL_read(ssl, buf, sizeof buf)) > 0;) reply.append(buf, n);
  }
  SSL_free(ssl);
  SSL_CTX_free(ctx);
  return reply;
}

}  // namespace velquor::test
