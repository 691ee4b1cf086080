// The wire format between zefa-host and its local clients (the check-password
// hook, the load test, administrators' tools).
//
// Every message is one frame: an 8-byte header followed by the payload.
//   bytes 0-1  magic "ZH"
//   byte  2    protocol version (kProtocolVersion)
//   byte  3    kind: a request kind from a client, a verdict from the host
//   bytes 4-7  payload length in bytes, unsigned, little-endian
// A frame whose payload exceeds kMaxPayload is refused before its payload is
// read. Integers in a payload are unsigned 32-bit little-endian; a text is
// its byte length (even, at most kMaxTextBytes) followed by that many bytes of
// UTF-16LE without a terminator.
//
// Requests:
//   kCheckPassword  flags (bit 0: set operation), account name, full name,
//                   principal name, password
//   kChangeNotify   relative id, account name, password
//   kPing           empty
// Answers carry a verdict kind and a UTF-8 message (may be empty, never a
// password, at most kMaxMessageBytes): kAccepted or kRejected for a check,
// kDone for a notification or a ping, kStarting to a check or a ping while
// the library is still initialising (nothing was checked), one of the error
// kinds otherwise. The message of kRejected is the library's reason as its
// log has it (a header naming the account, then one "\r\n-" line per
// requirement the password missed), or a fixed text from a library that
// gives none.
//
// Texts in a decoded request point into the payload buffer (no copy), so the
// caller wipes one buffer and every copy of the password is gone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zefa::host {

constexpr uint8_t kMagic0 = 'Z';
constexpr uint8_t kMagic1 = 'H';
constexpr uint8_t kProtocolVersion = 1;
constexpr size_t kHeaderBytes = 8;
constexpr size_t kMaxTextBytes = 8192;  // 4096 UTF-16 code units
constexpr size_t kMaxPayload = 4 + 4 * (4 + kMaxTextBytes);
constexpr size_t kMaxMessageBytes = 1024;
constexpr size_t kFrameCapacity = kHeaderBytes + kMaxPayload;  // the largest frame

enum Kind : uint8_t {
  // requests
  kCheckPassword = 0x01,
  kChangeNotify = 0x02,
  kPing = 0x03,
  // verdicts
  kAccepted = 0x80,
  kRejected = 0x81,
  kDone = 0x82,
  kStarting = 0x83,  // the library has not finished its initialisation yet
  // errors (the host closes the connection after these)
  kErrorMalformed = 0xE0,
  kErrorTooLarge = 0xE1,
  kErrorDenied = 0xE2,
  kErrorTimeout = 0xE3,
  kErrorUnavailable = 0xE4,
  kErrorRateLimited = 0xE5,  // a group member asked more checks than its rate allows
};

const char* KindName(uint8_t kind);

struct FrameHeader {
  uint8_t kind = 0;
  uint32_t payload_bytes = 0;
};

enum class HeaderStatus { kOk, kBadMagic, kBadVersion, kTooLarge };

void EncodeHeader(const FrameHeader& header, uint8_t out[kHeaderBytes]);
HeaderStatus DecodeHeader(const uint8_t in[kHeaderBytes], FrameHeader& header);

// A text as it lies in a payload: UTF-16 code units (host byte order after
// decoding), not owned.
struct WireText {
  char16_t* units = nullptr;
  size_t length = 0;  // in code units
};

struct CheckRequest {
  bool set_operation = false;
  WireText account;
  WireText full_name;
  WireText principal;
  WireText password;
};

struct NotifyRequest {
  uint32_t relative_id = 0;
  WireText account;
  WireText password;
};

// Decoding works in place: on big-endian machines the texts' bytes are
// swapped inside `payload`. On failure `error` says why (for the answer).
bool DecodeCheckRequest(uint8_t* payload, size_t size, CheckRequest& request, std::string& error);
bool DecodeNotifyRequest(uint8_t* payload, size_t size, NotifyRequest& request, std::string& error);

// Request building for clients, in one buffer that never reallocates (so no
// stray copy of a password is left in freed memory): BeginFrame reserves
// room for the largest frame and writes the header, the appends add the
// payload, FinishFrame fills in its length. False when the payload would
// exceed kMaxPayload or a text kMaxTextBytes. The caller wipes `out`.
void BeginFrame(std::string& out, uint8_t kind);
bool AppendUint32(std::string& out, uint32_t value);
bool AppendText(std::string& out, std::u16string_view text);
bool FinishFrame(std::string& out);

// The same into memory the caller owns (the hook's locked pages): `size`
// bytes of `data` are used, at most `capacity` (and kFrameCapacity).
struct FrameBuffer {
  uint8_t* data = nullptr;
  size_t capacity = 0;
  size_t size = 0;
};
bool BeginFrame(FrameBuffer& out, uint8_t kind);
bool AppendUint32(FrameBuffer& out, uint32_t value);
bool AppendText(FrameBuffer& out, std::u16string_view text);
bool FinishFrame(FrameBuffer& out);

// A whole answer frame: the verdict and its message (cut to kMaxMessageBytes).
std::string EncodeAnswer(uint8_t kind, std::string_view message);

}  // namespace zefa::host
