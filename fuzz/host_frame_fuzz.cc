// The host's frame decoding: header, check and notification requests, and
// ReadFrame over a socket pair.
//   - a request that decodes is encoded again by the client's builder into
//     exactly the bytes that were read (the format has one spelling);
//   - decoded texts lie inside the payload;
//   - ReadFrame gives the status a plain reading of the bytes predicts, and
//     the payload as sent.
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "fuzz/fuzz_check.h"
#include "samba/frame_io.h"
#include "samba/host_protocol.h"

using namespace zefa::host;

namespace {

bool Inside(const WireText& text, const uint8_t* payload, size_t size) {
  if (text.length == 0) return true;
  const auto* begin = reinterpret_cast<const uint8_t*>(text.units);
  return begin >= payload && text.length * 2 <= size &&
         static_cast<size_t>(begin - payload) <= size - text.length * 2;
}

std::u16string_view View(const WireText& text) { return {text.units, text.length}; }

void CheckRequestRoundTrip(const uint8_t* frame, uint8_t kind, size_t size) {
  std::unique_ptr<uint8_t[]> payload(new uint8_t[size + 1]);
  if (size > 0) std::memcpy(payload.get(), frame + kHeaderBytes, size);
  std::string error;
  std::string encoded;
  BeginFrame(encoded, kind);
  if (kind == kCheckPassword) {
    CheckRequest request;
    if (!DecodeCheckRequest(payload.get(), size, request, error)) {
      FUZZ_CHECK(!error.empty());
      return;
    }
    for (const WireText* t :
         {&request.account, &request.full_name, &request.principal, &request.password}) {
      FUZZ_CHECK(Inside(*t, payload.get(), size));
    }
    FUZZ_CHECK(AppendUint32(encoded, request.set_operation ? 1 : 0));
    FUZZ_CHECK(AppendText(encoded, View(request.account)));
    FUZZ_CHECK(AppendText(encoded, View(request.full_name)));
    FUZZ_CHECK(AppendText(encoded, View(request.principal)));
    FUZZ_CHECK(AppendText(encoded, View(request.password)));
  } else {
    NotifyRequest request;
    if (!DecodeNotifyRequest(payload.get(), size, request, error)) {
      FUZZ_CHECK(!error.empty());
      return;
    }
    FUZZ_CHECK(Inside(request.account, payload.get(), size));
    FUZZ_CHECK(Inside(request.password, payload.get(), size));
    FUZZ_CHECK(AppendUint32(encoded, request.relative_id));
    FUZZ_CHECK(AppendText(encoded, View(request.account)));
    FUZZ_CHECK(AppendText(encoded, View(request.password)));
  }
  FUZZ_CHECK(FinishFrame(encoded));
  FUZZ_CHECK(encoded.size() == kHeaderBytes + size);
  FUZZ_CHECK(std::memcmp(encoded.data(), frame, encoded.size()) == 0);
}

void CheckAnswerRoundTrip(uint8_t kind, const uint8_t* message, size_t size) {
  const std::string answer =
      EncodeAnswer(kind, std::string_view(reinterpret_cast<const char*>(message), size));
  FrameHeader header;
  FUZZ_CHECK(answer.size() >= kHeaderBytes);
  FUZZ_CHECK(DecodeHeader(reinterpret_cast<const uint8_t*>(answer.data()), header) ==
             HeaderStatus::kOk);
  const size_t expected = size < kMaxMessageBytes ? size : kMaxMessageBytes;
  FUZZ_CHECK(header.kind == kind && header.payload_bytes == expected);
  FUZZ_CHECK(answer.size() == kHeaderBytes + expected);
  FUZZ_CHECK(std::memcmp(answer.data() + kHeaderBytes, message, expected) == 0);
}

// What ReadFrame must say for these bytes followed by the end of the stream.
ReadStatus ExpectedReadStatus(const uint8_t* data, size_t size) {
  if (size == 0) return ReadStatus::kClosed;
  if (size < kHeaderBytes) return ReadStatus::kDisconnected;
  if (data[0] != 'Z' || data[1] != 'H') return ReadStatus::kBadMagic;
  if (data[2] != kProtocolVersion) return ReadStatus::kBadVersion;
  const uint64_t length = static_cast<uint64_t>(data[4]) | static_cast<uint64_t>(data[5]) << 8 |
                          static_cast<uint64_t>(data[6]) << 16 |
                          static_cast<uint64_t>(data[7]) << 24;
  if (length > kMaxPayload) return ReadStatus::kTooLarge;
  if (size - kHeaderBytes < length) return ReadStatus::kDisconnected;
  return ReadStatus::kOk;
}

void CheckReadFrame(const uint8_t* data, size_t size) {
  if (size > 65536) return;  // stays within the socket buffer
  int pair[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0);
  size_t sent = 0;
  while (sent < size) {
    const ssize_t n = write(pair[0], data + sent, size - sent);
    FUZZ_CHECK(n > 0);
    sent += static_cast<size_t>(n);
  }
  close(pair[0]);
  std::unique_ptr<uint8_t[]> payload(new uint8_t[kMaxPayload]);
  FrameHeader header;
  const ReadStatus status = ReadFrame(pair[1], 2000, 2000, header, payload.get(), kMaxPayload);
  close(pair[1]);
  FUZZ_CHECK(status == ExpectedReadStatus(data, size));
  if (status == ReadStatus::kOk) {
    FUZZ_CHECK(header.kind == data[3]);
    FUZZ_CHECK(header.payload_bytes == 0 ||
               std::memcmp(payload.get(), data + kHeaderBytes, header.payload_bytes) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckReadFrame(data, size);
  if (size < kHeaderBytes) return 0;
  FrameHeader header;
  const HeaderStatus status = DecodeHeader(data, header);
  if (status != HeaderStatus::kOk) return 0;
  uint8_t again[kHeaderBytes];
  EncodeHeader(header, again);
  FUZZ_CHECK(std::memcmp(again, data, kHeaderBytes) == 0);
  if (size - kHeaderBytes < header.payload_bytes) return 0;
  if (header.kind == kCheckPassword || header.kind == kChangeNotify) {
    CheckRequestRoundTrip(data, header.kind, header.payload_bytes);
  } else {
    CheckAnswerRoundTrip(header.kind, data + kHeaderBytes, header.payload_bytes);
  }
  return 0;
}
