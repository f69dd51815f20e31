// The proxy's local certificate authority: a key pair and a self-signed CA
// certificate kept in the profile directory, which the user chooses to trust
// in a browser so that the proxy may answer HTTPS connections for any host
// with a certificate of its own making. The private key file is readable by
// its owner only from the moment it exists.
#ifndef VELQUOR_HOST_PROXY_LOCAL_CA_H_
#define VELQUOR_HOST_PROXY_LOCAL_CA_H_

#include <openssl/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ca_files.h"

namespace velquor::host {

// Whether `file` can serve as --extra-ca: readable and holding at least one
// PEM certificate. False with *error ("FILE: <why>").
bool CheckCaFile(const std::string& file, std::string* error);

// A certificate and its key, shared by the connections that use it.
struct Leaf {
  X509* cert = nullptr;
  EVP_PKEY* key = nullptr;  // not owned: the authority's leaf key
  std::chrono::system_clock::time_point not_after;
  ~Leaf();
};

class LocalCa {
 public:
  // Loads the CA of `profile_dir`, creating it when there is none, or
  // replacing it when `renew`. Null with *error naming the file and the
  // problem.
  static std::unique_ptr<LocalCa> Open(const std::string& profile_dir, bool renew,
                                       std::string* error);
  ~LocalCa();
  LocalCa(const LocalCa&) = delete;
  LocalCa& operator=(const LocalCa&) = delete;

  const std::string& cert_path() const { return cert_path_; }
  X509* cert() const { return cert_; }
  // "CN, valid until YYYY-MM-DD, SHA-256 fingerprint AB:CD:..."
  std::string Describe() const;

  // A leaf certificate naming `names` (host names or IP addresses; the first
  // is the subject), issued now for a few days and kept in memory for the
  // next connection to the same names. Safe to call from any thread.
  std::shared_ptr<Leaf> LeafFor(const std::vector<std::string>& names, std::string* error);

  // How long a leaf is valid; one with less than a day left is issued anew.
  static constexpr std::chrono::hours kLeafValidity{24 * 7};

 private:
  LocalCa() = default;

  std::string cert_path_;
  X509* cert_ = nullptr;
  EVP_PKEY* key_ = nullptr;
  EVP_PKEY* leaf_key_ = nullptr;  // one key for every leaf of this run
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<Leaf>> leaves_;
};

}  // namespace velquor::host

#endif  // VELQUOR_HOST_PROXY_LOCAL_CA_H_
