// Whether this process may use the local directory socket at all: Samba's
// privileged ldapi socket is root's, and a console run by another account
// would otherwise only see its lookups fail.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/directory.h"
#include "platform/posix/directory_open_problem.h"

namespace zefa::platform {

namespace {

constexpr char kDefaultUri[] = "ldapi://%2Fvar%2Flib%2Fsamba%2Fprivate%2Fldap_priv%2Fldapi";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The socket path of the first URI when it is an ldapi:// one; empty
// otherwise.
std::string LdapiSocketPath(const std::string& uris) {
  const std::string first = uris.substr(0, uris.find_first_of(" ,"));
  const std::string scheme = "ldapi://";
  if (first.compare(0, scheme.size(), scheme) != 0) return "";
  std::string encoded = first.substr(scheme.size());
  encoded = encoded.substr(0, encoded.find('/'));
  std::string path;
  for (size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] == '%' && i + 2 < encoded.size() && HexValue(encoded[i + 1]) >= 0 &&
        HexValue(encoded[i + 2]) >= 0) {
      path.push_back(static_cast<char>(HexValue(encoded[i + 1]) * 16 + HexValue(encoded[i + 2])));
      i += 2;
    } else {
      path.push_back(encoded[i]);
    }
  }
  return path;
}

}  // namespace

Text DirectoryAccessProblem() {
  const char* configured = std::getenv("CLAVORA_LDAP_URI");
  const std::string uris = configured != nullptr && *configured != '\0' ? configured : kDefaultUri;
  const std::string socket = LdapiSocketPath(uris);
  if (socket.empty()) return Utf8ToText(LastDirectoryOpenProblem());
  struct stat info {};
  if (stat(socket.c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR)
      return Utf8ToText("the directory's socket " + socket +
                        " does not exist: is the domain controller running?");
    return Utf8ToText("permission denied on " + socket + ": run as root");
  }
  if (access(socket.c_str(), R_OK | W_OK) != 0)
    return Utf8ToText("permission denied on " + socket + ": run as root");
  return Utf8ToText(LastDirectoryOpenProblem());
}

}  // namespace zefa::platform
