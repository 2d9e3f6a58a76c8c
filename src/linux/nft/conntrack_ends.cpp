#include "linux/nft/conntrack_ends.hpp"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_compat.h>
#include <linux/netfilter/nfnetlink_conntrack.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <optional>
#include <system_error>
#include <utility>

#include "linux/nft/conntrack_tuple.hpp"

namespace vosk::backend {
namespace {

// Room for a burst of ends (a flush, a timeout sweep) while the loop is busy
// elsewhere; past it the kernel drops events and says so with ENOBUFS.
constexpr int receiveBufferBytes = 8 * 1024 * 1024;
// One event is a few hundred bytes, and a datagram carries one.
constexpr std::size_t messageBufferBytes = 8192;

constexpr std::uint16_t destroyedType = (NFNL_SUBSYS_CTNETLINK << 8) | IPCTNL_MSG_CT_DELETE;

}  // namespace

ConntrackEnds::ConntrackEnds(asio::io_context& context, std::uint32_t bits, std::uint32_t value, Logger logger,
                             mnl_socket* socket)
    : bits_(bits),
      value_(value),
      logger_(std::move(logger)),
      socket_(socket),
      descriptor_(context),
      receiveBuffer_(messageBufferBytes) {}

std::shared_ptr<ConntrackEnds> ConntrackEnds::open(asio::io_context& context, std::uint32_t bits, std::uint32_t value,
                                                   Logger logger, Failure& failure) {
  mnl_socket* const socket = mnl_socket_open(NETLINK_NETFILTER);
  if (socket == nullptr) {
    failure = errnoFailure("conntrack events socket");
    return nullptr;
  }
  std::shared_ptr<ConntrackEnds> ends(new ConntrackEnds(context, bits, value, std::move(logger), socket));
  if (mnl_socket_bind(socket, NF_NETLINK_CONNTRACK_DESTROY, MNL_SOCKET_AUTOPID) < 0) {
    failure = errnoFailure("conntrack events bind");
    return nullptr;
  }
  // Past the system's limit only with CAP_NET_ADMIN; the plain request is the fallback.
  const int fd = mnl_socket_get_fd(socket);
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBufferBytes, sizeof receiveBufferBytes) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
  }
  std::error_code error;
  ends->descriptor_.assign(fd, error);
  if (!error) ends->descriptor_.non_blocking(true, error);
  if (error) {
    failure = Failure{"conntrack events socket", error};
    return nullptr;
  }
  return ends;
}

ConntrackEnds::~ConntrackEnds() {
  // The socket is mnl's to close.
  if (descriptor_.is_open()) descriptor_.release();
  mnl_socket_close(socket_);
}

void ConntrackEnds::start(EndHandler ended, std::function<void()> lost) {
  ended_ = std::move(ended);
  lost_ = std::move(lost);
  awaitEvents();
}

void ConntrackEnds::awaitEvents() {
  descriptor_.async_wait(asio::posix::stream_descriptor::wait_read,
                         [weakSelf = weak_from_this()](const std::error_code& error) {
                           const auto self = weakSelf.lock();
                           if (!self || error) return;
                           self->receiveEvents();
                           self->awaitEvents();
                         });
}

void ConntrackEnds::receiveEvents() {
  for (;;) {
    const ssize_t received = recv(descriptor_.native_handle(), receiveBuffer_.data(), receiveBuffer_.size(), 0);
    if (received < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      // Said once per overflow; the events after it still come.
      if (error == ENOBUFS) {
        lost_();
        continue;
      }
      if (error != EAGAIN && error != EWOULDBLOCK) {
        logger_.log("⚠️ conntrack events receive failed: {}", std::generic_category().message(error));
      }
      return;
    }
    handleMessages(receiveBuffer_.data(), static_cast<std::size_t>(received));
  }
}

void ConntrackEnds::handleMessages(const char* data, std::size_t length) {
  const auto onMessage = [](const nlmsghdr* message, void* context) -> int {
    static_cast<ConntrackEnds*>(context)->handleDestroyed(message);
    return MNL_CB_OK;
  };
  // Sequence and port 0: events answer no request of ours.
  if (mnl_cb_run(data, length, 0, 0, onMessage, this) < 0) {
    logger_.log("⚠️ conntrack events reported an error: {}", std::generic_category().message(errno));
  }
}

// A message that does not parse is left alone: it names no connection of ours.
void ConntrackEnds::handleDestroyed(const nlmsghdr* message) {
  if (message->nlmsg_type != destroyedType || mnl_nlmsg_get_payload_len(message) < sizeof(nfgenmsg)) return;
  const auto* const header = static_cast<const nfgenmsg*>(mnl_nlmsg_get_payload(message));
  std::array<const nlattr*, CTA_MAX + 1> attributes{};
  collectAttributes(message, sizeof(nfgenmsg), attributes);
  const nlattr* const markAttribute = validAttribute(attributes, CTA_MARK, MNL_TYPE_U32);
  // The kernel leaves a zero mark out.
  if (attributes[CTA_MARK] != nullptr && markAttribute == nullptr) return;
  const std::uint32_t mark = markAttribute != nullptr ? ntohl(mnl_attr_get_u32(markAttribute)) : 0;
  if ((mark & bits_) != value_) return;
  const std::optional<ConnectionTuple> tuple =
      parseOriginalTuple(validAttribute(attributes, CTA_TUPLE_ORIG, MNL_TYPE_NESTED), header->nfgen_family);
  if (tuple) ended_(*tuple);
}

}  // namespace vosk::backend
