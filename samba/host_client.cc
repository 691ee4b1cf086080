#include "samba/host_client.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>

#include "samba/frame_io.h"
#include "samba/peer_credentials.h"
#include "samba/secure_buffer.h"

namespace zefa::host {

int ConnectToHost(const std::string& socket_path, int timeout_ms, std::string& error,
                  uid_t host_uid) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socket_path.empty() || socket_path.size() >= sizeof address.sun_path) {
    error = "bad socket path " + socket_path;
    return -1;
  }
  memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
  std::string why;
  if (!SocketFolderTrusted(socket_path, host_uid, why)) {
    error = why + "; refusing to use " + socket_path;
    return -1;
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + strerror(errno);
    return -1;
  }
  // A blocking connect to a full listen queue waits up to the send timeout.
  timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = "cannot connect to " + socket_path + ": " + strerror(errno);
    close(fd);
    return -1;
  }
  if (!ListenerTrusted(fd, host_uid, why)) {
    error = why + "; refusing to use " + socket_path;
    close(fd);
    return -1;
  }
  return fd;
}

bool ExchangeFrameUntil(int fd, const uint8_t* frame, size_t size, int64_t deadline_ms,
                        HostAnswer& answer, std::string& error) {
  // A host that refuses the client answers at once and closes; its answer is
  // read even when the request could not be sent in full.
  const bool sent = WriteAllUntil(fd, frame, size, deadline_ms);
  const int send_errno = errno;
  FrameHeader header;
  uint8_t message[kMaxMessageBytes];
  const int64_t wait_until = sent ? deadline_ms : std::min(deadline_ms, MonotonicMs() + 200);
  const ReadStatus status = ReadFrameUntil(fd, wait_until, header, message, sizeof message);
  if (status != ReadStatus::kOk && !sent) {
    error = std::string("sending the request failed: ") +
            (send_errno != 0 ? strerror(send_errno) : "no time left");
    return false;
  }
  if (status != ReadStatus::kOk) {
    error = status == ReadStatus::kIdle || status == ReadStatus::kTimeout
                ? std::string("no complete answer in time")
                : std::string("no valid answer: ") + ReadStatusText(status);
    return false;
  }
  answer.kind = header.kind;
  answer.message.assign(reinterpret_cast<const char*>(message), header.payload_bytes);
  return true;
}

bool ExchangeFrame(int fd, const std::string& frame, int timeout_ms, HostAnswer& answer,
                   std::string& error) {
  return ExchangeFrameUntil(fd, reinterpret_cast<const uint8_t*>(frame.data()), frame.size(),
                            MonotonicMs() + timeout_ms, answer, error);
}

bool CheckPasswordWithHost(const std::string& socket_path, const CheckTexts& texts, int timeout_ms,
                           HostAnswer& answer, std::string& error, bool* locking, uid_t host_uid) {
  // One deadline for the whole exchange: a host that answers slowly, byte by
  // byte, cannot stretch it.
  const int64_t deadline = MonotonicMs() + timeout_ms;
  SecureBuffer memory;
  if (!AllocateSecureBuffer(memory, kFrameCapacity)) {
    error = "no memory for the request";
    return false;
  }
  if (locking != nullptr) *locking = memory.locked;
  FrameBuffer frame{memory.data, memory.capacity, 0};
  const bool built =
      BeginFrame(frame, kCheckPassword) && AppendUint32(frame, texts.set_operation ? 1 : 0) &&
      AppendText(frame, texts.account) && AppendText(frame, texts.full_name) &&
      AppendText(frame, texts.principal) && AppendText(frame, texts.password) && FinishFrame(frame);
  bool ok = false;
  if (!built) {
    error = "a text is longer than the protocol allows";
  } else {
    const int64_t left = deadline - MonotonicMs();
    const int fd =
        left > 0 ? ConnectToHost(socket_path, static_cast<int>(left), error, host_uid) : -1;
    if (left <= 0) error = "no time left to connect";
    if (fd >= 0) {
      ok = ExchangeFrameUntil(fd, frame.data, frame.size, deadline, answer, error);
      close(fd);
    }
  }
  return ok;  // the buffer's pages are wiped as they are freed
}

}  // namespace zefa::host
