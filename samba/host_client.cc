#include "samba/host_client.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "samba/frame_io.h"
#include "samba/secure_buffer.h"

namespace zefa::host {

int ConnectToHost(const std::string& socket_path, int timeout_ms, std::string& error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socket_path.empty() || socket_path.size() >= sizeof address.sun_path) {
    error = "bad socket path " + socket_path;
    return -1;
  }
  memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
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
  return fd;
}

bool ExchangeFrame(int fd, const std::string& frame, int timeout_ms, HostAnswer& answer,
                   std::string& error) {
  // A host that refuses the client answers at once and closes; its answer is
  // read even when the request could not be sent in full.
  const bool sent = WriteAll(fd, frame.data(), frame.size(), timeout_ms);
  const int send_errno = errno;
  FrameHeader header;
  uint8_t message[kMaxMessageBytes];
  const int wait_ms = sent ? timeout_ms : 200;
  const ReadStatus status = ReadFrame(fd, wait_ms, wait_ms, header, message, sizeof message);
  if (status != ReadStatus::kOk && !sent) {
    error = std::string("sending the request failed: ") + strerror(send_errno);
    return false;
  }
  if (status != ReadStatus::kOk) {
    error = status == ReadStatus::kIdle ? "no answer within " + std::to_string(timeout_ms) + " ms"
                                        : std::string("no valid answer: ") + ReadStatusText(status);
    return false;
  }
  answer.kind = header.kind;
  answer.message.assign(reinterpret_cast<const char*>(message), header.payload_bytes);
  return true;
}

bool CheckPasswordWithHost(const std::string& socket_path, const CheckTexts& texts,
                           int timeout_ms, HostAnswer& answer, std::string& error) {
  std::string frame;
  BeginFrame(frame, kCheckPassword);
  const bool built = AppendUint32(frame, texts.set_operation ? 1 : 0) &&
                     AppendText(frame, texts.account) && AppendText(frame, texts.full_name) &&
                     AppendText(frame, texts.principal) && AppendText(frame, texts.password) &&
                     FinishFrame(frame);
  bool ok = false;
  if (!built) {
    error = "a text is longer than the protocol allows";
  } else {
    const int fd = ConnectToHost(socket_path, timeout_ms, error);
    if (fd >= 0) {
      ok = ExchangeFrame(fd, frame, timeout_ms, answer, error);
      close(fd);
    }
  }
  WipeBytes(frame.data(), frame.size());
  return ok;
}

}  // namespace zefa::host
