#pragma once

// The two backends the platform contract suite runs against, behind the same
// operations: a main queue with its clock and ways to run it, a TCP flow with
// a peer the test drives, and connections to a server the test drives.

#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "linux/service/asio_main_queue.hpp"
#include "linux/tcp/tcp_flow.hpp"
#include "linux/tcp/upstream_connection.hpp"
#include "support/fake_connection.hpp"
#include "support/fake_flows.hpp"
#include "support/virtual_time.hpp"

namespace vosk::test {

// The in-memory platform in virtual time. Its "network" is the fakes' scripts:
// a listening server makes a started connection ready, any other fails it.
class InMemoryBackend {
 public:
  MainQueue& queue() { return queue_; }
  Clock& clock() { return queue_; }
  bool onQueue() const { return serving_; }
  // Runs both queues at the current instant until `done` or nothing is left.
  bool runUntil(const std::function<bool()>& done) {
    while (!done()) {
      const std::size_t ran = platform_.drain() + serve([&] { return queue_.runUntilIdle(); });
      if (ran == 0) break;
    }
    return done();
  }
  void runFor(double seconds) {
    runUntil([] { return false; });
    serve([&] { return queue_.advance(seconds); });
    runUntil([] { return false; });
  }

  struct FlowPeer {
    std::shared_ptr<FakeTCPFlow> flow;
    void send(std::string_view text) { flow->pushData(text); }
    void end() { flow->pushEnd(); }
    std::string received() { return flow->written(); }
    bool sawEnd() { return flow->writeClosed(); }
  };
  std::pair<std::shared_ptr<TCPFlow>, FlowPeer> makeFlow(const std::string& host, const std::string& port) {
    auto flow = FakeTCPFlow::to(platform_, host, port);
    return {flow, FlowPeer{flow}};
  }

  struct Server {
    bool listening;
    std::shared_ptr<FakeConnection> connection;
    void send(std::string_view text) { connection->pushData(text); }
    void end() { connection->pushReceive({std::nullopt, true, std::nullopt}); }
    std::string received() { return connection ? connection->sent() : ""; }
    bool sawEnd() { return connection && connection->endOfStreamSent(); }
  };
  std::unique_ptr<Server> makeServer(bool listening) { return std::make_unique<Server>(Server{listening, nullptr}); }
  std::shared_ptr<Connection> connect(Server& server) {
    server.connection = std::make_shared<FakeConnection>("127.0.0.1", 443);
    return std::make_shared<Dialled>(server.connection, server.listening);
  }

 private:
  // Starting the fake is dialling the scripted server.
  class Dialled final : public Connection {
   public:
    Dialled(std::shared_ptr<FakeConnection> fake, bool answers) : fake_(std::move(fake)), answers_(answers) {}
    void setStateUpdateHandler(StateUpdateHandler handler) override { fake_->setStateUpdateHandler(std::move(handler)); }
    void start(MainQueue& queue) override {
      fake_->start(queue);
      if (answers_) return fake_->deliverState(ConnectionState::Kind::ready);
      fake_->deliverState(ConnectionState::Kind::failed, Error{"connection refused"});
    }
    void send(Bytes content, SendCompletion completion) override { fake_->send(std::move(content), std::move(completion)); }
    void sendEndOfStream() override { fake_->sendEndOfStream(); }
    void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) override {
      fake_->receive(minimum, maximum, std::move(completion));
    }
    void forwardFrom(TCPFlow& flow, std::size_t maximumBytes, std::function<void(ForwardResult)> completion) override {
      fake_->forwardFrom(flow, maximumBytes, std::move(completion));
    }
    void forwardTo(TCPFlow& flow, std::function<void(ForwardResult)> completion) override {
      fake_->forwardTo(flow, std::move(completion));
    }
    void cancel() override { fake_->cancel(); }

   private:
    std::shared_ptr<FakeConnection> fake_;
    bool answers_;
  };

  std::size_t serve(const std::function<std::size_t()>& run) {
    serving_ = true;
    const std::size_t ran = run();
    serving_ = false;
    return ran;
  }

  VirtualTimeQueue queue_;
  PlatformQueue platform_;
  bool serving_ = false;
};

// The Linux backend on loopback sockets in real time; the test runs in a
// network namespace of its own. Flows live on the main queue's io_context.
class LinuxBackend {
 public:
  MainQueue& queue() { return queue_; }
  Clock& clock() { return queue_; }
  bool onQueue() { return queue_.context().get_executor().running_in_this_thread(); }
  // Serves the queue until `done`, for at most a few seconds.
  bool runUntil(const std::function<bool()>& done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done() && std::chrono::steady_clock::now() < limit) queue_.context().run_one_for(std::chrono::milliseconds(5));
    return done();
  }
  void runFor(double seconds) {
    queue_.context().run_for(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(seconds)));
  }

  // One end of a loopback TCP connection, read without blocking.
  struct Endpoint {
    explicit Endpoint(asio::io_context& context) : socket(context) {}
    explicit Endpoint(asio::ip::tcp::socket connected) : socket(std::move(connected)) {}
    asio::ip::tcp::socket socket;
    std::string in;
    bool ended = false;
    void send(std::string_view text) { asio::write(socket, asio::buffer(text)); }
    void end() { socket.shutdown(asio::ip::tcp::socket::shutdown_send); }
    std::string received() { return poll().in; }
    bool sawEnd() { return poll().ended; }
    Endpoint& poll() {
      char chunk[65536];
      std::error_code error;
      while (!ended && socket.is_open()) {
        socket.non_blocking(true);
        const std::size_t got = socket.read_some(asio::buffer(chunk), error);
        socket.non_blocking(false);
        if (error) {
          ended = error != asio::error::would_block;
          break;
        }
        in.append(chunk, got);
      }
      return *this;
    }
  };
  using FlowPeer = Endpoint;

  std::pair<std::shared_ptr<TCPFlow>, FlowPeer> makeFlow(const std::string& host, const std::string& port) {
    asio::ip::tcp::acceptor acceptor(queue_.context(), {asio::ip::make_address("127.0.0.1"), 0});
    FlowPeer peer(queue_.context());
    peer.socket.connect(acceptor.local_endpoint());
    const asio::ip::tcp::endpoint destination(asio::ip::make_address(host), static_cast<unsigned short>(std::stoi(port)));
    asio::ip::tcp::socket accepted = acceptor.accept();
    accepted.non_blocking(true);  // as the listener makes it
    // A small send buffer: the flow takes a large write in parts.
    accepted.set_option(asio::socket_base::send_buffer_size(4096));
    return {std::make_shared<backend::SocketTCPFlow>(std::move(accepted), destination), std::move(peer)};
  }

  struct Server {
    asio::ip::tcp::acceptor acceptor;
    std::uint16_t port;
    std::optional<Endpoint> accepted;
    // The accepted connection, once the kernel has one.
    Endpoint* peer() {
      std::error_code error;
      acceptor.non_blocking(true, error);
      if (!accepted && acceptor.is_open()) {
        asio::ip::tcp::socket socket = acceptor.accept(error);
        if (!error) accepted.emplace(std::move(socket));
      }
      return accepted ? &*accepted : nullptr;
    }
    void send(std::string_view text) { peer()->send(text); }
    void end() { peer()->end(); }
    std::string received() { return peer() ? peer()->received() : ""; }
    bool sawEnd() { return peer() && peer()->sawEnd(); }
  };
  // A closed server's port was just released: nothing listens there.
  std::unique_ptr<Server> makeServer(bool listening) {
    asio::ip::tcp::acceptor acceptor(queue_.context(), {asio::ip::make_address("127.0.0.1"), 0});
    const std::uint16_t port = acceptor.local_endpoint().port();
    if (!listening) acceptor.close();
    return std::make_unique<Server>(Server{std::move(acceptor), port, {}});
  }
  std::shared_ptr<Connection> connect(Server& server) {
    return std::make_shared<backend::UpstreamConnection>(queue_.context(), "127.0.0.1", server.port, 0);
  }

 private:
  backend::AsioMainQueue queue_;
};

}  // namespace vosk::test
