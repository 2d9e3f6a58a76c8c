#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

#include "provider/time_limit.hpp"
#include "provider/transparent_proxy_provider.hpp"

namespace vosk {
namespace {

// Base-10 port text: an optional sign, then one or more ASCII digits, within
// 0...65535 (so a minus sign lets only zero through).
std::optional<std::uint16_t> parsePortText(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > std::numeric_limits<std::uint16_t>::max()) return std::nullopt;
  }
  if (negative && value != 0) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

}  // namespace

void TransparentProxyProvider::connectUpstream(std::shared_ptr<TCPFlow> flow, Bytes initialBytes,
                                               std::optional<std::string> hostname) {
  const auto endpoint = std::dynamic_pointer_cast<const HostEndpoint>(flow->remoteEndpoint());
  const std::optional<std::uint16_t> port = endpoint ? parsePortText(endpoint->port()) : std::nullopt;
  if (!port) {
    logger.log("⚠️ Could not read remoteEndpoint host/port, closing flow");
    closeAndRelease(*flow);
    return;
  }

  std::shared_ptr<Connection> connection = connectionFactory.makeConnection(endpoint->hostname(), *port);
  // From here on the flow's unit is given back by its teardown (closeFlow).
  connectionsHoldingUnit.insert(connection.get());

  TimeLimit connectTimeLimit(mainQueue, upstreamConnectTimeout,
                             [weakSelf = weak_from_this(), endpoint, port = *port, flow, connection] {
                               const auto self = weakSelf.lock();
                               if (!self) return;
                               self->logger.log("⏱️ Connection to {}:{} timed out establishing, cancelling",
                                                endpoint->hostname(), port);
                               self->closeFlow(flow, connection);
                             });
  // The handler holds the connection that owns it; the teardown, or the
  // cancelled state, clears it and so breaks the cycle.
  connection->setStateUpdateHandler([weakSelf = weak_from_this(), connectTimeLimit, endpoint, port = *port, flow,
                                     connection, initialBytes = std::move(initialBytes),
                                     hostname = std::move(hostname)](const ConnectionState& state) mutable {
    const auto self = weakSelf.lock();
    if (!self) return;
    switch (state.kind) {
      case ConnectionState::Kind::ready:
        if (!connectTimeLimit.complete()) return;
        self->replayInitialBytes(flow, connection, endpoint, port, std::move(initialBytes), std::move(hostname));
        return;
      case ConnectionState::Kind::failed:
        if (!connectTimeLimit.complete()) return;
        self->logger.log("❌ Upstream connection failed: {}",
                         state.error ? state.error->localizedDescription : std::string());
        self->closeFlow(flow, connection);
        return;
      case ConnectionState::Kind::cancelled: {
        // Clearing destroys this handler: nothing captured is touched afterwards.
        const std::shared_ptr<Connection> owner = connection;
        owner->setStateUpdateHandler(nullptr);
        return;
      }
      case ConnectionState::Kind::setup:
      case ConnectionState::Kind::preparing:
      case ConnectionState::Kind::waiting:
        return;  // a connection that stays waiting is ended by the time limit
    }
  });
  connection->start(mainQueue);
}

}  // namespace vosk
