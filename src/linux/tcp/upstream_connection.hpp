#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/connection.hpp"

namespace vosk::backend {

// The daemon's own TCP connection to a flow's destination. Its socket lives on
// the io_context it was made with, the daemon's one loop, where its flows'
// sockets live too: states and completions arrive there, whatever queue
// start() is given. Operations called from another thread are posted there,
// except the relay steps, which run where they are called: on that loop.
class UpstreamConnection final : public Connection, public std::enable_shared_from_this<UpstreamConnection> {
 public:
  UpstreamConnection(asio::io_context& mainContext, std::string host, std::uint16_t port, std::uint32_t mark);

  // Connection
  void setStateUpdateHandler(StateUpdateHandler handler) override;
  void start(MainQueue& queue) override;
  void send(Bytes content, SendCompletion completion) override;
  void sendEndOfStream() override;
  void receive(std::size_t minimumIncompleteLength, std::size_t maximumLength,
               ReceiveCompletion completion) override;
  // Spliced inside the kernel; the flow must be a SocketTCPFlow on this connection's loop.
  void forwardFrom(TCPFlow& flow, std::size_t maximumBytes, std::function<void(ForwardResult)> completion) override;
  void forwardTo(TCPFlow& flow, std::function<void(ForwardResult)> completion) override;
  void cancel() override;

 private:
  enum class Phase { idle, connecting, ready, ended };
  struct PendingSend {
    Bytes content;
    SendCompletion completion;
  };

  void connect(const asio::ip::tcp::endpoint& destination);
  void becomeReady();
  void fail(const std::error_code& error);
  void deliverState(ConnectionState state);
  void writeNext();
  enum class Toward { connection, flow };
  void forward(TCPFlow& flow, Toward toward, std::size_t maximumBytes, std::function<void(ForwardResult)> completion);

  asio::io_context& context_;
  const std::string host_;
  const std::uint16_t port_;
  const std::uint32_t mark_;

  mutable std::mutex handlerMutex_;  // the handler is set from any thread
  // Shared with a call in progress, so that delivering a state copies no
  // handler (it may hold the bytes to replay).
  std::shared_ptr<const StateUpdateHandler> handler_;

  // Its loop only.
  asio::ip::tcp::socket socket_;
  std::unique_ptr<asio::ip::tcp::resolver> resolver_;  // only for a host name, not an address
  Phase phase_ = Phase::idle;
  // The front one is being written once ready. Rarely more than one: a vector
  // costs an idle connection nothing, unlike a deque's first block.
  std::vector<PendingSend> sends_;
  bool writing_ = false;
  bool steppedFrom_ = false;  // a relay step has run in that direction
  bool steppedTo_ = false;
  bool endOfStreamRequested_ = false;
};

class UpstreamConnectionFactory final : public ConnectionFactory {
 public:
  UpstreamConnectionFactory(asio::io_context& mainContext, std::uint32_t mark)
      : context_(mainContext), mark_(mark) {}
  std::shared_ptr<Connection> makeConnection(const std::string& host, std::uint16_t port) override {
    return std::make_shared<UpstreamConnection>(context_, host, port, mark_);
  }

 private:
  asio::io_context& context_;
  const std::uint32_t mark_;
};

}  // namespace vosk::backend
