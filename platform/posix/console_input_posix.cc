// Secret console input: the terminal's echo is switched off while a password
// is typed.

#include <errno.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "platform/characters.h"
#include "platform/system.h"

namespace zefa::platform {

namespace {

void WriteText(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Reads bytes up to a line end or the end of input. False when the input
// ended (or failed) before any byte.
bool ReadLineBytes(int fd, std::string& line) {
  bool any = false;
  for (;;) {
    char c = 0;
    const ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return any;
    any = true;
    if (c == '\n') break;
    line.push_back(c);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

}  // namespace

bool ReadSecretLine(const Text& prompt, Text& secret) {
  secret.clear();
  std::string line;
  line.reserve(1024);  // typed passwords stay within one allocation to wipe
  bool read = false;
  termios saved{};
  if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0) {
    // The echo goes off before the prompt appears, so nothing typed after
    // the prompt can show.
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;  // the line end still shows
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    WriteText(STDERR_FILENO, TextToUtf8(prompt));
    read = ReadLineBytes(STDIN_FILENO, line);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  } else {
    read = ReadLineBytes(STDIN_FILENO, line);
  }
  if (read) secret = Utf8ToText(line);
  SecureWipe(line.data(), line.capacity());
  return read;
}

}  // namespace zefa::platform
