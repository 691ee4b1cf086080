#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "platform/events.h"
#include "logging/log.h"
#include "platform/tests/test_folder.h"

namespace zefa::platform {
namespace {

using test_support::ScopedEnv;
using test_support::TempFolder;

// A datagram socket standing in for the system log daemon.
class LogReceiver {
 public:
  explicit LogReceiver(const std::string& path) : fd_(socket(AF_UNIX, SOCK_DGRAM, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    timeval timeout{2, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  ~LogReceiver() { close(fd_); }
  bool bound() const { return bound_; }
  std::string Next() {
    char buffer[4096];
    const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
    return got < 0 ? "(nothing)" : std::string(buffer, static_cast<size_t>(got));
  }

 private:
  int fd_;
  bool bound_ = false;
};

TEST(Events, RecordCarriesSourceIdTypeAndOneLineText) {
  TempFolder dir;
  LogReceiver receiver(dir.File("log.sock"));
  ASSERT_TRUE(receiver.bound());
  ScopedEnv socket_path("CLAVORA_SYSLOG_SOCKET", dir.File("log.sock").c_str());
  const std::string pid = std::to_string(getpid());

  EXPECT_EQ(ReportEvent(ZT("Clavora"), ZT("Password for jdoe rejected.\r\nToo short."), 2,
                        kEventInformation),
            1);
  EXPECT_EQ(receiver.Next(), "<37>Clavora[" + pid +
                                 "]: [event 2 information] Password for jdoe rejected. | "
                                 "Too short.");
  EXPECT_EQ(ReportEvent(ZT("Clavora"), ZT("Grüße"), 12, kEventError), 1);
  EXPECT_EQ(receiver.Next(), "<35>Clavora[" + pid + "]: [event 12 error] Grüße");
  EXPECT_EQ(ReportEvent(ZT("Clavora"), ZT("a\nb"), 1, kEventWarning), 1);
  EXPECT_EQ(receiver.Next(), "<36>Clavora[" + pid + "]: [event 1 warning] a | b");
}

// A Warning line of the filter's log also goes to the system log, facility
// auth, level warning; other lines do not.
TEST(Events, LogWarningsReachTheSystemLog) {
  TempFolder dir;
  LogReceiver receiver(dir.File("log.sock"));
  ASSERT_TRUE(receiver.bound());
  ScopedEnv socket_path("CLAVORA_SYSLOG_SOCKET", dir.File("log.sock").c_str());
  SetLogFilePath(Utf8ToText(dir.File("filter.log")));
  const std::string pid = std::to_string(getpid());
  WriteLog(ZT("an ordinary line"), ZT("Info"), 0);
  WriteLog(ZT("The forbidden-word file /x/words.txt does not exist\r\nsecond line"), ZT("Warning"),
           0);
  EXPECT_EQ(receiver.Next(), "<36>Clavora[" + pid +
                                 "]: [warning] The forbidden-word file /x/words.txt does not "
                                 "exist | second line");
  WriteLog(ZT("not forwarded"), ZT("Debug"), 0);
  EXPECT_EQ(receiver.Next(), "(nothing)");
  ResetLogDefaults();
}

TEST(Events, FailuresAreReportedAsZero) {
  TempFolder dir;
  ScopedEnv socket_path("CLAVORA_SYSLOG_SOCKET", dir.File("nobody-listens.sock").c_str());
  EXPECT_EQ(ReportEvent(ZT("Clavora"), ZT("lost"), 2, kEventInformation), 0);
  EXPECT_EQ(ReportEvent(ZT(""), ZT("no source"), 2, kEventInformation), 0);
}

}  // namespace
}  // namespace zefa::platform
