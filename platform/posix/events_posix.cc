// Events go to the system log, facility auth. Each record carries the source as its tag and
// starts with "[event <id> <type>]"; line breaks in the text become " | ",
// since a record is one line.
//
// When CLAVORA_SYSLOG_SOCKET names a Unix datagram socket, the record is sent
// there directly in the local syslog format ("<PRI>source[pid]: message")
// instead of through the C library's syslog().

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/events.h"

namespace zefa::platform {

namespace {

int Priority(uint16_t event_type) {
  switch (event_type) {
    case kEventError:
      return LOG_ERR;
    case kEventWarning:
      return LOG_WARNING;
    default:
      return LOG_NOTICE;
  }
}

std::string TypeName(uint16_t event_type) {
  switch (event_type) {
    case kEventError:
      return "error";
    case kEventWarning:
      return "warning";
    case kEventInformation:
      return "information";
    default:
      return "type " + std::to_string(event_type);
  }
}

std::string OneLine(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      out += " | ";
    } else if (text[i] != '\0') {
      out.push_back(text[i]);
    }
  }
  return out;
}

bool SendToSocket(const char* socket_path, const std::string& record) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (std::strlen(socket_path) >= sizeof address.sun_path) return false;
  std::strcpy(address.sun_path, socket_path);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const ssize_t sent = sendto(fd, record.data(), record.size(), 0,
                              reinterpret_cast<const sockaddr*>(&address), sizeof address);
  close(fd);
  return sent == static_cast<ssize_t>(record.size());
}

// Writes one record under `tag` with the syslog priority `level`.
int WriteRecord(const std::string& tag, int level, const std::string& message) {
  const char* socket_path = std::getenv("CLAVORA_SYSLOG_SOCKET");
  if (socket_path != nullptr && *socket_path != '\0') {
    const std::string record = "<" + std::to_string(LOG_AUTH | level) + ">" + tag + "[" +
                               std::to_string(getpid()) + "]: " + message;
    return SendToSocket(socket_path, record) ? 1 : 0;
  }

  // openlog() settings belong to the whole process: set them, write and
  // reset them in one piece.
  static std::mutex syslog_lock;
  std::lock_guard<std::mutex> hold(syslog_lock);
  openlog(tag.c_str(), LOG_PID | LOG_NDELAY, LOG_AUTH);
  syslog(level, "%s", message.c_str());
  closelog();
  return 1;
}

}  // namespace

int ReportEvent(const Text& source, const Text& text, uint32_t event_id, uint16_t event_type) {
  const std::string tag = OneLine(TextToUtf8(source));
  if (tag.empty()) return 0;
  const std::string message = "[event " + std::to_string(event_id) + " " + TypeName(event_type) +
                              "] " + OneLine(TextToUtf8(text));
  return WriteRecord(tag, Priority(event_type), message);
}

void ForwardLogWarning(const Text& text) {
  WriteRecord("Clavora", LOG_WARNING, "[warning] " + OneLine(TextToUtf8(text)));
}

}  // namespace zefa::platform
