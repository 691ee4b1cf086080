#include "samba/host_protocol.h"

#include <bit>
#include <cstring>

namespace zefa::host {

namespace {

uint32_t LoadUint32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void StoreUint32(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value >> 16);
  p[3] = static_cast<uint8_t>(value >> 24);
}

// Reads the payload field by field; every read checks the remaining size.
struct PayloadReader {
  uint8_t* data;
  size_t size;
  size_t offset = 0;
  std::string error;

  bool Uint32(uint32_t& value, const char* field) {
    if (size - offset < 4) {
      error = std::string("payload ends inside the ") + field;
      return false;
    }
    value = LoadUint32(data + offset);
    offset += 4;
    return true;
  }

  bool Text(WireText& text, const char* field) {
    uint32_t bytes = 0;
    if (!Uint32(bytes, field)) return false;
    if (bytes % 2 != 0) {
      error = std::string("odd byte length of the ") + field;
      return false;
    }
    if (bytes > kMaxTextBytes) {
      error = std::string("the ") + field + " is longer than " + std::to_string(kMaxTextBytes / 2) +
              " characters";
      return false;
    }
    if (size - offset < bytes) {
      error = std::string("payload ends inside the ") + field;
      return false;
    }
    uint8_t* start = data + offset;
    if constexpr (std::endian::native == std::endian::big) {
      for (size_t i = 0; i + 1 < bytes; i += 2) std::swap(start[i], start[i + 1]);
    }
    // The payload buffer is allocated aligned and every field before a text
    // has an even size, so the code units are aligned.
    text.units = reinterpret_cast<char16_t*>(start);
    text.length = bytes / 2;
    offset += bytes;
    return true;
  }

  bool End() {
    if (offset == size) return true;
    error = "unexpected bytes after the last field";
    return false;
  }
};

}  // namespace

const char* KindName(uint8_t kind) {
  switch (kind) {
    case kCheckPassword:
      return "check";
    case kChangeNotify:
      return "change notification";
    case kPing:
      return "ping";
    case kAccepted:
      return "accepted";
    case kRejected:
      return "rejected";
    case kDone:
      return "done";
    case kStarting:
      return "starting";
    case kErrorMalformed:
      return "malformed request";
    case kErrorTooLarge:
      return "request too large";
    case kErrorDenied:
      return "access denied";
    case kErrorTimeout:
      return "timed out";
    case kErrorUnavailable:
      return "unavailable";
    case kErrorRateLimited:
      return "too many checks";
    default:
      return "unknown";
  }
}

void EncodeHeader(const FrameHeader& header, uint8_t out[kHeaderBytes]) {
  out[0] = kMagic0;
  out[1] = kMagic1;
  out[2] = kProtocolVersion;
  out[3] = header.kind;
  StoreUint32(out + 4, header.payload_bytes);
}

HeaderStatus DecodeHeader(const uint8_t in[kHeaderBytes], FrameHeader& header) {
  if (in[0] != kMagic0 || in[1] != kMagic1) return HeaderStatus::kBadMagic;
  if (in[2] != kProtocolVersion) return HeaderStatus::kBadVersion;
  header.kind = in[3];
  header.payload_bytes = LoadUint32(in + 4);
  if (header.payload_bytes > kMaxPayload) return HeaderStatus::kTooLarge;
  return HeaderStatus::kOk;
}

bool DecodeCheckRequest(uint8_t* payload, size_t size, CheckRequest& request, std::string& error) {
  PayloadReader reader{payload, size, 0, {}};
  uint32_t flags = 0;
  const bool ok = reader.Uint32(flags, "flags") && reader.Text(request.account, "account name") &&
                  reader.Text(request.full_name, "full name") &&
                  reader.Text(request.principal, "principal name") &&
                  reader.Text(request.password, "password") && reader.End();
  if (!ok) {
    error = reader.error;
    return false;
  }
  if ((flags & ~1u) != 0) {
    error = "unknown flags";
    return false;
  }
  request.set_operation = (flags & 1u) != 0;
  return true;
}

bool DecodeNotifyRequest(uint8_t* payload, size_t size, NotifyRequest& request,
                         std::string& error) {
  PayloadReader reader{payload, size, 0, {}};
  const bool ok = reader.Uint32(request.relative_id, "relative id") &&
                  reader.Text(request.account, "account name") &&
                  reader.Text(request.password, "password") && reader.End();
  if (!ok) error = reader.error;
  return ok;
}

namespace {

// The frame builders write through one of these: a string or a fixed
// buffer, never reallocated, so no stray copy of a password is left behind.
struct StringSink {
  std::string& out;
  size_t Size() const { return out.size(); }
  void Append(const uint8_t* bytes, size_t count) {
    out.append(reinterpret_cast<const char*>(bytes), count);
  }
  uint8_t* Data() { return reinterpret_cast<uint8_t*>(out.data()); }
};

struct BufferSink {
  FrameBuffer& out;
  size_t Size() const { return out.size; }
  void Append(const uint8_t* bytes, size_t count) {
    std::memcpy(out.data + out.size, bytes, count);
    out.size += count;
  }
  uint8_t* Data() { return out.data; }
};

template <typename Sink>
void BeginInto(Sink sink, uint8_t kind) {
  uint8_t header[kHeaderBytes];
  EncodeHeader(FrameHeader{kind, 0}, header);
  sink.Append(header, kHeaderBytes);
}

template <typename Sink>
bool AppendUint32Into(Sink sink, size_t capacity, uint32_t value) {
  if (sink.Size() + 4 > capacity) return false;
  uint8_t bytes[4];
  StoreUint32(bytes, value);
  sink.Append(bytes, 4);
  return true;
}

template <typename Sink>
bool AppendTextInto(Sink sink, size_t capacity, std::u16string_view text) {
  const size_t bytes = text.size() * 2;
  if (bytes > kMaxTextBytes || sink.Size() + 4 + bytes > capacity) return false;
  AppendUint32Into(sink, capacity, static_cast<uint32_t>(bytes));
  for (char16_t unit : text) {
    const uint8_t pair[2] = {static_cast<uint8_t>(unit & 0xFF), static_cast<uint8_t>(unit >> 8)};
    sink.Append(pair, 2);
  }
  return true;
}

template <typename Sink>
bool FinishInto(Sink sink, size_t capacity) {
  if (sink.Size() < kHeaderBytes || sink.Size() > capacity) return false;
  StoreUint32(sink.Data() + 4, static_cast<uint32_t>(sink.Size() - kHeaderBytes));
  return true;
}

size_t BufferLimit(const FrameBuffer& out) {
  return out.capacity < kFrameCapacity ? out.capacity : kFrameCapacity;
}

}  // namespace

void BeginFrame(std::string& out, uint8_t kind) {
  out.clear();
  out.reserve(kFrameCapacity);
  BeginInto(StringSink{out}, kind);
}

bool AppendUint32(std::string& out, uint32_t value) {
  return AppendUint32Into(StringSink{out}, kFrameCapacity, value);
}

bool AppendText(std::string& out, std::u16string_view text) {
  return AppendTextInto(StringSink{out}, kFrameCapacity, text);
}

bool FinishFrame(std::string& out) { return FinishInto(StringSink{out}, kFrameCapacity); }

bool BeginFrame(FrameBuffer& out, uint8_t kind) {
  out.size = 0;
  if (out.data == nullptr || out.capacity < kHeaderBytes) return false;
  BeginInto(BufferSink{out}, kind);
  return true;
}

bool AppendUint32(FrameBuffer& out, uint32_t value) {
  return out.size >= kHeaderBytes && AppendUint32Into(BufferSink{out}, BufferLimit(out), value);
}

bool AppendText(FrameBuffer& out, std::u16string_view text) {
  return out.size >= kHeaderBytes && AppendTextInto(BufferSink{out}, BufferLimit(out), text);
}

bool FinishFrame(FrameBuffer& out) {
  return out.data != nullptr && FinishInto(BufferSink{out}, BufferLimit(out));
}

std::string EncodeAnswer(uint8_t kind, std::string_view message) {
  if (message.size() > kMaxMessageBytes) message = message.substr(0, kMaxMessageBytes);
  std::string out;
  out.reserve(kHeaderBytes + message.size());
  uint8_t header[kHeaderBytes];
  EncodeHeader(FrameHeader{kind, static_cast<uint32_t>(message.size())}, header);
  out.append(reinterpret_cast<const char*>(header), kHeaderBytes);
  out.append(message);
  return out;
}

}  // namespace zefa::host
