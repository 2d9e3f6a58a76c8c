#include "linux/netlink/netlink_requests.hpp"

#include <libmnl/libmnl.h>

#include <cerrno>

namespace vosk::backend {
namespace {

// One request, or the kernel's answer to it (an acknowledgement, or an error
// echoing the request), with room to spare.
constexpr std::size_t messageBufferBytes = 8192;

}  // namespace

NetlinkRequests::NetlinkRequests(mnl_socket* socket, const char* what)
    : socket_(socket), what_(what), buffer_(messageBufferBytes) {}

std::unique_ptr<NetlinkRequests> NetlinkRequests::open(int bus, const char* what, Failure& failure) {
  mnl_socket* const socket = mnl_socket_open(bus);
  if (socket == nullptr) {
    failure = errnoFailure(std::string(what) + " socket");
    return nullptr;
  }
  std::unique_ptr<NetlinkRequests> requests(new NetlinkRequests(socket, what));
  if (mnl_socket_bind(socket, 0, MNL_SOCKET_AUTOPID) < 0) {
    failure = errnoFailure(std::string(what) + " bind");
    return nullptr;
  }
  requests->portId_ = mnl_socket_get_portid(socket);
  return requests;
}

NetlinkRequests::~NetlinkRequests() { mnl_socket_close(socket_); }

nlmsghdr* NetlinkRequests::start(std::uint16_t type) {
  nlmsghdr* const message = mnl_nlmsg_put_header(buffer_.data());
  message->nlmsg_type = type;
  message->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
  message->nlmsg_seq = ++sequence_;
  return message;
}

Failure NetlinkRequests::send(nlmsghdr* request, int notFound) {
  const std::uint32_t sequence = request->nlmsg_seq;
  if (mnl_socket_sendto(socket_, request, request->nlmsg_len) < 0) return errnoFailure(what_);
  for (;;) {
    const ssize_t received = mnl_socket_recvfrom(socket_, buffer_.data(), buffer_.size());
    if (received < 0) {
      if (errno == EINTR) continue;
      return errnoFailure(what_);
    }
    // The answer to an earlier request whose wait failed: taking it for this
    // one's would leave every later call reading its predecessor's.
    const auto* const answer = reinterpret_cast<const nlmsghdr*>(buffer_.data());
    if (mnl_nlmsg_ok(answer, static_cast<int>(received)) && !mnl_nlmsg_seq_ok(answer, sequence)) continue;
    if (mnl_cb_run(buffer_.data(), static_cast<std::size_t>(received), sequence, portId_, nullptr, nullptr) < 0 &&
        errno != notFound) {
      return errnoFailure(what_);
    }
    return {};
  }
}

}  // namespace vosk::backend
