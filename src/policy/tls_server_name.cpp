// Server name of a TLS ClientHello, read from the first bytes of a flow.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "policy/host_extraction.hpp"

namespace vosk {
namespace {

// Signed 64-bit so that no sum of 16- and 24-bit lengths can wrap.
using Position = std::int64_t;
using Bytes = std::span<const std::uint8_t>;

constexpr std::uint8_t kHandshakeContentType = 0x16;
constexpr std::uint8_t kClientHelloType = 0x01;
constexpr Position kServerNameExtensionType = 0x0000;
constexpr std::uint8_t kHostNameType = 0x00;

constexpr Position kRecordHeaderLength = 5;
constexpr Position kRecordLengthIndex = 3;
constexpr Position kHandshakeTypeIndex = 5;
constexpr Position kHandshakeHeaderLength = 4;
constexpr Position kMessageLengthIndex = 6;
// Record header, handshake header, client version, 32-byte client random.
constexpr Position kSessionIdLengthIndex = 43;
// Type and data length.
constexpr Position kExtensionHeaderLength = 4;
// Extension header and server-name list length.
constexpr Position kServerNameListOffset = kExtensionHeaderLength + 2;
// Name type and name length.
constexpr Position kNameEntryHeaderLength = 3;

HostExtraction incomplete() { return {std::nullopt, true}; }
HostExtraction notFound() { return {std::nullopt, false}; }

Position size(Bytes bytes) { return static_cast<Position>(bytes.size()); }
std::uint8_t u8(Bytes bytes, Position i) { return bytes[static_cast<std::size_t>(i)]; }
Position u16(Bytes bytes, Position i) { return Position{u8(bytes, i)} << 8 | u8(bytes, i + 1); }
Position u24(Bytes bytes, Position i) { return u16(bytes, i) << 8 | u8(bytes, i + 2); }
Bytes slice(Bytes bytes, Position from, Position to) {
  return bytes.subspan(static_cast<std::size_t>(from), static_cast<std::size_t>(to - from));
}

// Well-formed UTF-8 only: no overlong forms, surrogates or code points past U+10FFFF.
bool isValidUtf8(Bytes text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const std::uint8_t lead = text[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint8_t secondLow = 0x80;
    std::uint8_t secondHigh = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) secondLow = 0xA0;
      if (lead == 0xED) secondHigh = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) secondLow = 0x90;
      if (lead == 0xF4) secondHigh = 0x8F;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    if (text[i + 1] < secondLow || text[i + 1] > secondHigh) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if ((text[i + k] & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

// `record` is one record header followed by its payload, which begins a
// handshake message.
bool holdsWholeMessage(Bytes record) {
  const Position payloadLength = size(record) - kRecordHeaderLength;
  return payloadLength >= kHandshakeHeaderLength &&
         payloadLength >= kHandshakeHeaderLength + u24(record, kMessageLengthIndex);
}

// Skips the ClientHello fields and walks its extensions; `b` begins with the
// record header. Lengths may point past the record but never past the
// buffer: every bound is compared with n before the bytes below it are read.
HostExtraction parseClientHello(Bytes b) {
  const Position n = size(b);
  if (n < kSessionIdLengthIndex + 1) return incomplete();
  const Position sessionIdLength = u8(b, kSessionIdLengthIndex);
  const Position cipherSuitesLengthIndex = kSessionIdLengthIndex + 1 + sessionIdLength;
  if (cipherSuitesLengthIndex + 1 >= n) return incomplete();
  const Position compressionLengthIndex =
      cipherSuitesLengthIndex + 2 + u16(b, cipherSuitesLengthIndex);
  if (compressionLengthIndex >= n) return incomplete();
  const Position extensionsLengthIndex = compressionLengthIndex + 1 + u8(b, compressionLengthIndex);
  if (extensionsLengthIndex + 1 >= n) return incomplete();
  Position p = extensionsLengthIndex + 2;
  const Position extensionsEnd = p + u16(b, extensionsLengthIndex);
  if (n < extensionsEnd) return incomplete();

  while (p + kExtensionHeaderLength <= extensionsEnd) {
    const Position next = p + kExtensionHeaderLength + u16(b, p + 2);
    if (next > n) return notFound();
    if (u16(b, p) != kServerNameExtensionType) {
      p = next;
      continue;
    }
    if (p + kServerNameListOffset > n) return notFound();
    // Bounded by the buffer, not by the extension's own length.
    const Position listEnd = std::min(n, p + kServerNameListOffset + u16(b, p + kExtensionHeaderLength));
    Position q = p + kServerNameListOffset;
    while (q + kNameEntryHeaderLength <= listEnd) {
      const Position nameStart = q + kNameEntryHeaderLength;
      const Position end = nameStart + u16(b, q + 1);
      if (end > n) return notFound();
      if (u8(b, q) == kHostNameType) {
        const Bytes name = slice(b, nameStart, end);
        if (isValidUtf8(name)) return {std::string(name.begin(), name.end()), false};
      }
      q = end;
    }
    // Only the first server_name extension is consulted.
    return notFound();
  }
  return notFound();
}

// A ClientHello may continue over several handshake records. Appends the
// payloads that follow the first record to `joined` (which holds the first
// record) until it holds the whole message. Returns the outcome when the
// buffer ends or a foreign record comes first, nothing once `joined` is whole.
std::optional<HostExtraction> joinContinuationRecords(Bytes bytes, Position position,
                                                      std::vector<std::uint8_t>& joined) {
  const Position n = size(bytes);
  while (!holdsWholeMessage(joined)) {
    if (position == n) return incomplete();
    if (u8(bytes, position) != kHandshakeContentType) return notFound();
    if (position + kRecordHeaderLength > n) return incomplete();
    const Position payloadStart = position + kRecordHeaderLength;
    const Position recordEnd = payloadStart + u16(bytes, position + kRecordLengthIndex);
    if (recordEnd > n) return incomplete();
    const Bytes payload = slice(bytes, payloadStart, recordEnd);
    joined.insert(joined.end(), payload.begin(), payload.end());
    position = recordEnd;
  }
  return std::nullopt;
}

}  // namespace

HostExtraction extractTLSServerName(Bytes bytes) {
  // Servers skip empty handshake records, so a ClientHello behind them still counts.
  while (size(bytes) >= kRecordHeaderLength && u8(bytes, 0) == kHandshakeContentType &&
         u16(bytes, kRecordLengthIndex) == 0) {
    bytes = slice(bytes, kRecordHeaderLength, size(bytes));
  }
  const Position n = size(bytes);
  if (n < kRecordHeaderLength) return incomplete();
  if (u8(bytes, 0) != kHandshakeContentType) return notFound();
  const Position recordEnd = kRecordHeaderLength + u16(bytes, kRecordLengthIndex);
  if (n < recordEnd) return incomplete();
  if (u8(bytes, kHandshakeTypeIndex) != kClientHelloType) return notFound();

  const Bytes firstRecord = slice(bytes, 0, recordEnd);
  if (holdsWholeMessage(firstRecord)) return parseClientHello(bytes);

  // The one copy: the message read as if it had come in a single record.
  std::vector<std::uint8_t> joined;
  joined.reserve(bytes.size());
  joined.assign(firstRecord.begin(), firstRecord.end());
  if (auto outcome = joinContinuationRecords(bytes, recordEnd, joined)) return *std::move(outcome);
  return parseClientHello(joined);
}

}  // namespace vosk
