// zefa-host: on a Samba AD DC, the process that holds the filter library as
// the security authority does on Windows. See host_server.h.
#include <cstdio>
#include <string>
#include <vector>

#include "samba/host_options.h"
#include "samba/host_server.h"

int main(int argc, char** argv) {
  zefa::host::HostSettings settings;
  std::string error;
  if (!zefa::host::ParseHostOptions(std::vector<std::string>(argv + 1, argv + argc), settings,
                                    error)) {
    std::fprintf(stderr, "zefa-host: %s\n%s", error.c_str(), zefa::host::HostUsage());
    return 2;
  }
  if (settings.show_help) {
    std::fputs(zefa::host::HostUsage(), stdout);
    return 0;
  }
  if (settings.show_version) {
    std::puts("zefa-host " CLAVORA_VERSION);
    return 0;
  }
  return zefa::host::RunHost(settings);
}
