#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace vosk::dns {

// Bounds of the work on one message; a message beyond them passes unchanged.
inline constexpr std::size_t maxMessageBytes = 65535;
inline constexpr std::size_t maxNameBytes = 255;
inline constexpr std::size_t maxEntries = 2048;  // questions and records of all sections together
inline constexpr int maxPointerHops = 16;        // compression pointers behind one another in a name

// Whether a name is blocked: given a question's name in lower case, its
// labels joined by dots, no trailing dot (a name with a dot inside a label is
// never asked about). An empty one blocks nothing.
using BlockedName = std::function<bool(std::string_view name)>;

// A DNS answer (QR set, opcode QUERY) as the application should see it in
// strict mode, or nothing when it stays exactly as it is:
// - the `ech` parameter (SvcParamKey 5) is removed from every HTTPS and SVCB
//   record of every section, and from the record's `mandatory` list, with
//   RDLENGTH and every compression pointer behind the removed bytes adjusted;
// - an answer whose question names `use-application-dns.net` (any case) or a
//   name `blocked` holds becomes NXDOMAIN, whatever the type asked: same ID
//   and question, no records but the EDNS OPT record, TC and AD cleared.
// Queries, bytes that do not parse as DNS (a compression pointer that does not
// lead back to an earlier name among them, SvcParam keys out of order), and
// answers the change would alter beyond that (a name reading differently
// after it, records whose names may hide compression pointers the rewrite
// cannot see, a TSIG signature) are left as they are. Work is the message
// size plus at most maxNameBytes and maxPointerHops steps per name.
std::optional<std::vector<std::uint8_t>> rewriteDnsAnswer(std::span<const std::uint8_t> message,
                                                          const BlockedName& blocked = {});

// The same for a whole IPv4 or IPv6 packet carrying UDP from port 53: the new
// packet with the IP length, the UDP length, the IPv4 header checksum and the
// UDP checksum made right. Nothing for any other packet: other protocols or
// ports, fragments, IPv6 extension headers, lengths that disagree (a packet
// cut short in the copy among them), or a DNS answer that stays as it is.
std::optional<std::vector<std::uint8_t>> rewriteDnsPacket(std::span<const std::uint8_t> packet,
                                                          const BlockedName& blocked = {});

}  // namespace vosk::dns
