#pragma once

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/linux/nfqueue_udp_flows.hpp"
#include "platform/linux/udp_queue_settings.hpp"
#include "platform/logger.hpp"

struct mnl_socket;

namespace vosk::backend {

// The destination address of an IPv4 or IPv6 packet, as text; nothing when the
// bytes are not such a packet.
std::optional<std::string> destinationAddressOf(std::span<const std::uint8_t> packet);

// Our end of the NFQUEUE: receives the held packets on the context's thread
// and sends their verdicts. Closing it (or the process dying) lets packets
// through again: the queue rule bypasses a queue nobody listens on.
class NfqueueListener final : public UdpVerdictSink, public std::enable_shared_from_this<NfqueueListener> {
 public:
  using PacketHandler = std::function<void(QueuedUdpPacket)>;

  // Binds the queue; throws std::system_error when the kernel refuses.
  NfqueueListener(asio::io_context& context, const UdpQueueSettings& settings, Logger logger);
  ~NfqueueListener() override;
  NfqueueListener(const NfqueueListener&) = delete;
  NfqueueListener& operator=(const NfqueueListener&) = delete;

  // Starts receiving; the handler runs on the context's thread.
  void start(PacketHandler handler);
  // On the context's thread.
  void sendVerdict(const QueuedUdpPacket& packet, UdpVerdict verdict) override;

 private:
  void configure();
  void sendConfig(std::vector<char>& buffer, bool mayFail);
  void awaitPackets();
  void receivePackets();
  void handleMessages(const char* data, std::size_t length);

  UdpQueueSettings settings_;
  Logger logger_;
  mnl_socket* socket_ = nullptr;
  std::uint32_t portId_ = 0;
  asio::posix::stream_descriptor descriptor_;
  PacketHandler handler_;
  std::vector<char> receiveBuffer_;
};

}  // namespace vosk::backend
