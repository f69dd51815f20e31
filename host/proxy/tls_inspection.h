// HTTPS inspection's TLS: the certificate a browser is answered with, the
// contexts on either side, the check of an origin's name, the sessions kept
// with origins, and the words for a handshake that failed.
#ifndef VELQUOR_HOST_PROXY_TLS_INSPECTION_H_
#define VELQUOR_HOST_PROXY_TLS_INSPECTION_H_

#include <map>
#include <mutex>
#include <string>

#include <openssl/ssl.h>

#include "proxy/http_util.h"
#include "proxy/local_ca.h"

namespace velquor::host::proxy {

// What the browser's TLS handshake is answered with: a certificate for the
// host it asked CONNECT for and the server name it sends.
struct Impersonation {
  LocalCa* ca = nullptr;
  std::string connect_host;  // normalised
  std::string server_name;   // normalised, "" when the browser sent none
  std::string error;
};

// The certificate callback (SSL_set_cert_cb) of the browser's side; `arg`
// is the connection's Impersonation, which learns the server name and any
// error.
int ChooseCertificate(SSL* ssl, void* arg);

// Readies the context that answers browsers and the one that verifies
// origins (the system's CAs, and those of `extra_ca` when named). False
// with *error naming what cannot be used.
bool ConfigureInspection(net::ssl::context& server, net::ssl::context& client,
                         const std::string& extra_ca, std::string* error);

// Sets what an origin's certificate is verified against: `name`, an IP
// address or a host name (then also sent as the server name).
bool ExpectOriginName(SSL* ssl, const std::string& name);

// Why a TLS handshake failed, in words; `upstream` for the origin's side.
std::string HandshakeProblem(const error_code& ec, SSL* ssl, bool upstream);

// The last session with each origin ("name:port"), resumed by the next
// connection to it instead of a full handshake.
class OriginSessions {
 public:
  OriginSessions() = default;
  ~OriginSessions();
  OriginSessions(const OriginSessions&) = delete;
  OriginSessions& operator=(const OriginSessions&) = delete;

  void Keep(const std::string& origin, SSL* ssl);
  void Resume(const std::string& origin, SSL* ssl);

 private:
  std::mutex mutex_;
  std::map<std::string, SSL_SESSION*> sessions_;
};

}  // namespace velquor::host::proxy

#endif  // VELQUOR_HOST_PROXY_TLS_INSPECTION_H_
