#include "samba/frame_io.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

namespace zefa::host {

int64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

namespace {

enum class WaitResult { kReady, kTimeout, kError };

WaitResult WaitFor(int fd, short events, int64_t deadline_ms) {
  for (;;) {
    const int64_t left = deadline_ms - MonotonicMs();
    if (left <= 0) return WaitResult::kTimeout;
    pollfd entry{fd, events, 0};
    const int rc = poll(&entry, 1, static_cast<int>(left));
    if (rc > 0) return WaitResult::kReady;  // errors and hang-ups show in the next call
    if (rc == 0) return WaitResult::kTimeout;
    if (errno != EINTR) return WaitResult::kError;
  }
}

enum class ReceiveResult { kDone, kEof, kTimeout, kError };

// Receives exactly `size` bytes; `received` tells how many arrived.
ReceiveResult ReceiveExact(int fd, uint8_t* data, size_t size, int64_t deadline_ms,
                           size_t& received) {
  received = 0;
  while (received < size) {
    const WaitResult wait = WaitFor(fd, POLLIN, deadline_ms);
    if (wait == WaitResult::kTimeout) return ReceiveResult::kTimeout;
    if (wait == WaitResult::kError) return ReceiveResult::kError;
    const ssize_t n = recv(fd, data + received, size - received, MSG_DONTWAIT);
    if (n == 0) return ReceiveResult::kEof;
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return ReceiveResult::kError;
    }
    received += static_cast<size_t>(n);
  }
  return ReceiveResult::kDone;
}

}  // namespace

const char* ReadStatusText(ReadStatus status) {
  switch (status) {
    case ReadStatus::kOk:
      return "ok";
    case ReadStatus::kClosed:
      return "connection closed";
    case ReadStatus::kIdle:
      return "no request in time";
    case ReadStatus::kDisconnected:
      return "client disconnected mid-request";
    case ReadStatus::kTimeout:
      return "request not complete in time";
    case ReadStatus::kBadMagic:
      return "not a zefa-host frame";
    case ReadStatus::kBadVersion:
      return "unsupported protocol version";
    case ReadStatus::kTooLarge:
      return "frame larger than allowed";
    case ReadStatus::kError:
      return "socket error";
  }
  return "unknown";
}

namespace {

// The first byte is due by `first_deadline`, the rest of the frame by
// `rest_deadline` (or, when that is 0, within `frame_ms` of the first byte).
ReadStatus ReadFrameBy(int fd, int64_t first_deadline, int64_t rest_deadline, int frame_ms,
                       FrameHeader& header, uint8_t* payload, size_t capacity) {
  uint8_t bytes[kHeaderBytes];
  size_t received = 0;
  ReceiveResult result = ReceiveExact(fd, bytes, 1, first_deadline, received);
  if (result == ReceiveResult::kEof) return ReadStatus::kClosed;
  if (result == ReceiveResult::kTimeout) return ReadStatus::kIdle;
  if (result == ReceiveResult::kError) return ReadStatus::kError;
  const int64_t deadline = rest_deadline != 0 ? rest_deadline : MonotonicMs() + frame_ms;
  result = ReceiveExact(fd, bytes + 1, kHeaderBytes - 1, deadline, received);
  if (result == ReceiveResult::kEof) return ReadStatus::kDisconnected;
  if (result == ReceiveResult::kTimeout) return ReadStatus::kTimeout;
  if (result == ReceiveResult::kError) return ReadStatus::kError;
  switch (DecodeHeader(bytes, header)) {
    case HeaderStatus::kOk:
      break;
    case HeaderStatus::kBadMagic:
      return ReadStatus::kBadMagic;
    case HeaderStatus::kBadVersion:
      return ReadStatus::kBadVersion;
    case HeaderStatus::kTooLarge:
      return ReadStatus::kTooLarge;
  }
  if (header.payload_bytes > capacity) return ReadStatus::kTooLarge;
  result = ReceiveExact(fd, payload, header.payload_bytes, deadline, received);
  if (result == ReceiveResult::kEof) return ReadStatus::kDisconnected;
  if (result == ReceiveResult::kTimeout) return ReadStatus::kTimeout;
  if (result == ReceiveResult::kError) return ReadStatus::kError;
  return ReadStatus::kOk;
}

}  // namespace

ReadStatus ReadFrame(int fd, int idle_ms, int frame_ms, FrameHeader& header, uint8_t* payload,
                     size_t capacity) {
  // The first byte may take the idle time; the frame's rest its own time.
  return ReadFrameBy(fd, MonotonicMs() + idle_ms, 0, frame_ms, header, payload, capacity);
}

ReadStatus ReadFrameUntil(int fd, int64_t deadline_ms, FrameHeader& header, uint8_t* payload,
                          size_t capacity) {
  // A deadline already past would read as "no deadline" below.
  const int64_t deadline = deadline_ms > 0 ? deadline_ms : 1;
  return ReadFrameBy(fd, deadline, deadline, 0, header, payload, capacity);
}

bool WriteAll(int fd, const void* data, size_t size, int timeout_ms) {
  return WriteAllUntil(fd, data, size, MonotonicMs() + timeout_ms);
}

bool WriteAllUntil(int fd, const void* data, size_t size, int64_t deadline) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t sent = 0;
  while (sent < size) {
    if (WaitFor(fd, POLLOUT, deadline) != WaitResult::kReady) return false;
    const ssize_t n = send(fd, bytes + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace zefa::host
