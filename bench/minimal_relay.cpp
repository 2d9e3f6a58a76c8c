// Measurement only, never installed: the least a relay of the filter's kind
// does for a redirected connection, on one raw edge-triggered epoll loop, in
// the filter's order: read the first bytes, write a decision line, connect
// upstream (marked, so the redirect lets it pass), replay, copy both ways,
// pass each end on, close once both ended. No time limits, no judging, no
// flow registry: the floor the relay's own layers are measured against
// (docs/benchmarks.md). IPv4 only; a full peer or a slow connect blocks the
// loop, which the benchmark's nearby servers never cause.
//   minimal_relay PORT MARK [LOOPS]    (LOOPS > 1: one listener each, SO_REUSEPORT)
#include <arpa/inet.h>
#include <linux/netfilter_ipv4.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr int blockingWaitMilliseconds = 5000;
constexpr int eventsPerWait = 128;
constexpr std::size_t copyBufferSize = 65536;

struct Connection;
struct Side {
  Connection* connection;
  int fd;
  bool isClient;
};
struct Connection {
  Side client;
  Side upstream;
  sockaddr_in destination{};
  bool sniffed = false;
  bool clientEnded = false;
  bool upstreamEnded = false;
  bool closed = false;
};

int upstreamMark = 0;

// Freed after the events of one wait, which may still name them.
thread_local std::vector<Connection*> closedConnections;

void closeConnection(Connection* connection) {
  close(connection->client.fd);
  if (connection->upstream.fd >= 0) close(connection->upstream.fd);
  connection->closed = true;
  closedConnections.push_back(connection);
}

bool waitFor(int fd, short events) {
  pollfd descriptor{fd, events, 0};
  return poll(&descriptor, 1, blockingWaitMilliseconds) > 0;
}

bool sendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
    if (sent > 0) {
      data += sent;
      size -= static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno != EAGAIN) return false;
    if (!waitFor(fd, POLLOUT)) return false;
  }
  return true;
}

void writeDecisionLine(const char* bytes, std::size_t size, unsigned port) {
  const char* host = static_cast<const char*>(memmem(bytes, size, "Host: ", 6));
  const char* end = host ? static_cast<const char*>(memchr(host, '\r', bytes + size - host)) : nullptr;
  char line[256];
  const int length = snprintf(line, sizeof line, "flow host: %.*s:%u, blocked=false\n",
                              end ? static_cast<int>(end - host - 6) : 1, end ? host + 6 : "-", port);
  if (write(STDERR_FILENO, line, static_cast<std::size_t>(length)) < 0) return;  // nowhere to log to
}

bool connectUpstream(int epoll, Connection* connection, const char* bytes, std::size_t size) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  connection->upstream.fd = fd;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_MARK, &upstreamMark, sizeof upstreamMark);
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  const auto* address = reinterpret_cast<const sockaddr*>(&connection->destination);
  // As the filter does: a nearby server is connected within the first call.
  connect(fd, address, sizeof connection->destination);
  if (connect(fd, address, sizeof connection->destination) != 0 && errno != EISCONN) {
    int error = 0;
    socklen_t length = sizeof error;
    if (!waitFor(fd, POLLOUT) || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      return false;
    }
  }
  if (!sendAll(fd, bytes, size)) return false;
  epoll_event event{EPOLLIN | EPOLLET, {.ptr = &connection->upstream}};
  return epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) == 0;
}

void serve(int epoll, Side* side) {
  Connection* connection = side->connection;
  if (connection->closed) return;
  char buffer[copyBufferSize];
  if (side->isClient && !connection->sniffed) {
    const ssize_t count = recv(side->fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (count < 0 && errno == EAGAIN) return;
    if (count <= 0) return closeConnection(connection);
    connection->sniffed = true;
    const auto size = static_cast<std::size_t>(count);
    writeDecisionLine(buffer, size, ntohs(connection->destination.sin_port));
    if (!connectUpstream(epoll, connection, buffer, size)) closeConnection(connection);
    return;
  }
  Side* other = side->isClient ? &connection->upstream : &connection->client;
  for (;;) {
    const ssize_t count = recv(side->fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (count > 0) {
      if (!sendAll(other->fd, buffer, static_cast<std::size_t>(count))) return closeConnection(connection);
      continue;
    }
    if (count < 0 && errno == EAGAIN) return;
    if (count < 0) return closeConnection(connection);
    (side->isClient ? connection->clientEnded : connection->upstreamEnded) = true;
    if (connection->clientEnded && connection->upstreamEnded) return closeConnection(connection);
    shutdown(other->fd, SHUT_WR);
    return;
  }
}

void acceptAll(int epoll, int listener) {
  for (;;) {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    auto* connection = new Connection{};
    connection->client = {connection, fd, true};
    connection->upstream = {connection, -1, false};
    socklen_t length = sizeof connection->destination;
    if (getsockopt(fd, SOL_IP, SO_ORIGINAL_DST, &connection->destination, &length) != 0) {
      closeConnection(connection);
      continue;
    }
    epoll_event event{EPOLLIN | EPOLLET, {.ptr = &connection->client}};
    if (epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
      closeConnection(connection);
      continue;
    }
    serve(epoll, &connection->client);  // the first bytes often came with the connection
  }
}

void runLoop(std::uint16_t port) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  setsockopt(listener, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
  setsockopt(listener, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, SOMAXCONN) != 0) {
    perror("minimal_relay: listen");
    std::exit(1);
  }
  const int epoll = epoll_create1(EPOLL_CLOEXEC);
  epoll_event listening{EPOLLIN, {.ptr = nullptr}};
  epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &listening);
  epoll_event events[eventsPerWait];
  for (;;) {
    const int ready = epoll_wait(epoll, events, eventsPerWait, -1);
    for (int i = 0; i < ready; ++i) {
      if (events[i].data.ptr == nullptr) {
        acceptAll(epoll, listener);
      } else {
        serve(epoll, static_cast<Side*>(events[i].data.ptr));
      }
    }
    for (Connection* connection : closedConnections) delete connection;
    closedConnections.clear();
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: minimal_relay PORT MARK [LOOPS]\n");
    return 2;
  }
  const auto port = static_cast<std::uint16_t>(std::strtoul(argv[1], nullptr, 10));
  upstreamMark = static_cast<int>(std::strtol(argv[2], nullptr, 0));
  const int loops = argc > 3 ? std::atoi(argv[3]) : 1;
  std::vector<std::thread> others;
  for (int i = 1; i < loops; ++i) others.emplace_back(runLoop, port);
  runLoop(port);
}
