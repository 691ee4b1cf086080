#include "samba/host_options.h"

#include <charconv>
#include <cstdlib>

namespace zefa::host {

namespace {

bool ParseNumber(const std::string& text, int minimum, int maximum, int& out) {
  int value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return false;
  if (value < minimum || value > maximum) return false;
  out = value;
  return true;
}

void FromEnvironment(const char* name, std::string& out) {
  const char* value = std::getenv(name);
  if (value != nullptr && *value != '\0') out = value;
}

}  // namespace

const char* HostUsage() {
  return "usage: zefa-host [options]\n"
         "Loads the password filter library and answers check and change-notification\n"
         "requests of local clients (the check-password hook) over a Unix socket.\n"
         "\n"
         "  --socket PATH              listening socket (env ZEFA_HOST_SOCKET;\n"
         "                             default /run/zefa/host.sock)\n"
         "  --library NAME|PATH        filter library, loaded by name as the dynamic\n"
         "                             loader finds it (env ZEFA_LIBRARY; default libzefa.so)\n"
         "  --group NAME|GID           members of this group may ask checks besides root\n"
         "                             (only root and the host's user send change\n"
         "                             notifications)\n"
         "  --group-checks-per-second N  checks one group member may ask a second\n"
         "                             (default 10); each is logged with its uid\n"
         "  --max-clients N            connections served at once (default 64)\n"
         "  --request-timeout-ms MS    a begun request must be complete within (default 5000)\n"
         "  --idle-timeout-ms MS       a connection without a request is closed (default 2000);\n"
         "                             with every connection taken, the longest idle one\n"
         "                             is closed at once for a new client\n"
         "  --confirm-poll-ms MS       how often accepted changes are looked for in the\n"
         "                             library's directory view (default 250)\n"
         "  --confirm-max-age-ms MS    the longest an accepted change waits for the\n"
         "                             directory to show it (default 3600000)\n"
         "  --confirm-max-pending N    accepted changes kept at most (default 10000);\n"
         "                             then the oldest is dropped\n"
         "  --verbose                  one line per request\n"
         "  --version, --help\n"
         "\n"
         "The filter library reads CLAVORA_ROOT, CLAVORA_SMB_CONF and CLAVORA_LDAP_URI\n"
         "from this environment; the host learns pwdLastSet from the library's view.\n";
}

bool ParseHostOptions(const std::vector<std::string>& arguments, HostSettings& settings,
                      std::string& error) {
  FromEnvironment("ZEFA_HOST_SOCKET", settings.socket_path);
  FromEnvironment("ZEFA_LIBRARY", settings.library);
  struct NumberOption {
    const char* name;
    int* target;
    int minimum;
    int maximum;
  };
  const NumberOption numbers[] = {
      {"--max-clients", &settings.max_clients, 1, 4096},
      {"--group-checks-per-second", &settings.group_checks_per_second, 1, 10000},
      {"--request-timeout-ms", &settings.request_timeout_ms, 10, 600000},
      {"--idle-timeout-ms", &settings.idle_timeout_ms, 10, 3600000},
      {"--confirm-poll-ms", &settings.confirm_poll_ms, 10, 60000},
      {"--confirm-max-age-ms", &settings.confirm_max_age_ms, 100, 3600000},
      {"--confirm-max-pending", &settings.confirm_max_pending, 1, 10000},
  };
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    if (option == "--help" || option == "-h") {
      settings.show_help = true;
      continue;
    }
    if (option == "--version") {
      settings.show_version = true;
      continue;
    }
    if (option == "--verbose" || option == "-v") {
      settings.verbose = true;
      continue;
    }
    if (i + 1 >= arguments.size()) {
      error = "unknown option or missing value: " + option;
      return false;
    }
    const std::string& value = arguments[i + 1];
    bool known = true;
    if (option == "--socket") {
      settings.socket_path = value;
    } else if (option == "--library") {
      settings.library = value;
    } else if (option == "--group") {
      settings.group = value;
    } else {
      known = false;
      for (const NumberOption& number : numbers) {
        if (option != number.name) continue;
        known = true;
        if (!ParseNumber(value, number.minimum, number.maximum, *number.target)) {
          error = option + " needs a number from " + std::to_string(number.minimum) + " to " +
                  std::to_string(number.maximum);
          return false;
        }
      }
    }
    if (!known) {
      error = "unknown option " + option;
      return false;
    }
    ++i;
  }
  if (settings.socket_path.empty() || settings.socket_path.size() > 107) {
    error = "the socket path must have 1 to 107 bytes";
    return false;
  }
  if (settings.library.empty()) {
    error = "the library name is empty";
    return false;
  }
  return true;
}

}  // namespace zefa::host
