#include "proxy/tls_inspection.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <openssl/x509v3.h>

#include "proxy/exceptions.h"

namespace velquor::host::proxy {

namespace {

// Both sides speak HTTP/1.1 inside an inspected connection, whatever else a
// browser offers.
int SelectHttp11(SSL*, const unsigned char** out, unsigned char* outlen, const unsigned char* in,
                 unsigned int inlen, void*) {
  static const unsigned char kHttp11[] = "\x08http/1.1";
  unsigned char* chosen = nullptr;
  if (SSL_select_next_proto(&chosen, outlen, kHttp11, sizeof kHttp11 - 1, in, inlen) !=
      OPENSSL_NPN_NEGOTIATED) {
    return SSL_TLSEXT_ERR_NOACK;
  }
  *out = chosen;
  return SSL_TLSEXT_ERR_OK;
}

}  // namespace

int ChooseCertificate(SSL* ssl, void* arg) {
  auto* who = static_cast<Impersonation*>(arg);
  std::vector<std::string> names{who->connect_host};
  if (const char* sni = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name)) {
    who->server_name = NormalizeHost(sni);
    if (!who->server_name.empty() && who->server_name != who->connect_host) {
      names.insert(names.begin(), who->server_name);
    }
  }
  std::shared_ptr<Leaf> leaf = who->ca->LeafFor(names, &who->error);
  if (!leaf) return 0;
  return SSL_use_certificate(ssl, leaf->cert) == 1 && SSL_use_PrivateKey(ssl, leaf->key) == 1 ? 1
                                                                                              : 0;
}

bool ConfigureInspection(net::ssl::context& server_context, net::ssl::context& client_context,
                         const std::string& extra_ca, std::string* error) {
  error_code ec;
  static const unsigned char kHttp11[] = "\x08http/1.1";
  SSL_CTX* server = server_context.native_handle();
  SSL_CTX_set_min_proto_version(server, TLS1_2_VERSION);
  SSL_CTX_set_alpn_select_cb(server, SelectHttp11, nullptr);
  // Browsers coming back resume their sessions instead of a full handshake.
  static const unsigned char kContext[] = "velquor proxy";
  SSL_CTX_set_session_id_context(server, kContext, sizeof kContext - 1);
  SSL_CTX* client = client_context.native_handle();
  SSL_CTX_set_min_proto_version(client, TLS1_2_VERSION);
  SSL_CTX_set_alpn_protos(client, kHttp11, sizeof kHttp11 - 1);
  client_context.set_verify_mode(net::ssl::verify_peer);
  client_context.set_default_verify_paths(ec);
  if (ec) {
    *error = "cannot read the system's trusted certificates: " + ec.message();
    return false;
  }
  if (!extra_ca.empty()) {
    const std::string& file = extra_ca;
    if (FILE* f = std::fopen(file.c_str(), "r")) {
      std::fclose(f);
    } else {
      *error = "--extra-ca " + file + ": " + std::strerror(errno);
      return false;
    }
    client_context.load_verify_file(file, ec);
    if (ec) {
      *error = "--extra-ca " + file + ": no PEM certificate in it";
      return false;
    }
  }
  return true;
}

bool ExpectOriginName(SSL* ssl, const std::string& name) {
  ASN1_OCTET_STRING* ip = a2i_IPADDRESS(name.c_str());
  const bool is_ip = ip != nullptr;
  ASN1_OCTET_STRING_free(ip);
  ERR_clear_error();
  bool ok = true;
  if (is_ip) {
    ok = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name.c_str()) == 1;
  } else {
    ok = SSL_set_tlsext_host_name(ssl, name.c_str()) == 1 && SSL_set1_host(ssl, name.c_str()) == 1;
    // Names are checked against subjectAltName only, as browsers do: a
    // certificate naming its host in the common name alone is refused.
    SSL_set_hostflags(ssl,
                      X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
  }
  return ok;
}

std::string HandshakeProblem(const error_code& ec, SSL* ssl, bool upstream) {
  if (ec == beast::error::timeout) return "no TLS handshake within the time allowed";
  if (ec == net::error::eof || ec == net::ssl::error::stream_truncated ||
      ec == net::error::connection_reset) {
    return "the connection was closed during the TLS handshake";
  }
  if (upstream && ssl) {
    const long verify = SSL_get_verify_result(ssl);
    if (verify != X509_V_OK) {
      return std::string("its certificate cannot be trusted: ") +
             X509_verify_cert_error_string(verify);
    }
  }
  if (ec.category() == net::error::get_ssl_category()) {
    const int reason = ERR_GET_REASON(static_cast<unsigned long>(ec.value()));
    if (reason == SSL_R_WRONG_VERSION_NUMBER || reason == SSL_R_PACKET_LENGTH_TOO_LONG ||
        reason == SSL_R_HTTP_REQUEST || reason == SSL_R_UNEXPECTED_RECORD) {
      return std::string(upstream ? "it does not answer" : "the browser does not speak") +
             " TLS (" + ec.message() + ")";
    }
  }
  return "TLS handshake failed (" + ec.message() + ")";
}

OriginSessions::~OriginSessions() {
  for (auto& [origin, session] : sessions_) SSL_SESSION_free(session);
}

void OriginSessions::Keep(const std::string& origin, SSL* ssl) {
  SSL_SESSION* session = SSL_get1_session(ssl);
  if (!session) return;
  if (!SSL_SESSION_is_resumable(session)) {
    SSL_SESSION_free(session);
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (sessions_.size() >= 1024) {
    for (auto& [o, s] : sessions_) SSL_SESSION_free(s);
    sessions_.clear();
  }
  SSL_SESSION*& slot = sessions_[origin];
  if (slot) SSL_SESSION_free(slot);
  slot = session;
}

void OriginSessions::Resume(const std::string& origin, SSL* ssl) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto it = sessions_.find(origin); it != sessions_.end()) {
    SSL_set_session(ssl, it->second);
  }
}

}  // namespace velquor::host::proxy
