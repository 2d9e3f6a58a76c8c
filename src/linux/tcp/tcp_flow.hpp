#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <memory>
#include <vector>

#include "platform/flow.hpp"

namespace vosk::backend {

// An intercepted TCP connection, accepted on the daemon's loop. Every
// operation runs on that loop (posted there when called from another thread,
// at once otherwise) and delivers its completion there.
class SocketTCPFlow final : public TCPFlow, public std::enable_shared_from_this<SocketTCPFlow> {
 public:
  // The socket is in non-blocking mode already.
  SocketTCPFlow(asio::ip::tcp::socket socket, const asio::ip::tcp::endpoint& originalDestination);

  // TCPFlow
  void open(OpenCompletion completion) override;
  void readData(ReadCompletion completion) override;
  void writeData(Bytes data, WriteCompletion completion) override;
  void closeRead() override;
  void closeWrite() override;
  // Made when asked for (a few times per flow): an idle flow keeps only the address.
  std::shared_ptr<const Endpoint> remoteEndpoint() const override;

  // For the relay steps of its upstream connection, on the same loop.
  asio::ip::tcp::socket& socket() { return socket_; }

 private:
  struct PendingWrite {
    Bytes data;
    WriteCompletion completion;
  };
  void writeNext();
  void shutdownSend();
  bool closeIfBothSidesClosed();

  asio::ip::tcp::socket socket_;
  const asio::ip::tcp::endpoint originalDestination_;
  // Platform io_context only. Both sides closed = socket closed, which also
  // ends writes still in flight.
  bool readClosed_ = false;
  bool writeClosed_ = false;
  bool reading_ = false;
  bool readBefore_ = false;
  std::vector<PendingWrite> writes_;  // the front one is being written
};

}  // namespace vosk::backend
