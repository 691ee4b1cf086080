// The client side of the host protocol: connect, send one request, read the
// answer, all within one deadline.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "samba/host_protocol.h"
#include "samba/secure_buffer.h"

namespace zefa::host {

struct HostAnswer {
  uint8_t kind = 0;
  std::string message;
};

// A connected socket, or -1 with `error` set. Gives up after `timeout_ms`
// when the host's listen queue is full. Nothing is sent to a socket that
// someone else could have put there: its folder must be trusted
// (SocketFolderTrusted with `host_uid`) and its listener must run as root,
// as this process's user or as `host_uid` (ListenerTrusted).
int ConnectToHost(const std::string& socket_path, int timeout_ms, std::string& error,
                  uid_t host_uid = 0);

// Sends a complete frame and reads the answer, all of it by `deadline_ms`
// (MonotonicMs). False with `error` set when that failed.
bool ExchangeFrameUntil(int fd, const uint8_t* frame, size_t size, int64_t deadline_ms,
                        HostAnswer& answer, std::string& error);

// The same within `timeout_ms` from now.
bool ExchangeFrame(int fd, const std::string& frame, int timeout_ms, HostAnswer& answer,
                   std::string& error);

struct CheckTexts {
  std::u16string_view account;
  std::u16string_view full_name;
  std::u16string_view principal;
  std::u16string_view password;
  bool set_operation = false;
};

// One check over a connection of its own, the connection, the request and
// the answer all within `timeout_ms`. The request is built in locked pages
// (see SecureBuffer), wiped before they are freed; `locking` tells whether
// they could be locked (false: the request may have reached swap space).
// The host is trusted as ConnectToHost says, with `host_uid`.
bool CheckPasswordWithHost(const std::string& socket_path, const CheckTexts& texts, int timeout_ms,
                           HostAnswer& answer, std::string& error, bool* locking = nullptr,
                           uid_t host_uid = 0);

}  // namespace zefa::host
