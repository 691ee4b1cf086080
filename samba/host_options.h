// zefa-host's settings: command-line options over environment variables over
// defaults.
#pragma once

#include <string>
#include <vector>

namespace zefa::host {

constexpr char kDefaultSocketPath[] = "/run/zefa/host.sock";
constexpr char kDefaultLibrary[] = "libzefa.so";

struct HostSettings {
  std::string socket_path = kDefaultSocketPath;  // ZEFA_HOST_SOCKET
  std::string library = kDefaultLibrary;         // ZEFA_LIBRARY
  std::string group;                             // members may ask checks besides root
  int group_checks_per_second = 10;  // per member (uid); then refused until its rate allows
  int max_clients = 64;              // connections served at once
  int request_timeout_ms = 5000;     // a begun request must be complete by then
  int idle_timeout_ms = 2000;        // a connection without a request is closed
  int confirm_poll_ms = 250;         // the directory view's stamps are asked that often
  int confirm_max_age_ms = 3600000;  // the longest an accepted change waits for them
  int confirm_max_pending = 10000;   // changes kept at most; then the oldest goes
  bool verbose = false;
  bool show_help = false;
  bool show_version = false;
};

// Parses the arguments (without the program name). False with `error` set
// on an unknown option or a bad value.
bool ParseHostOptions(const std::vector<std::string>& arguments, HostSettings& settings,
                      std::string& error);

const char* HostUsage();

}  // namespace zefa::host
