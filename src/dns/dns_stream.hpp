#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "dns/dns_rewrite.hpp"

namespace vosk::dns {

// Over TCP each message follows its length in two bytes, so none is longer
// than the framing allows.
inline constexpr std::size_t lengthPrefixBytes = 2;
inline constexpr std::size_t maxFramedMessageBytes = lengthPrefixBytes + maxMessageBytes;

// The server's side of DNS over TCP as strict mode passes it on: every
// complete message at the front of `received` is appended to `out` as
// rewriteDnsAnswer makes it, behind its new length, or as it came when it
// stays as it is. Returns how many bytes of `received` were used: what is
// left is the start of a message still arriving, never more than
// maxFramedMessageBytes - 1 bytes.
std::size_t rewriteDnsStream(std::span<const std::uint8_t> received, const BlockedName& blocked,
                             std::vector<std::uint8_t>& out);

}  // namespace vosk::dns
