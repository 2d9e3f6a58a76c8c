#pragma once

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "linux/failure.hpp"
#include "platform/logger.hpp"
#include "platform/packet_path.hpp"

struct mnl_socket;
struct nlmsghdr;

namespace vosk::backend {

// Hears conntrack forget TCP connections whose ct mark has (mark & bits) ==
// value: its destroy events, on the context's thread.
//
// The kernel sends them only while net.netfilter.nf_conntrack_events is 1, or
// 2 (the default) with someone listening; under 2 a connection tracked before
// the first listener subscribed carries no events and ends unreported, so open
// this before the connections it is to report begin.
class ConntrackEnds final : public std::enable_shared_from_this<ConntrackEnds> {
 public:
  // The connection's original direction: client to server.
  using EndHandler = std::function<void(const ConnectionTuple& tuple)>;

  // Subscribed to NFNLGRP_CONNTRACK_DESTROY; null with `failure` saying why.
  static std::shared_ptr<ConntrackEnds> open(asio::io_context& context, std::uint32_t bits, std::uint32_t value,
                                             Logger logger, Failure& failure);
  ~ConntrackEnds();
  ConntrackEnds(const ConntrackEnds&) = delete;
  ConntrackEnds& operator=(const ConntrackEnds&) = delete;

  // Starts receiving; `ended` runs on the context's thread for each such
  // connection, now and then twice: the kernel sends a destroy event again
  // when some listener's full buffer refused it. `lost` runs when the kernel
  // dropped events (ENOBUFS: this socket's buffer overflowed, or an event
  // could not be made), so some ends may have gone unreported.
  void start(EndHandler ended, std::function<void()> lost);

 private:
  ConntrackEnds(asio::io_context& context, std::uint32_t bits, std::uint32_t value, Logger logger,
                mnl_socket* socket);
  void awaitEvents();
  void receiveEvents();
  void handleMessages(const char* data, std::size_t length);
  void handleDestroyed(const nlmsghdr* message);

  const std::uint32_t bits_;
  const std::uint32_t value_;
  Logger logger_;
  mnl_socket* const socket_;
  asio::posix::stream_descriptor descriptor_;
  EndHandler ended_;
  std::function<void()> lost_;
  std::vector<char> receiveBuffer_;
};

}  // namespace vosk::backend
