// The wire format, frame reading over real sockets, the UTF-8 conversion of
// the hook and the peer rule.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/text.h"
#include "samba/frame_io.h"
#include "samba/host_protocol.h"
#include "samba/peer_credentials.h"
#include "samba/wire_text.h"

namespace zefa::host {
namespace {

std::string CheckFrame(std::u16string_view account, std::u16string_view password,
                       uint32_t flags = 0) {
  std::string frame;
  BeginFrame(frame, kCheckPassword);
  EXPECT_TRUE(AppendUint32(frame, flags));
  EXPECT_TRUE(AppendText(frame, account));
  EXPECT_TRUE(AppendText(frame, u"Full Name"));
  EXPECT_TRUE(AppendText(frame, u"user@example.test"));
  EXPECT_TRUE(AppendText(frame, password));
  EXPECT_TRUE(FinishFrame(frame));
  return frame;
}

// Decodes the payload of a frame built above; the buffer must outlive the
// request's texts.
bool DecodeCheck(std::string& frame, CheckRequest& request, std::string& error) {
  FrameHeader header;
  EXPECT_EQ(DecodeHeader(reinterpret_cast<const uint8_t*>(frame.data()), header),
            HeaderStatus::kOk);
  EXPECT_EQ(header.payload_bytes, frame.size() - kHeaderBytes);
  return DecodeCheckRequest(reinterpret_cast<uint8_t*>(frame.data()) + kHeaderBytes,
                            header.payload_bytes, request, error);
}

std::u16string Of(const WireText& text) { return std::u16string(text.units, text.length); }

TEST(HostProtocol, CheckRequestRoundTripKeepsEveryTextAndTheResetFlag) {
  std::string frame = CheckFrame(u"J\u00fcrgen", u"P\u00e4ss \U0001F600 w0rd", 1);
  CheckRequest request;
  std::string error;
  ASSERT_TRUE(DecodeCheck(frame, request, error)) << error;
  EXPECT_EQ(Of(request.account), u"J\u00fcrgen");
  EXPECT_EQ(Of(request.full_name), u"Full Name");
  EXPECT_EQ(Of(request.principal), u"user@example.test");
  EXPECT_EQ(Of(request.password), u"P\u00e4ss \U0001F600 w0rd");
  EXPECT_TRUE(request.set_operation);
}

TEST(HostProtocol, EmptyTextsAreValid) {
  std::string frame = CheckFrame(u"", u"");
  CheckRequest request;
  std::string error;
  ASSERT_TRUE(DecodeCheck(frame, request, error)) << error;
  EXPECT_EQ(request.account.length, 0u);
  EXPECT_EQ(request.password.length, 0u);
  EXPECT_FALSE(request.set_operation);
}

TEST(HostProtocol, MalformedPayloadsAreRefusedWithAReason) {
  const std::string good = CheckFrame(u"alice", u"secret");
  const size_t password_length_at = good.size() - 12 - 4;  // before the 6-unit password

  std::string truncated = good.substr(0, good.size() - 3);
  CheckRequest request;
  std::string error;
  FrameHeader header{kCheckPassword, static_cast<uint32_t>(truncated.size() - kHeaderBytes)};
  EXPECT_FALSE(DecodeCheckRequest(reinterpret_cast<uint8_t*>(truncated.data()) + kHeaderBytes,
                                  header.payload_bytes, request, error));
  EXPECT_NE(error.find("ends inside the password"), std::string::npos) << error;

  std::string odd = good;
  odd[password_length_at] = 11;
  EXPECT_FALSE(DecodeCheck(odd, request, error));
  EXPECT_NE(error.find("odd byte length"), std::string::npos) << error;

  std::string huge = good;
  const uint32_t too_long = kMaxTextBytes + 2;
  std::memcpy(&huge[password_length_at], &too_long, 4);  // little-endian host
  EXPECT_FALSE(DecodeCheck(huge, request, error));
  EXPECT_NE(error.find("longer than"), std::string::npos) << error;

  std::string trailing = good + "xy";
  FinishFrame(trailing);
  EXPECT_FALSE(DecodeCheck(trailing, request, error));
  EXPECT_NE(error.find("after the last field"), std::string::npos) << error;

  std::string flags = CheckFrame(u"alice", u"secret", 6);
  EXPECT_FALSE(DecodeCheck(flags, request, error));
  EXPECT_EQ(error, "unknown flags");
}

TEST(HostProtocol, NotifyRequestRoundTrip) {
  std::string frame;
  BeginFrame(frame, kChangeNotify);
  AppendUint32(frame, 1105);
  AppendText(frame, u"bob");
  AppendText(frame, u"N3w-secret");
  ASSERT_TRUE(FinishFrame(frame));
  NotifyRequest request;
  std::string error;
  ASSERT_TRUE(DecodeNotifyRequest(reinterpret_cast<uint8_t*>(frame.data()) + kHeaderBytes,
                                  frame.size() - kHeaderBytes, request, error))
      << error;
  EXPECT_EQ(request.relative_id, 1105u);
  EXPECT_EQ(Of(request.account), u"bob");
  EXPECT_EQ(Of(request.password), u"N3w-secret");
}

TEST(HostProtocol, HeadersAreCheckedBeforeAnyPayloadIsRead) {
  uint8_t header[kHeaderBytes];
  EncodeHeader(FrameHeader{kPing, 0}, header);
  FrameHeader decoded;
  EXPECT_EQ(DecodeHeader(header, decoded), HeaderStatus::kOk);
  EXPECT_EQ(decoded.kind, kPing);

  uint8_t garbage[kHeaderBytes] = {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T'};
  EXPECT_EQ(DecodeHeader(garbage, decoded), HeaderStatus::kBadMagic);
  header[2] = 9;
  EXPECT_EQ(DecodeHeader(header, decoded), HeaderStatus::kBadVersion);
  EncodeHeader(FrameHeader{kCheckPassword, static_cast<uint32_t>(kMaxPayload + 1)}, header);
  EXPECT_EQ(DecodeHeader(header, decoded), HeaderStatus::kTooLarge);
}

TEST(HostProtocol, BuildersRefuseTextsBeyondTheLimits) {
  std::string frame;
  BeginFrame(frame, kCheckPassword);
  const size_t capacity = frame.capacity();
  EXPECT_FALSE(AppendText(frame, std::u16string(kMaxTextBytes / 2 + 1, u'a')));
  for (int i = 0; i < 4; ++i)
    EXPECT_TRUE(AppendText(frame, std::u16string(kMaxTextBytes / 2, u'a')));
  EXPECT_TRUE(AppendUint32(frame, 0));
  EXPECT_FALSE(AppendText(frame, u"x"));  // the frame is full
  EXPECT_EQ(frame.capacity(), capacity) << "the buffer was reallocated";
}

TEST(HostProtocol, AnswersCarryTheirMessageCutToTheLimit) {
  const std::string answer = EncodeAnswer(kRejected, std::string(5000, 'm'));
  FrameHeader header;
  ASSERT_EQ(DecodeHeader(reinterpret_cast<const uint8_t*>(answer.data()), header),
            HeaderStatus::kOk);
  EXPECT_EQ(header.kind, kRejected);
  EXPECT_EQ(header.payload_bytes, kMaxMessageBytes);
  EXPECT_EQ(answer.size(), kHeaderBytes + kMaxMessageBytes);
}

// ------------------------------------------------------------ frame reading

struct SocketPair {
  int fds[2] = {-1, -1};
  SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0); }
  ~SocketPair() {
    for (int fd : fds)
      if (fd >= 0) close(fd);
  }
  void CloseClient() {
    close(fds[1]);
    fds[1] = -1;
  }
};

TEST(FrameIo, ReadsAFrameSentInPieces) {
  SocketPair pair;
  const std::string frame = CheckFrame(u"alice", u"pieces");
  ASSERT_EQ(write(pair.fds[1], frame.data(), 3), 3);
  ASSERT_EQ(write(pair.fds[1], frame.data() + 3, frame.size() - 3),
            static_cast<ssize_t>(frame.size() - 3));
  FrameHeader header;
  uint8_t payload[kMaxPayload];
  ASSERT_EQ(ReadFrame(pair.fds[0], 1000, 1000, header, payload, sizeof payload), ReadStatus::kOk);
  EXPECT_EQ(header.kind, kCheckPassword);
  EXPECT_EQ(std::memcmp(payload, frame.data() + kHeaderBytes, header.payload_bytes), 0);
}

TEST(FrameIo, TellsAClosedConnectionFromADisconnectMidFrame) {
  FrameHeader header;
  uint8_t payload[kMaxPayload];
  {
    SocketPair pair;
    pair.CloseClient();
    EXPECT_EQ(ReadFrame(pair.fds[0], 1000, 1000, header, payload, sizeof payload),
              ReadStatus::kClosed);
  }
  {
    SocketPair pair;
    const std::string frame = CheckFrame(u"alice", u"half");
    ASSERT_EQ(write(pair.fds[1], frame.data(), frame.size() / 2),
              static_cast<ssize_t>(frame.size() / 2));
    pair.CloseClient();
    EXPECT_EQ(ReadFrame(pair.fds[0], 1000, 1000, header, payload, sizeof payload),
              ReadStatus::kDisconnected);
  }
}

TEST(FrameIo, StalledAndSilentClientsTimeOut) {
  FrameHeader header;
  uint8_t payload[kMaxPayload];
  SocketPair pair;
  EXPECT_EQ(ReadFrame(pair.fds[0], 50, 50, header, payload, sizeof payload), ReadStatus::kIdle);
  const std::string frame = CheckFrame(u"alice", u"stalled");
  ASSERT_EQ(write(pair.fds[1], frame.data(), 10), 10);
  EXPECT_EQ(ReadFrame(pair.fds[0], 1000, 50, header, payload, sizeof payload),
            ReadStatus::kTimeout);
}

TEST(FrameIo, RefusesGarbageAndOversizedFramesWithoutReadingOn) {
  FrameHeader header;
  uint8_t payload[64];
  SocketPair pair;
  ASSERT_EQ(write(pair.fds[1], "GET / HTTP/1.0\r\n\r\n", 18), 18);
  EXPECT_EQ(ReadFrame(pair.fds[0], 1000, 1000, header, payload, sizeof payload),
            ReadStatus::kBadMagic);
  SocketPair second;
  const std::string frame = CheckFrame(u"alice", u"longer than sixty-four bytes in all");
  ASSERT_EQ(write(second.fds[1], frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  EXPECT_EQ(ReadFrame(second.fds[0], 1000, 1000, header, payload, sizeof payload),
            ReadStatus::kTooLarge);
}

// ------------------------------------------------------------ hook texts

TEST(WireText, ConvertsUtf8IncludingSupplementaryCharacters) {
  EXPECT_EQ(Utf8ToUtf16("Gr\xC3\xBC\xC3\x9F"
                        "e \xF0\x9F\x98\x80"),
            u"Gr\u00fc\u00dfe \U0001F600");
  EXPECT_EQ(Utf8ToUtf16(""), u"");
}

TEST(WireText, MalformedInputBecomesReplacementCharacters) {
  EXPECT_EQ(Utf8ToUtf16("a\xFF"
                        "b"),
            u"a\uFFFDb");
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");                      // overlong lead byte
  EXPECT_EQ(Utf8ToUtf16("\xE0\x80\xAF"), u"\uFFFD\uFFFD\uFFFD");            // overlong form
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");            // a surrogate
  EXPECT_EQ(Utf8ToUtf16("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // above U+10FFFF
  EXPECT_EQ(Utf8ToUtf16("x\xE2\x82"), u"x\uFFFD\uFFFD");                    // cut short at the end
}

// Found by the UTF-8 fuzz target: the hook counted an overlong form or an
// encoded surrogate as one character where the filter's own reading counts
// three, so the same password had different lengths on the two paths.
TEST(WireText, ReadsMalformedBytesExactlyAsTheFiltersOwnConversion) {
  const std::string inputs[] = {
      std::string("a\xE0\x80\x80"
                  "b\xED\xA0\x80"
                  "c\xC0\xAF"
                  "d\xF4\x90\x80\x80"
                  "e\xE2\x82"),
      std::string("\xF0\x80\x80\x80\xF8\x88\x80\x80\x80", 9),
      std::string("\xEF\xBF\xBF\xF4\x8F\xBF\xBF\xC2", 9),
  };
  for (const std::string& input : inputs) {
    EXPECT_EQ(Utf8ToUtf16(input), zefa::Utf8ToText(input));
  }
}

TEST(WireText, ReportsOverflowInsteadOfWritingPastTheBuffer) {
  char16_t out[3] = {u'#', u'#', u'#'};
  const std::string text = "ab\xF0\x9F\x98\x80";  // needs four units
  EXPECT_EQ(Utf8ToUtf16(reinterpret_cast<const uint8_t*>(text.data()), text.size(), out, 3),
            kUtf16Overflow);
  EXPECT_EQ(Utf8ToUtf16(reinterpret_cast<const uint8_t*>(text.data()), 2, out, 3), 2u);
}

// ------------------------------------------------------------ peer rule

TEST(PeerRule, RootTheHostsOwnUserAndGroupMembersOnly) {
  AccessRule rule;
  rule.host_uid = 0;
  PeerIdentity peer;
  peer.uid = 0;
  EXPECT_TRUE(PeerAllowed(peer, rule));
  peer.uid = 1000;
  peer.gid = 1000;
  EXPECT_FALSE(PeerAllowed(peer, rule));
  rule.group_allowed = true;
  rule.group = 4242;
  EXPECT_FALSE(PeerAllowed(peer, rule));
  peer.groups = {27, 4242};
  EXPECT_TRUE(PeerAllowed(peer, rule));
  peer.groups.clear();
  peer.gid = 4242;
  EXPECT_TRUE(PeerAllowed(peer, rule));
  rule = AccessRule{};
  rule.host_uid = 1000;
  peer = PeerIdentity{};
  peer.uid = 1000;
  EXPECT_TRUE(PeerAllowed(peer, rule));
}

TEST(PeerRule, GroupsByNameOrNumber) {
  gid_t gid = 1;
  EXPECT_TRUE(LookupGroup("root", gid));
  EXPECT_EQ(gid, 0u);
  EXPECT_TRUE(LookupGroup("4242", gid));
  EXPECT_EQ(gid, 4242u);
  EXPECT_FALSE(LookupGroup("no-such-group-zefa", gid));
  EXPECT_FALSE(LookupGroup("", gid));
}

}  // namespace
}  // namespace zefa::host
