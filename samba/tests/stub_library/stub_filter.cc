// A stand-in filter library for the host's tests: the same entry points as
// libzefa, with a fixed rule (a password is accepted when it starts with
// "Good") and a record of every call in the file named by STUB_RECORD, so a
// test can see exactly what reached the library. STUB_FILTER_DELAY_MS makes
// each check take that long. InitializeChangeNotify starts a worker thread
// that the unload routine stops, as the real library's maintenance worker.
// With STUB_INITIALISED_FILE set, the library counts as initialised only
// once that file exists.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "filter/exports.h"
#include "filter/host_exports.h"

namespace {

std::atomic<int> in_flight{0};
std::atomic<int> most_in_flight{0};

struct Worker {
  std::mutex lock;
  std::condition_variable wake;
  bool stop = false;
  std::thread thread;
};

Worker* worker = nullptr;

void Record(const std::string& line) {
  const char* path = std::getenv("STUB_RECORD");
  if (path == nullptr) return;
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const std::string text = line + "\n";
  ssize_t ignored = write(fd, text.data(), text.size());
  (void)ignored;
  close(fd);
}

std::string Utf8(const ZEFA_UNICODE_STRING* text) {
  if (text == nullptr) return "<null>";
  std::string out;
  const size_t units = text->Length / 2;
  for (size_t i = 0; i < units; ++i) {
    char32_t c = text->Buffer[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text->Buffer[++i] - 0xDC00);
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

__attribute__((destructor)) void Detach() {
  if (worker != nullptr) {
    {
      std::lock_guard<std::mutex> guard(worker->lock);
      worker->stop = true;
    }
    worker->wake.notify_all();
    worker->thread.join();
    delete worker;
    worker = nullptr;
    Record("worker stopped");
  }
  Record("detach most-in-flight=" + std::to_string(most_in_flight.load()));
}

// The stub's check: accepted when the password starts with "Good"; every
// call is recorded.
ZEFA_BOOLEAN StubFilter(ZEFA_UNICODE_STRING* AccountName, ZEFA_UNICODE_STRING* FullName,
                        ZEFA_UNICODE_STRING* Password, ZEFA_BOOLEAN SetOperation);

}  // namespace

extern "C" {

ZEFA_BOOLEAN ZEFA_CALL InitializeChangeNotify(void) {
  Record("init");
  if (worker == nullptr) {
    worker = new Worker;
    worker->thread = std::thread([] {
      std::unique_lock<std::mutex> guard(worker->lock);
      worker->wake.wait(guard, [] { return worker->stop; });
    });
  }
  return 1;
}

ZEFA_BOOLEAN ZEFA_CALL PasswordFilter(ZEFA_UNICODE_STRING* AccountName,
                                      ZEFA_UNICODE_STRING* FullName, ZEFA_UNICODE_STRING* Password,
                                      ZEFA_BOOLEAN SetOperation) {
  return StubFilter(AccountName, FullName, Password, SetOperation);
}

// The same check; a rejection says why, with the real library's header and
// one line for each of the stub's requirements the password misses (at
// least 8 characters, a digit, no space, not the word "password"), never
// the password. The principal name is recorded.
ZEFA_BOOLEAN ZEFA_CALL ZefaCheckPassword(ZEFA_UNICODE_STRING* AccountName,
                                         ZEFA_UNICODE_STRING* FullName,
                                         ZEFA_UNICODE_STRING* PrincipalName,
                                         ZEFA_UNICODE_STRING* Password, ZEFA_BOOLEAN SetOperation,
                                         char* Reason, uint32_t ReasonBytes) {
  Record("principal " + Utf8(PrincipalName));
  const ZEFA_BOOLEAN accepted = StubFilter(AccountName, FullName, Password, SetOperation);
  std::string reason;
  if (accepted == 0) {
    const std::string password = Utf8(Password);
    std::string lower = password;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    reason = "Requested password for user " + Utf8(AccountName) + " (" + Utf8(PrincipalName) +
             "; ) was not accepted because it did not meet these requirements:";
    if (password.find_first_of("0123456789") == std::string::npos)
      reason += "\r\n-Has at least 1 numbers";
    if (password.find(' ') != std::string::npos) reason += "\r\n-Must not contain spaces";
    if (lower.find("password") != std::string::npos)
      reason += "\r\n-Must not contain any of the forbidden words";
    if (password.size() < 8) reason += "\r\n-Must be at least 8 characters long";
  }
  if (Reason != nullptr && ReasonBytes > 0) {
    const size_t length = std::min<size_t>(reason.size(), ReasonBytes - 1);
    std::memcpy(Reason, reason.data(), length);
    Reason[length] = '\0';
  }
  return accepted;
}

}  // extern "C"

namespace {

ZEFA_BOOLEAN StubFilter(ZEFA_UNICODE_STRING* AccountName, ZEFA_UNICODE_STRING* FullName,
                        ZEFA_UNICODE_STRING* Password, ZEFA_BOOLEAN SetOperation) {
  const int now = ++in_flight;
  int most = most_in_flight.load();
  while (now > most && !most_in_flight.compare_exchange_weak(most, now)) {
  }
  if (const char* delay = std::getenv("STUB_FILTER_DELAY_MS"))
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(delay)));
  const std::string password = Utf8(Password);
  Record("filter " + Utf8(AccountName) + "|" + Utf8(FullName) + "|" + password + "|" +
         std::to_string(SetOperation));
  --in_flight;
  return password.rfind("Good", 0) == 0 ? 1 : 0;
}

}  // namespace

extern "C" {

ZEFA_BOOLEAN ZEFA_CALL ZefaInitialised(void) {
  const char* path = std::getenv("STUB_INITIALISED_FILE");
  return path == nullptr || access(path, F_OK) == 0 ? 1 : 0;
}

ZEFA_NTSTATUS ZEFA_CALL PasswordChangeNotify(ZEFA_UNICODE_STRING* UserName, uint32_t RelativeId,
                                             ZEFA_UNICODE_STRING* NewPassword) {
  Record("notify " + Utf8(UserName) + "|" + std::to_string(RelativeId) + "|" + Utf8(NewPassword));
  return 0;
}

}  // extern "C"
