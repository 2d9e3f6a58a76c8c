#include "linux/tcp/dns_tcp_guard.hpp"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <poll.h>

#include <array>
#include <chrono>
#include <vector>

#include "linux/conntrack_namespace.hpp"

namespace vosk::backend {
namespace {

using test::childPassed;
using test::expectPassedInOwnNamespace;
using test::firstTestStatus;
using test::setupFailed;

enum Status { overCapCarried = firstTestStatus, placeNotFreed, underCapRefused };

constexpr int waitMilliseconds = 2000;
constexpr int stepMilliseconds = 10;
constexpr std::uint32_t guardMark = 0x2a;

bool readable(asio::ip::tcp::socket& socket, int milliseconds = waitMilliseconds) {
  pollfd descriptor{socket.native_handle(), POLLIN, 0};
  return ::poll(&descriptor, 1, milliseconds) == 1;
}

// The "DNS server": the guard's own connections arrive here.
struct Server {
  explicit Server(asio::io_context& context) : acceptor(context, {asio::ip::address_v4::loopback(), 0}) {
    acceptor.listen(DnsTcpGuard::maxConnections + 8);
    acceptor.non_blocking(true);
  }
  // Takes every connection the guard has made by now.
  void acceptMade(asio::io_context& context) {
    context.poll();
    std::error_code error;
    for (;;) {
      asio::ip::tcp::socket socket = acceptor.accept(error);
      if (error) return;
      accepted.push_back(std::move(socket));
    }
  }
  asio::ip::tcp::acceptor acceptor;
  std::vector<asio::ip::tcp::socket> accepted;
};

// A client's connection, accepted as the interception table's redirect would
// hand it over, and given to the guard.
asio::ip::tcp::socket carried(asio::io_context& context, asio::ip::tcp::acceptor& redirected, DnsTcpGuard& guard,
                              const asio::ip::tcp::endpoint& server) {
  asio::ip::tcp::socket client(context);
  client.connect(redirected.local_endpoint());
  asio::ip::tcp::socket accepted = redirected.accept();
  accepted.non_blocking(true);
  guard.carry(std::move(accepted), server);
  return client;
}

int capInOwnNamespace() {
  asio::io_context context;
  asio::ip::tcp::acceptor redirected(context, {asio::ip::address_v4::loopback(), 0});
  redirected.listen(DnsTcpGuard::maxConnections + 8);
  Server server(context);
  DnsTcpGuard guard(guardMark);

  std::vector<asio::ip::tcp::socket> clients;
  for (std::size_t i = 0; i < DnsTcpGuard::maxConnections; ++i) {
    clients.push_back(carried(context, redirected, guard, server.acceptor.local_endpoint()));
  }
  server.acceptMade(context);
  if (server.accepted.size() != DnsTcpGuard::maxConnections) return setupFailed;

  // One more is closed at once: its client reads the end, the server sees nothing.
  asio::ip::tcp::socket refused = carried(context, redirected, guard, server.acceptor.local_endpoint());
  std::array<char, 1> byte{};
  std::error_code error;
  if (!readable(refused) || refused.read_some(asio::buffer(byte), error) != 0 || error != asio::error::eof) {
    return overCapCarried;
  }
  server.acceptMade(context);
  if (server.accepted.size() != DnsTcpGuard::maxConnections) return overCapCarried;

  // The first connection ends from both sides, and its place is free again.
  clients.front().close();
  for (int round = 0; round < waitMilliseconds / stepMilliseconds; ++round) {
    context.poll();
    if (readable(server.accepted.front(), stepMilliseconds)) break;
  }
  if (server.accepted.front().read_some(asio::buffer(byte), error) != 0 || error != asio::error::eof) {
    return placeNotFreed;
  }
  server.accepted.front().close();
  context.run_for(std::chrono::milliseconds(waitMilliseconds / 4));
  asio::ip::tcp::socket again = carried(context, redirected, guard, server.acceptor.local_endpoint());
  server.acceptMade(context);
  if (server.accepted.size() != DnsTcpGuard::maxConnections + 1) return underCapRefused;
  return childPassed;
}

TEST(DnsTcpGuardTest, CarriesAtMostItsCapAndGivesAPlaceBackWhenAConnectionEnds) {
  expectPassedInOwnNamespace(capInOwnNamespace);
}

}  // namespace
}  // namespace vosk::backend
