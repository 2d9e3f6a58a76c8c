#pragma once

#include <libmnl/libmnl.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/packet_path.hpp"

namespace vosk::backend {

// ctnetlink's attributes, read defensively: the kernel writes them, but a
// length taken on trust would read past the message.

// The attributes after a message's `headerBytes`, by type; types past the
// table (a newer kernel's) are left out.
void collectAttributes(const nlmsghdr* message, std::size_t headerBytes, std::span<const nlattr*> table);
// The table's attribute of this type when present and as long as its data
// type says (exactly `bytes` long for binary data); null otherwise.
const nlattr* validAttribute(std::span<const nlattr* const> table, std::uint16_t type, mnl_attr_data_type dataType,
                             std::size_t bytes = 0);

// The connection's original direction, client to server, as CTA_TUPLE_ORIG.
void putOriginalTuple(nlmsghdr* message, const ConnectionTuple& tuple);
// The TCP connection a CTA_TUPLE_ORIG nest names in this address family
// (AF_INET or AF_INET6); nothing for another protocol or a nest that does not parse.
std::optional<ConnectionTuple> parseOriginalTuple(const nlattr* original, int family);

}  // namespace vosk::backend
