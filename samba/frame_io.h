// Reading and writing whole frames on a stream socket, each step bounded in
// time, so a client that stalls or vanishes mid-request costs the host at
// most one timeout.
#pragma once

#include <cstddef>
#include <cstdint>

#include "samba/host_protocol.h"

namespace zefa::host {

enum class ReadStatus {
  kOk,
  kClosed,        // the peer closed before the first byte of a frame
  kIdle,          // no frame began within the idle time
  kDisconnected,  // the peer closed in the middle of a frame
  kTimeout,       // a frame began but was not complete in time
  kBadMagic,
  kBadVersion,
  kTooLarge,  // the header announces more than `capacity` bytes
  kError,     // the socket failed
};

const char* ReadStatusText(ReadStatus status);

// Reads one frame: waits up to `idle_ms` for its first byte, then up to
// `frame_ms` for the rest. The payload goes to `payload` (at most `capacity`
// bytes; a larger announced payload is not read).
ReadStatus ReadFrame(int fd, int idle_ms, int frame_ms, FrameHeader& header, uint8_t* payload,
                     size_t capacity);

// Writes all bytes within `timeout_ms`; never raises SIGPIPE.
bool WriteAll(int fd, const void* data, size_t size, int timeout_ms);

}  // namespace zefa::host
