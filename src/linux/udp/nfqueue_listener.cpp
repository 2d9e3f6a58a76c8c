#include "linux/udp/nfqueue_listener.hpp"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <system_error>
#include <utility>

namespace vosk::backend {
namespace {

// Packets held at once; past this the kernel lets new ones through (fail open).
constexpr std::uint32_t heldPacketLimit = 1024;
constexpr int receiveBufferBytes = 4 * 1024 * 1024;
constexpr std::size_t messageBufferBytes = 64 * 1024;
// Room for one configuration message, or a verdict besides its packet; the
// netlink and queue headers of a held packet.
constexpr std::size_t requestBufferBytes = 8192;

// Each asked for alone: a kernel refusing one still gets the others.
constexpr std::array queueFlags{NFQA_CFG_F_FAIL_OPEN, NFQA_CFG_F_GSO};

}  // namespace

std::optional<std::string> destinationAddressOf(std::span<const std::uint8_t> packet) {
  constexpr std::size_t ipv4DestinationOffset = 16;
  constexpr std::size_t ipv6DestinationOffset = 24;
  char text[INET6_ADDRSTRLEN] = {};
  if (packet.empty()) return std::nullopt;
  const int version = packet[0] >> 4;
  if (version == 4 && packet.size() >= ipv4DestinationOffset + 4) {
    inet_ntop(AF_INET, packet.data() + ipv4DestinationOffset, text, sizeof text);
  } else if (version == 6 && packet.size() >= ipv6DestinationOffset + 16) {
    inet_ntop(AF_INET6, packet.data() + ipv6DestinationOffset, text, sizeof text);
  } else {
    return std::nullopt;
  }
  return std::string(text);
}

NfqueueListener::NfqueueListener(asio::io_context& context, std::uint16_t queueNumber, std::uint32_t copiedBytes,
                                 Logger logger, mnl_socket* socket)
    : queueNumber_(queueNumber),
      copiedBytes_(copiedBytes),
      logger_(std::move(logger)),
      socket_(socket),
      descriptor_(context),
      receiveBuffer_(std::max<std::size_t>(messageBufferBytes, copiedBytes + requestBufferBytes)),
      verdictBuffer_(copiedBytes + requestBufferBytes) {}

std::shared_ptr<NfqueueListener> NfqueueListener::open(asio::io_context& context, std::uint16_t queueNumber,
                                                       std::uint32_t copiedBytes, Logger logger, Failure& failure) {
  mnl_socket* const socket = mnl_socket_open(NETLINK_NETFILTER);
  if (socket == nullptr) {
    failure = errnoFailure("NFQUEUE socket");
    return nullptr;
  }
  std::shared_ptr<NfqueueListener> listener(
      new NfqueueListener(context, queueNumber, copiedBytes, std::move(logger), socket));
  if (mnl_socket_bind(socket, 0, MNL_SOCKET_AUTOPID) < 0) {
    failure = errnoFailure("NFQUEUE bind");
    return nullptr;
  }
  listener->portId_ = mnl_socket_get_portid(socket);
  if ((failure = listener->configure())) return nullptr;
  std::error_code error;
  listener->descriptor_.assign(mnl_socket_get_fd(socket), error);
  if (!error) listener->descriptor_.non_blocking(true, error);
  if (error) {
    failure = Failure{"NFQUEUE socket", error};
    return nullptr;
  }
  return listener;
}

NfqueueListener::~NfqueueListener() {
  // The socket is mnl's to close.
  if (descriptor_.is_open()) descriptor_.release();
  mnl_socket_close(socket_);
}

Failure NfqueueListener::configure() {
  std::vector<char> buffer(requestBufferBytes);

  nlmsghdr* message = nfq_nlmsg_put(buffer.data(), NFQNL_MSG_CONFIG, queueNumber_);
  nfq_nlmsg_cfg_put_cmd(message, AF_UNSPEC, NFQNL_CFG_CMD_BIND);
  if (Failure failure = sendConfig(buffer, false)) return failure;

  message = nfq_nlmsg_put(buffer.data(), NFQNL_MSG_CONFIG, queueNumber_);
  nfq_nlmsg_cfg_put_params(message, NFQNL_COPY_PACKET, static_cast<int>(copiedBytes_));
  nfq_nlmsg_cfg_put_qmaxlen(message, heldPacketLimit);
  if (Failure failure = sendConfig(buffer, false)) return failure;

  for (const std::uint32_t flag : queueFlags) {
    message = nfq_nlmsg_put(buffer.data(), NFQNL_MSG_CONFIG, queueNumber_);
    mnl_attr_put_u32(message, NFQA_CFG_FLAGS, htonl(flag));
    mnl_attr_put_u32(message, NFQA_CFG_MASK, htonl(flag));
    if (Failure failure = sendConfig(buffer, true)) return failure;
  }

  int on = 1;
  mnl_socket_setsockopt(socket_, NETLINK_NO_ENOBUFS, &on, sizeof on);
  // Past the system's limit only with CAP_NET_ADMIN; the plain request is the fallback.
  const int fd = mnl_socket_get_fd(socket_);
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBufferBytes, sizeof receiveBufferBytes) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
  }
  return {};
}

// Sends the message at the start of the buffer and waits for its acknowledgement.
Failure NfqueueListener::sendConfig(std::vector<char>& buffer, bool mayFail) {
  auto* message = reinterpret_cast<nlmsghdr*>(buffer.data());
  message->nlmsg_flags |= NLM_F_ACK;
  if (mnl_socket_sendto(socket_, message, message->nlmsg_len) < 0) return errnoFailure("NFQUEUE configuration");
  const ssize_t received = mnl_socket_recvfrom(socket_, buffer.data(), buffer.size());
  if (received < 0) return errnoFailure("NFQUEUE configuration");
  if (mnl_cb_run(buffer.data(), static_cast<std::size_t>(received), 0, portId_, nullptr, nullptr) < 0 && !mayFail) {
    return errnoFailure("NFQUEUE configuration");
  }
  return {};
}

void NfqueueListener::start(PacketHandler handler) {
  handler_ = std::move(handler);
  awaitPackets();
}

void NfqueueListener::awaitPackets() {
  descriptor_.async_wait(asio::posix::stream_descriptor::wait_read,
                         [weakSelf = weak_from_this()](const std::error_code& error) {
                           const auto self = weakSelf.lock();
                           if (!self || error) return;
                           self->receivePackets();
                           self->awaitPackets();
                         });
}

void NfqueueListener::receivePackets() {
  for (;;) {
    const ssize_t received = recv(descriptor_.native_handle(), receiveBuffer_.data(), receiveBuffer_.size(), 0);
    if (received < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      if (error != EAGAIN && error != EWOULDBLOCK) {
        logger_.log("⚠️ NFQUEUE receive failed: {}", std::generic_category().message(error));
      }
      return;
    }
    handleMessages(receiveBuffer_.data(), static_cast<std::size_t>(received));
  }
}

void NfqueueListener::handleMessages(const char* data, std::size_t length) {
  const auto onPacket = [](const nlmsghdr* message, void* context) -> int {
    auto& self = *static_cast<NfqueueListener*>(context);
    std::array<nlattr*, NFQA_MAX + 1> attributes{};
    if (nfq_nlmsg_parse(message, attributes.data()) < 0 || attributes[NFQA_PACKET_HDR] == nullptr) {
      return MNL_CB_OK;
    }
    const auto* header = static_cast<const nfqnl_msg_packet_hdr*>(mnl_attr_get_payload(attributes[NFQA_PACKET_HDR]));
    HeldPacket packet;
    packet.id = ntohl(header->packet_id);
    if (attributes[NFQA_MARK] != nullptr) packet.mark = ntohl(mnl_attr_get_u32(attributes[NFQA_MARK]));
    if (attributes[NFQA_PAYLOAD] != nullptr) {
      packet.bytes = {static_cast<const std::uint8_t*>(mnl_attr_get_payload(attributes[NFQA_PAYLOAD])),
                      mnl_attr_get_payload_len(attributes[NFQA_PAYLOAD])};
    }
    self.handler_(packet);
    return MNL_CB_OK;
  };
  if (mnl_cb_run(data, length, 0, portId_, onPacket, this) < 0) {
    logger_.log("⚠️ NFQUEUE reported an error: {}", std::generic_category().message(errno));
  }
}

void NfqueueListener::setFailOpen(bool failOpen) {
  nlmsghdr* message = nfq_nlmsg_put(verdictBuffer_.data(), NFQNL_MSG_CONFIG, queueNumber_);
  mnl_attr_put_u32(message, NFQA_CFG_FLAGS, htonl(failOpen ? NFQA_CFG_F_FAIL_OPEN : 0));
  mnl_attr_put_u32(message, NFQA_CFG_MASK, htonl(NFQA_CFG_F_FAIL_OPEN));
  sendUnacknowledged(message);
}

void NfqueueListener::drop(std::uint32_t id) {
  nlmsghdr* message = nfq_nlmsg_put(verdictBuffer_.data(), NFQNL_MSG_VERDICT, queueNumber_);
  nfq_nlmsg_verdict_put(message, static_cast<int>(id), NF_DROP);
  sendUnacknowledged(message);
}

void NfqueueListener::accept(std::uint32_t id, std::uint32_t mark, std::span<const std::uint8_t> replacement) {
  if (replacement.size() > copiedBytes_) replacement = {};  // never: a replacement is made from the copy
  nlmsghdr* message = nfq_nlmsg_put(verdictBuffer_.data(), NFQNL_MSG_VERDICT, queueNumber_);
  nfq_nlmsg_verdict_put(message, static_cast<int>(id), NF_ACCEPT);
  nfq_nlmsg_verdict_put_mark(message, mark);
  if (!replacement.empty()) {
    nfq_nlmsg_verdict_put_pkt(message, replacement.data(), static_cast<std::uint32_t>(replacement.size()));
  }
  sendUnacknowledged(message);
}

void NfqueueListener::sendUnacknowledged(const nlmsghdr* message) {
  if (mnl_socket_sendto(socket_, message, message->nlmsg_len) < 0) {
    logger_.log("⚠️ NFQUEUE message failed: {}", std::generic_category().message(errno));
  }
}

}  // namespace vosk::backend
