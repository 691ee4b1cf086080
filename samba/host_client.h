// The client side of the host protocol: connect, send one request, read the
// answer, all within one time limit.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "samba/host_protocol.h"

namespace zefa::host {

struct HostAnswer {
  uint8_t kind = 0;
  std::string message;
};

// A connected socket, or -1 with `error` set. Gives up after `timeout_ms`
// when the host's listen queue is full.
int ConnectToHost(const std::string& socket_path, int timeout_ms, std::string& error);

// Sends a complete frame and reads the answer within `timeout_ms`. False
// with `error` set when that failed.
bool ExchangeFrame(int fd, const std::string& frame, int timeout_ms, HostAnswer& answer,
                   std::string& error);

struct CheckTexts {
  std::u16string_view account;
  std::u16string_view full_name;
  std::u16string_view principal;
  std::u16string_view password;
  bool set_operation = false;
};

// One check over a connection of its own. The request buffer is wiped
// before it is freed.
bool CheckPasswordWithHost(const std::string& socket_path, const CheckTexts& texts,
                           int timeout_ms, HostAnswer& answer, std::string& error);

}  // namespace zefa::host
