#pragma once

#include <string_view>

namespace vosk {

// What closed a flow: the protocol its host was read from, or an
// encrypted-DNS endpoint, or a QUIC flow refused while blocking is on.
enum class BlockedKind { tls, http, encryptedDns, quic };

// Takes every decision that closed a flow, for the filter's own history.
// Called on the flow path: it must return at once, never wait.
class BlockedDecisionLog {
 public:
  virtual ~BlockedDecisionLog() = default;
  // `site`: the block-list site's name (empty for QUIC, which names no host);
  // `host`: the host the flow named (the destination address for QUIC).
  virtual void recordBlocked(BlockedKind kind, std::string_view site, std::string_view host) = 0;
};

}  // namespace vosk
