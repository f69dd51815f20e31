#include "proxy/local_ca.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace velquor::host {
namespace {

constexpr long kCaValiditySeconds = 10L * 365 * 24 * 3600;
constexpr long kBackdateSeconds = 3600;  // clocks a little behind still accept

std::string OpenSslError() {
  const unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return "unknown OpenSSL error";
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  return buf;
}

EVP_PKEY* NewKey() { return EVP_EC_gen("P-256"); }

bool SetRandomSerial(X509* x) {
  BIGNUM* bn = BN_new();
  bool ok = bn && BN_rand(bn, 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1;
  ASN1_INTEGER* serial = ok ? BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x)) : nullptr;
  BN_free(bn);
  return serial != nullptr;
}

bool AddExt(X509* x, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, x, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ext) return false;
  const bool ok = X509_add_ext(x, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

bool IsIpAddress(const std::string& name) {
  ASN1_OCTET_STRING* ip = a2i_IPADDRESS(name.c_str());
  ASN1_OCTET_STRING_free(ip);
  return ip != nullptr;
}

// Names are host names as the proxy normalised them; anything else (from a
// client's server name, say) never reaches a certificate.
bool IsDnsName(const std::string& name) {
  if (name.empty() || name.size() > 253) return false;
  for (char c : name) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_')) {
      return false;
    }
  }
  return true;
}

bool AddSubjectAltNames(X509* x, const std::vector<std::string>& names) {
  GENERAL_NAMES* gens = sk_GENERAL_NAME_new_null();
  bool ok = gens != nullptr;
  for (const std::string& name : names) {
    if (!ok) break;
    GENERAL_NAME* gen = GENERAL_NAME_new();
    if (!gen) {
      ok = false;
      break;
    }
    if (ASN1_OCTET_STRING* ip = a2i_IPADDRESS(name.c_str())) {
      GENERAL_NAME_set0_value(gen, GEN_IPADD, ip);
    } else {
      ASN1_IA5STRING* dns = ASN1_IA5STRING_new();
      if (!dns || ASN1_STRING_set(dns, name.data(), static_cast<int>(name.size())) != 1) {
        ASN1_IA5STRING_free(dns);
        GENERAL_NAME_free(gen);
        ok = false;
        break;
      }
      GENERAL_NAME_set0_value(gen, GEN_DNS, dns);
    }
    if (sk_GENERAL_NAME_push(gens, gen) == 0) {
      GENERAL_NAME_free(gen);
      ok = false;
    }
  }
  ok = ok && X509_add1_ext_i2d(x, NID_subject_alt_name, gens, 0, 0) == 1;
  sk_GENERAL_NAME_pop_free(gens, GENERAL_NAME_free);
  return ok;
}

std::chrono::system_clock::time_point NotAfter(const X509* x) {
  struct tm tm {};
  if (ASN1_TIME_to_tm(X509_get0_notAfter(x), &tm) != 1) return {};
  return std::chrono::system_clock::from_time_t(timegm(&tm));
}

X509* MakeCaCertificate(EVP_PKEY* key) {
  X509* x = X509_new();
  char host[256] = "this computer";
  gethostname(host, sizeof host - 1);
  host[sizeof host - 1] = '\0';
  const std::string cn = std::string("Velquor local CA (") + host + ")";
  X509_NAME* name = X509_get_subject_name(x);
  bool ok =
      X509_set_version(x, X509_VERSION_3) == 1 && SetRandomSerial(x) &&
      X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>("Velquor"), -1, -1,
                                 0) == 1 &&
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(cn.substr(0, 64).c_str()),
                                 -1, -1, 0) == 1 &&
      X509_set_issuer_name(x, name) == 1 &&
      X509_gmtime_adj(X509_getm_notBefore(x), -kBackdateSeconds) &&
      X509_gmtime_adj(X509_getm_notAfter(x), kCaValiditySeconds) && X509_set_pubkey(x, key) == 1 &&
      AddExt(x, x, NID_basic_constraints, "critical,CA:TRUE,pathlen:0") &&
      AddExt(x, x, NID_key_usage, "critical,keyCertSign,cRLSign") &&
      AddExt(x, x, NID_subject_key_identifier, "hash") && X509_sign(x, key, EVP_sha256()) > 0;
  if (!ok) {
    X509_free(x);
    return nullptr;
  }
  return x;
}

// Writes `write` to a new file beside `path` created with `mode`, then puts
// it in place of `path`: a reader sees the old file or the new, and a key
// never exists with wider permissions than `mode`.
template <class Write>
bool ReplaceFile(const std::string& path, mode_t mode, Write write, std::string* error) {
  const std::string temp = path + ".new";
  unlink(temp.c_str());  // a stale one from an interrupted run
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) {
    *error = "cannot create " + temp + ": " + std::strerror(errno);
    return false;
  }
  FILE* f = fdopen(fd, "w");
  if (!f) {
    close(fd);
    unlink(temp.c_str());
    *error = "cannot write " + temp + ": " + std::strerror(errno);
    return false;
  }
  bool ok = write(f);
  ok = std::fflush(f) == 0 && ok;
  ok = fsync(fd) == 0 && ok;
  ok = std::fclose(f) == 0 && ok;
  if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    unlink(temp.c_str());
    return false;
  }
  return true;
}

bool MakeDirectories(const std::string& dir, std::string* error) {
  for (std::size_t at = 1; at <= dir.size(); ++at) {
    if (at != dir.size() && dir[at] != '/') continue;
    const std::string part = dir.substr(0, at);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      *error = "cannot create the directory " + part + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

}  // namespace

bool CheckCaFile(const std::string& file, std::string* error) {
  FILE* f = std::fopen(file.c_str(), "r");
  if (f == nullptr) {
    *error = file + ": " + std::strerror(errno);
    return false;
  }
  X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  ERR_clear_error();
  if (cert == nullptr) {
    *error = file + ": no PEM certificate in it";
    return false;
  }
  X509_free(cert);
  return true;
}

Leaf::~Leaf() { X509_free(cert); }

LocalCa::~LocalCa() {
  X509_free(cert_);
  EVP_PKEY_free(key_);
  EVP_PKEY_free(leaf_key_);
}

std::unique_ptr<LocalCa> LocalCa::Open(const std::string& profile_dir, bool renew,
                                       std::string* error) {
  std::unique_ptr<LocalCa> ca(new LocalCa);
  ca->cert_path_ = CaCertificatePath(profile_dir);
  const std::string key_path = CaKeyPath(profile_dir);
  struct stat st {};
  const bool exists = stat(key_path.c_str(), &st) == 0;
  if (exists && !renew) {
    FILE* kf = std::fopen(key_path.c_str(), "r");
    if (!kf) {
      *error = "cannot read " + key_path + ": " + std::strerror(errno);
      return nullptr;
    }
    // A key that someone made readable to others is made private again.
    if ((st.st_mode & 077) != 0) fchmod(fileno(kf), st.st_mode & 0700);
    ca->key_ = PEM_read_PrivateKey(kf, nullptr, nullptr, nullptr);
    std::fclose(kf);
    if (!ca->key_) {
      *error = key_path + " holds no private key (" + OpenSslError() +
               "); make a new CA with 'velquor proxy ca --renew'";
      return nullptr;
    }
    FILE* cf = std::fopen(ca->cert_path_.c_str(), "r");
    if (cf) {
      ca->cert_ = PEM_read_X509(cf, nullptr, nullptr, nullptr);
      std::fclose(cf);
    }
    if (!ca->cert_ || X509_check_private_key(ca->cert_, ca->key_) != 1) {
      ERR_clear_error();
      *error =
          ca->cert_path_ +
          (ca->cert_ ? " does not belong to " + key_path : " is missing or holds no certificate") +
          "; make a new CA with 'velquor proxy ca --renew'";
      return nullptr;
    }
  } else {
    if (!MakeDirectories(profile_dir, error)) return nullptr;
    ca->key_ = NewKey();
    ca->cert_ = ca->key_ ? MakeCaCertificate(ca->key_) : nullptr;
    if (!ca->cert_) {
      *error = "cannot make the CA certificate: " + OpenSslError();
      return nullptr;
    }
    EVP_PKEY* key = ca->key_;
    X509* cert = ca->cert_;
    if (!ReplaceFile(
            key_path, 0600,
            [key](FILE* f) {
              return PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
            },
            error) ||
        !ReplaceFile(
            ca->cert_path_, 0644, [cert](FILE* f) { return PEM_write_X509(f, cert) == 1; },
            error)) {
      return nullptr;
    }
  }
  ca->leaf_key_ = NewKey();
  if (!ca->leaf_key_) {
    *error = "cannot make a key: " + OpenSslError();
    return nullptr;
  }
  return ca;
}

std::string LocalCa::Describe() const {
  char cn[256] = "";
  X509_NAME_get_text_by_NID(X509_get_subject_name(cert_), NID_commonName, cn, sizeof cn);
  const std::time_t until = std::chrono::system_clock::to_time_t(NotAfter(cert_));
  struct tm tm {};
  gmtime_r(&until, &tm);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%d", &tm);
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  X509_digest(cert_, EVP_sha256(), md, &len);
  std::string fp;
  for (unsigned int i = 0; i < len; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, i ? ":%02X" : "%02X", md[i]);
    fp += hex;
  }
  return std::string(cn) + ", valid until " + date + ", SHA-256 fingerprint " + fp;
}

std::shared_ptr<Leaf> LocalCa::LeafFor(const std::vector<std::string>& names, std::string* error) {
  std::vector<std::string> usable;
  for (const std::string& n : names) {
    if ((IsDnsName(n) || IsIpAddress(n)) &&
        std::find(usable.begin(), usable.end(), n) == usable.end()) {
      usable.push_back(n);
    }
  }
  if (usable.empty()) {
    *error = "no usable host name for a certificate";
    return nullptr;
  }
  std::string key;
  for (const std::string& n : usable) key += n + " ";
  const auto now = std::chrono::system_clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto it = leaves_.find(key);
      it != leaves_.end() && it->second->not_after - now > std::chrono::hours(24)) {
    return it->second;
  }
  auto leaf = std::make_shared<Leaf>();
  leaf->key = leaf_key_;
  X509* x = leaf->cert = X509_new();
  X509_NAME* subject = X509_get_subject_name(x);
  bool ok =
      x && X509_set_version(x, X509_VERSION_3) == 1 && SetRandomSerial(x) &&
      (usable[0].size() > 64 ||
       X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                                  reinterpret_cast<const unsigned char*>(usable[0].c_str()), -1, -1,
                                  0) == 1) &&
      X509_set_issuer_name(x, X509_get_subject_name(cert_)) == 1 &&
      X509_gmtime_adj(X509_getm_notBefore(x), -kBackdateSeconds) &&
      X509_gmtime_adj(X509_getm_notAfter(x),
                      std::chrono::duration_cast<std::chrono::seconds>(kLeafValidity).count()) &&
      X509_set_pubkey(x, leaf_key_) == 1 &&
      AddExt(x, cert_, NID_basic_constraints, "critical,CA:FALSE") &&
      AddExt(x, cert_, NID_key_usage, "critical,digitalSignature") &&
      AddExt(x, cert_, NID_ext_key_usage, "serverAuth") &&
      AddExt(x, cert_, NID_subject_key_identifier, "hash") &&
      AddExt(x, cert_, NID_authority_key_identifier, "keyid:always") &&
      AddSubjectAltNames(x, usable) && X509_sign(x, key_, EVP_sha256()) > 0;
  if (!ok) {
    *error = "cannot issue a certificate for " + usable[0] + ": " + OpenSslError();
    return nullptr;
  }
  leaf->not_after = NotAfter(x);
  // Hosts are few; a long run through many of them still keeps a bound.
  if (leaves_.size() >= 4096) leaves_.clear();
  leaves_[key] = leaf;
  return leaf;
}

}  // namespace velquor::host
