// The files of the proxy's local CA in a profile directory: made by
// `velquor proxy` (host/proxy/local_ca.h), removed by `velquor uninstall
// --remove-ca`.
#ifndef VELQUOR_HOST_CA_FILES_H_
#define VELQUOR_HOST_CA_FILES_H_

#include <string>

namespace velquor::host {

inline std::string CaCertificatePath(const std::string& profile_dir) {
  return profile_dir + "/velquor-ca.pem";
}
inline std::string CaKeyPath(const std::string& profile_dir) {
  return profile_dir + "/velquor-ca.key";
}

}  // namespace velquor::host

#endif  // VELQUOR_HOST_CA_FILES_H_
