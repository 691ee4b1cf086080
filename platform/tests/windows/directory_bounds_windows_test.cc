// The time bounds of the wldap32 directory client against servers that stop
// answering: a loopback port that accepts and never answers, and a relay in
// front of the test DC that passes the bind on and then holds back every
// answer from the first search on.
#include "platform/tests/windows/windows_test_support.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/directory.h"
#include "testing/test_dc_windows.h"

namespace zefa::platform {
namespace {

using test_support::ScopedEnv;
using Clock = std::chrono::steady_clock;

constexpr unsigned char kSearchRequest = 0x63;

struct Winsock {
  Winsock() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~Winsock() { WSACleanup(); }
};

// A listening loopback socket; port() tells where.
SOCKET Listen(int& port) {
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 8) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    closesocket(listener);
    return INVALID_SOCKET;
  }
  port = ntohs(address.sin_port);
  return listener;
}

// The operation of the first whole LDAP message in `buffer` and its length
// (0 while incomplete).
size_t WholeMessage(const std::string& buffer, unsigned char& operation) {
  if (buffer.size() < 2) return 0;
  size_t at = 1;
  size_t length = static_cast<unsigned char>(buffer[at++]);
  if (length & 0x80) {
    const size_t bytes = length & 0x7F;
    if (buffer.size() < at + bytes) return 0;
    length = 0;
    for (size_t i = 0; i < bytes; ++i)
      length = length << 8 | static_cast<unsigned char>(buffer[at++]);
  }
  if (buffer.size() < at + length) return 0;
  operation =
      static_cast<unsigned char>(buffer[at + 2 + static_cast<unsigned char>(buffer[at + 1])]);
  return at + length;
}

// Relays one connection to host:port until the client sends a search; from
// then on nothing reaches either side. Ends when either side closes.
void RelayUntilSearch(SOCKET listener, const std::string& host, int port) {
  SOCKET client = accept(listener, nullptr, nullptr);
  if (client == INVALID_SOCKET) return;
  SOCKET upstream = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  inet_pton(AF_INET, host.c_str(), &address.sin_addr);
  bool silent = connect(upstream, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0;
  std::string pending;
  char chunk[16384];
  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(client, &readable);
    FD_SET(upstream, &readable);
    if (select(0, &readable, nullptr, nullptr, nullptr) <= 0) break;
    if (FD_ISSET(upstream, &readable)) {
      const int n = recv(upstream, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      if (!silent && send(client, chunk, n, 0) != n) break;
    }
    if (!FD_ISSET(client, &readable)) continue;
    const int n = recv(client, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    pending.append(chunk, static_cast<size_t>(n));
    unsigned char operation = 0;
    for (size_t length; (length = WholeMessage(pending, operation)) != 0;
         pending.erase(0, length)) {
      if (operation == kSearchRequest) silent = true;
      if (!silent &&
          send(upstream, pending.data(), static_cast<int>(length), 0) != static_cast<int>(length)) {
        break;
      }
    }
  }
  closesocket(upstream);
  closesocket(client);
}

const auto kBound = std::chrono::milliseconds(kDirectoryRequestMilliseconds + 2000);

// A port that accepts and never answers: the open (connect and Negotiate
// bind) gives up within its bound.
TEST(DirectoryBoundsWindows, SilentServerEndsTheOpenInTime) {
  if (test_support::RunningUnderWine()) {
    GTEST_SKIP() << "under Wine this wait did not end (Wine's wldap32 does not keep the "
                    "client-side bounds of the Windows library); runs on Windows";
  }
  REQUIRE_WINDOWS_TEST_DC();
  testing::UseWindowsTestDc();
  Winsock winsock;
  int port = 0;
  SOCKET listener = Listen(port);
  ASSERT_NE(listener, INVALID_SOCKET);
  ScopedEnv uri(L"CLAVORA_LDAP_URI", (L"ldap://127.0.0.1:" + std::to_wstring(port)).c_str());
  const auto start = Clock::now();
  DirectoryHandle* handle = DirectoryOpen();
  const auto took = Clock::now() - start;
  DirectoryClose(handle);
  closesocket(listener);
  EXPECT_EQ(handle, nullptr);
  EXPECT_LT(took, kBound);
}

// The bind goes through to the DC, the search never gets an answer: it
// ends within its bound, and the connection is given up, so the next request
// fails at once instead of waiting again.
TEST(DirectoryBoundsWindows, UnansweredSearchEndsInTimeAndGivesTheConnectionUp) {
  if (test_support::RunningUnderWine()) {
    GTEST_SKIP() << "under Wine this wait did not end (Wine's wldap32 does not keep the "
                    "client-side bounds of the Windows library); runs on Windows";
  }
  REQUIRE_WINDOWS_TEST_DC();
  testing::UseWindowsTestDc();
  const Text dc_uri = testing::WindowsTestDcSetting(L"CLAVORA_TEST_WIN_DC_URI");
  ASSERT_EQ(dc_uri.rfind(L"ldap://", 0), 0u);
  const std::string dc_host = TextToUtf8(dc_uri.substr(7, dc_uri.find(L':', 7) - 7));
  Winsock winsock;
  int port = 0;
  SOCKET listener = Listen(port);
  ASSERT_NE(listener, INVALID_SOCKET);
  std::thread relay(RelayUntilSearch, listener, dc_host, 389);
  ScopedEnv uri(L"CLAVORA_LDAP_URI", (L"ldap://127.0.0.1:" + std::to_wstring(port)).c_str());

  DirectoryHandle* handle = DirectoryOpen();
  EXPECT_NE(handle, nullptr);
  if (handle != nullptr) {
    EXPECT_FALSE(DirectoryConnectionLost(handle));
    std::vector<DirectoryEntry> entries;
    auto start = Clock::now();
    const int first = DirectorySearch(handle, L"", 0, Text(), {}, 0, entries);
    EXPECT_NE(first, 0);
    EXPECT_LT(Clock::now() - start, kBound);
    EXPECT_TRUE(DirectoryConnectionLost(handle));
    start = Clock::now();
    EXPECT_EQ(DirectorySearch(handle, L"", 0, Text(), {}, 0, entries), first);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
  }
  DirectoryClose(handle);
  closesocket(listener);  // ends the relay when it never got a connection
  relay.join();
}

}  // namespace
}  // namespace zefa::platform
