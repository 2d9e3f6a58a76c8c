#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "linux/failure.hpp"
#include "platform/packet_path.hpp"

// For tests of conntrack: a forked child that gives itself a network
// namespace where conntrack follows loopback TCP, so that the test process
// keeps its own. The child says what failed by its exit status, and why on
// its stderr. Header-only.
namespace vosk::backend::test {

// The exit statuses every such child shares; each test adds its own above them.
enum ChildStatus { childPassed = 0, setupFailed = 1, noConntrack = 2, firstTestStatus = 3 };

// Loopback up, and conntrack following the namespace's packets: a rule on
// the connection state is enough to have them tracked.
constexpr const char* conntrackNamespaceSetup =
    "ip link set lo up && nft -f - <<'EOF'\n"
    "table inet conntrack_test {\n"
    "  chain output { type filter hook output priority 0; ct state new accept; }\n"
    "}\n"
    "EOF\n";

union SocketAddress {
  sockaddr generic;
  sockaddr_in v4;
  sockaddr_in6 v6;
};

struct LoopbackConnection {
  ConnectionTuple tuple;
  int client = -1;
  int server = -1;
};

inline void copyEndpoint(const SocketAddress& end, std::array<std::uint8_t, 16>& address, std::uint16_t& port) {
  if (end.generic.sa_family == AF_INET) {
    std::memcpy(address.data(), &end.v4.sin_addr, sizeof end.v4.sin_addr);
    port = ntohs(end.v4.sin_port);
  } else {
    std::memcpy(address.data(), &end.v6.sin6_addr, sizeof end.v6.sin6_addr);
    port = ntohs(end.v6.sin6_port);
  }
}

// An established connection over this family's loopback address.
inline std::optional<LoopbackConnection> connectOverLoopback(int family) {
  SocketAddress server{};
  socklen_t length = family == AF_INET ? sizeof server.v4 : sizeof server.v6;
  if (family == AF_INET) {
    server.v4.sin_family = AF_INET;
    server.v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  } else {
    server.v6.sin6_family = AF_INET6;
    server.v6.sin6_addr = in6addr_loopback;
  }
  LoopbackConnection connection;
  const int listener = socket(family, SOCK_STREAM, 0);
  connection.client = socket(family, SOCK_STREAM, 0);
  SocketAddress local{};
  socklen_t localLength = sizeof local;
  const bool connected = bind(listener, &server.generic, length) == 0 && listen(listener, 1) == 0 &&
                         getsockname(listener, &server.generic, &length) == 0 &&
                         connect(connection.client, &server.generic, length) == 0 &&
                         (connection.server = accept(listener, nullptr, nullptr)) >= 0 &&
                         getsockname(connection.client, &local.generic, &localLength) == 0;
  close(listener);
  if (!connected) return std::nullopt;
  connection.tuple.ipVersion = family == AF_INET ? 4 : 6;
  copyEndpoint(local, connection.tuple.client, connection.tuple.clientPort);
  copyEndpoint(server, connection.tuple.server, connection.tuple.serverPort);
  return connection;
}

inline int reported(const Failure& failure, int status) {
  std::fprintf(stderr, "%s\n", failure.message().c_str());
  return status;
}

// Runs `child` in a forked process inside a namespace of its own; skipped
// without root or ctnetlink.
inline void expectPassedInOwnNamespace(int (*child)()) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (unshare(CLONE_NEWNET) != 0 || std::system(conntrackNamespaceSetup) != 0) _exit(setupFailed);
    _exit(child());
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == noConntrack) GTEST_SKIP() << "no ctnetlink socket (the child said why)";
  EXPECT_EQ(WEXITSTATUS(status), childPassed);
}

}  // namespace vosk::backend::test
