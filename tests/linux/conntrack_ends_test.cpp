#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_conntrack.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/io_context.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "linux/nft/conntrack_ends.hpp"
#include "linux/nft/conntrack_marks.hpp"
#include "linux/conntrack_namespace.hpp"
#include "support/capture.hpp"

namespace vosk::backend {
namespace {

using namespace test;

// What the child found besides the shared statuses.
enum EndsStatus { setFailed = firstTestStatus, flushFailed, wrongEnds };

constexpr std::uint32_t watchedBits = 0x00300000;
constexpr std::uint32_t markedValue = 0x00100000;
// Set beside the watched bits, which alone decide.
constexpr std::uint32_t otherBits = 0x00001200;
constexpr std::size_t flushBufferBytes = 8192;
constexpr auto endsWait = std::chrono::seconds(2);

// Has conntrack forget every connection in the namespace (a delete naming no
// connection), each with a destroy event.
bool forgetAllConnections() {
  mnl_socket* const socket = mnl_socket_open(NETLINK_NETFILTER);
  if (socket == nullptr) return false;
  std::vector<char> buffer(flushBufferBytes);
  nlmsghdr* const message = mnl_nlmsg_put_header(buffer.data());
  message->nlmsg_type = (NFNL_SUBSYS_CTNETLINK << 8) | IPCTNL_MSG_CT_DELETE;
  message->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
  auto* const header = static_cast<nfgenmsg*>(mnl_nlmsg_put_extra_header(message, sizeof(nfgenmsg)));
  header->nfgen_family = AF_UNSPEC;  // both families
  header->version = NFNETLINK_V0;
  ssize_t received = -1;
  const bool forgotten = mnl_socket_bind(socket, 0, MNL_SOCKET_AUTOPID) == 0 &&
                         mnl_socket_sendto(socket, message, message->nlmsg_len) >= 0 &&
                         (received = mnl_socket_recvfrom(socket, buffer.data(), buffer.size())) > 0 &&
                         mnl_cb_run(buffer.data(), static_cast<std::size_t>(received), 0,
                                    mnl_socket_get_portid(socket), nullptr, nullptr) >= 0;
  mnl_socket_close(socket);
  return forgotten;
}

int reportEndsInOwnNamespace() {
  asio::io_context context;
  Failure failure;
  // Before the connections: conntrack gives events only to those tracked while someone listened.
  const Logger logger("test", "conntrack", std::make_shared<vosk::test::CapturingLogSink>());
  const auto ends = ConntrackEnds::open(context, watchedBits, markedValue, logger, failure);
  if (!ends) return reported(failure, noConntrack);
  const auto marks = ConntrackMarks::open(failure);
  if (!marks) return reported(failure, noConntrack);

  std::vector<LoopbackConnection> connections;
  for (const int family : {AF_INET, AF_INET, AF_INET6}) {
    std::optional<LoopbackConnection> connection = connectOverLoopback(family);
    if (!connection) return setupFailed;
    connections.push_back(*connection);
  }
  // The second IPv4 connection keeps mark 0.
  const std::vector<ConnectionTuple> marked{connections[0].tuple, connections[2].tuple};
  if ((failure = marks->setMarkBits(marked[0], watchedBits, markedValue)) ||
      (failure = marks->setMarkBits(marked[1], watchedBits | otherBits, markedValue | otherBits))) {
    return reported(failure, setFailed);
  }

  std::vector<ConnectionTuple> ended;
  bool lost = false;
  ends->start(
      [&](const ConnectionTuple& tuple) {
        ended.push_back(tuple);
        if (ended.size() == marked.size()) context.stop();
      },
      [&] { lost = true; });
  for (const LoopbackConnection& connection : connections) {
    close(connection.client);
    close(connection.server);
  }
  if (!forgetAllConnections()) return flushFailed;
  // The events are queued by now: one pass of receives reads all three, the unmarked one's too.
  context.run_for(endsWait);
  if (lost || !std::ranges::is_permutation(ended, marked)) {
    std::fprintf(stderr, "%zu ends reported%s\n", ended.size(), lost ? ", some lost" : "");
    return wrongEnds;
  }
  return childPassed;
}

TEST(ConntrackEndsTest, ReportsTheEndsOfMarkedConnectionsOnly) {
  expectPassedInOwnNamespace(reportEndsInOwnNamespace);
}

}  // namespace
}  // namespace vosk::backend
