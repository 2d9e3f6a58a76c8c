#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include "linux/nft/conntrack_marks.hpp"

namespace vosk::backend {
namespace {

// What the child found in its namespace, as its exit status.
enum ChildResult { marked = 0, setupFailed = 1, noConntrack = 2, setFailed = 3, wrongMark = 4 };

// Loopback up, and conntrack following the namespace's packets: a rule on
// the connection state is enough to have them tracked.
constexpr const char* namespaceSetup =
    "ip link set lo up && nft -f - <<'EOF'\n"
    "table inet conntrack_marks_test {\n"
    "  chain output { type filter hook output priority 0; ct state new accept; }\n"
    "}\n"
    "EOF\n";

union SocketAddress {
  sockaddr generic;
  sockaddr_in v4;
  sockaddr_in6 v6;
};

void copyEndpoint(const SocketAddress& end, std::array<std::uint8_t, 16>& address, std::uint16_t& port) {
  if (end.generic.sa_family == AF_INET) {
    std::memcpy(address.data(), &end.v4.sin_addr, sizeof end.v4.sin_addr);
    port = ntohs(end.v4.sin_port);
  } else {
    std::memcpy(address.data(), &end.v6.sin6_addr, sizeof end.v6.sin6_addr);
    port = ntohs(end.v6.sin6_port);
  }
}

// An established connection over this family's loopback address. Its sockets
// stay open until the child exits.
std::optional<ConnectionTuple> connectOverLoopback(int family) {
  SocketAddress server{};
  socklen_t length = family == AF_INET ? sizeof server.v4 : sizeof server.v6;
  if (family == AF_INET) {
    server.v4.sin_family = AF_INET;
    server.v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  } else {
    server.v6.sin6_family = AF_INET6;
    server.v6.sin6_addr = in6addr_loopback;
  }
  const int listener = socket(family, SOCK_STREAM, 0);
  const int client = socket(family, SOCK_STREAM, 0);
  SocketAddress local{};
  socklen_t localLength = sizeof local;
  if (bind(listener, &server.generic, length) != 0 || listen(listener, 1) != 0 ||
      getsockname(listener, &server.generic, &length) != 0 || connect(client, &server.generic, length) != 0 ||
      accept(listener, nullptr, nullptr) < 0 || getsockname(client, &local.generic, &localLength) != 0) {
    return std::nullopt;
  }
  ConnectionTuple tuple;
  tuple.ipVersion = family == AF_INET ? 4 : 6;
  copyEndpoint(local, tuple.client, tuple.clientPort);
  copyEndpoint(server, tuple.server, tuple.serverPort);
  return tuple;
}

// The mark conntrack shows for the connection (the namespace holds no other
// with these ports).
std::optional<std::uint32_t> markOf(const ConnectionTuple& tuple) {
  const std::string family = tuple.ipVersion == 4 ? "ipv4 " : "ipv6 ";
  const std::string original =
      " sport=" + std::to_string(tuple.clientPort) + " dport=" + std::to_string(tuple.serverPort) + " ";
  const std::string markField = " mark=";
  std::ifstream table("/proc/net/nf_conntrack");
  for (std::string line; std::getline(table, line);) {
    const std::size_t mark = line.find(markField);
    if (line.starts_with(family) && line.find(original) != std::string::npos && mark != std::string::npos) {
      return static_cast<std::uint32_t>(std::stoul(line.substr(mark + markField.size())));
    }
  }
  return std::nullopt;
}

// The child's stderr carries the why; its exit status, only what failed.
ChildResult reported(const Failure& failure, ChildResult result) {
  std::fprintf(stderr, "%s\n", failure.message().c_str());
  return result;
}

ChildResult markInOwnNamespace() {
  if (unshare(CLONE_NEWNET) != 0 || std::system(namespaceSetup) != 0) return setupFailed;
  Failure failure;
  const auto marks = ConntrackMarks::open(failure);
  if (!marks) return reported(failure, noConntrack);
  struct Step {
    std::uint32_t bits, value, expected;
  };
  // Bits outside a call's are kept; within them, those not in the value are cleared.
  constexpr Step steps[] = {{0x0000ff00, 0x00001200, 0x00001200},
                            {0x00300000, 0x00100000, 0x00101200},
                            {0x00300000, 0x00200000, 0x00201200}};
  for (const int family : {AF_INET, AF_INET6}) {
    const std::optional<ConnectionTuple> tuple = connectOverLoopback(family);
    if (!tuple) return setupFailed;
    for (const Step& step : steps) {
      if ((failure = marks->setMarkBits(*tuple, step.bits, step.value))) return reported(failure, setFailed);
      if (markOf(*tuple) != step.expected) return wrongMark;
    }
    ConnectionTuple untracked = *tuple;
    ++untracked.serverPort;
    if ((failure = marks->setMarkBits(untracked, 0x00300000, 0x00200000))) return reported(failure, setFailed);
  }
  return marked;
}

// In a child, so the test process keeps its own network namespace.
TEST(ConntrackMarksTest, SetsOnlyTheGivenBitsAndIgnoresUntrackedConnections) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(markInOwnNamespace());
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == noConntrack) GTEST_SKIP() << "no ctnetlink socket (the child said why)";
  EXPECT_EQ(WEXITSTATUS(status), marked);
}

}  // namespace
}  // namespace vosk::backend
