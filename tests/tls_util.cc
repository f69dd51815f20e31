#include "tls_util.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <stdexcept>

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
         int to_days, bool is_ca, bool rsa = false) {
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
  } else {
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

Pem IssueCert(const Pem* ca, const std::vector<std::string>& names, int from_days, int to_days) {
  return Make(ca, names.at(0), names, from_days, to_days, false);
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

}  // namespace velquor::test
