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

#include "linux/failure.hpp"
#include "platform/logger.hpp"

struct mnl_socket;
struct nlmsghdr;

namespace vosk::backend {

// The destination address of an IPv4 or IPv6 packet, as text; nothing when the
// bytes are not such a packet.
std::optional<std::string> destinationAddressOf(std::span<const std::uint8_t> packet);

// A packet held in the queue until its verdict. The bytes (the packet's first
// copiedBytes) are valid only while the handler runs.
struct HeldPacket {
  std::uint32_t id = 0;
  std::uint32_t mark = 0;
  std::span<const std::uint8_t> bytes;
};

// Our end of one NFQUEUE: receives the held packets on the context's thread
// and sends their verdicts. Closing it (or the process dying) lets packets
// through again: the queue rule bypasses a queue nobody listens on.
class NfqueueListener final : public std::enable_shared_from_this<NfqueueListener> {
 public:
  using PacketHandler = std::function<void(const HeldPacket&)>;

  // Binds the queue; null with `failure` saying why when the kernel refuses.
  static std::shared_ptr<NfqueueListener> open(asio::io_context& context, std::uint16_t queueNumber,
                                               std::uint32_t copiedBytes, Logger logger, Failure& failure);
  ~NfqueueListener();
  NfqueueListener(const NfqueueListener&) = delete;
  NfqueueListener& operator=(const NfqueueListener&) = delete;

  // Starts receiving; the handler runs on the context's thread.
  void start(PacketHandler handler);
  // Lets the packet go on with this mark, replaced by `replacement` unless it
  // is empty. On the context's thread.
  void accept(std::uint32_t id, std::uint32_t mark, std::span<const std::uint8_t> replacement = {});
  // Throws the packet away. On the context's thread.
  void drop(std::uint32_t id);
  // Whether packets pass or are dropped while the queue is full (they pass
  // from the start). On the context's thread, after start.
  void setFailOpen(bool failOpen);

 private:
  NfqueueListener(asio::io_context& context, std::uint16_t queueNumber, std::uint32_t copiedBytes, Logger logger,
                  mnl_socket* socket);
  Failure configure();
  Failure sendConfig(std::vector<char>& buffer, bool mayFail);
  void awaitPackets();
  void receivePackets();
  void handleMessages(const char* data, std::size_t length);
  // A verdict or a change of settings, unacknowledged: an error comes back
  // among the packets, and is logged there.
  void sendUnacknowledged(const nlmsghdr* message);

  const std::uint16_t queueNumber_;
  const std::uint32_t copiedBytes_;
  Logger logger_;
  mnl_socket* const socket_;
  std::uint32_t portId_ = 0;
  asio::posix::stream_descriptor descriptor_;
  PacketHandler handler_;
  std::vector<char> receiveBuffer_;
  std::vector<char> verdictBuffer_;
};

}  // namespace vosk::backend
