#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/connection.hpp"

namespace vosk::test {

struct ReceiveResult {
  std::optional<Bytes> data;
  bool isComplete = false;
  std::optional<Error> error;
};

// A scriptable upstream connection. Every callback is posted on the queue it
// was started on, like the real one. Sends complete at once unless held.
class FakeConnection final : public Connection {
 public:
  FakeConnection(std::string host, std::uint16_t port) : host(std::move(host)), port(port) {}

  // Connection
  void setStateUpdateHandler(StateUpdateHandler handler) override;
  void start(MainQueue& queue) override;
  void send(Bytes content, SendCompletion completion) override;
  void sendEndOfStream() override;
  void receive(std::size_t minimumIncompleteLength, std::size_t maximumLength, ReceiveCompletion completion) override;
  // A step is a read or receive and then a send or write, each as scripted;
  // what a read brings over the limit goes back to the (fake) flow.
  void forwardFrom(TCPFlow& flow, std::size_t maximumBytes, std::function<void(ForwardResult)> completion) override;
  void forwardTo(TCPFlow& flow, std::function<void(ForwardResult)> completion) override;
  void cancel() override;

  // Test controls.
  void deliverState(ConnectionState::Kind kind, std::optional<Error> error = std::nullopt);
  void pushReceive(ReceiveResult result);
  void pushData(std::string_view text, bool isComplete = false);
  void holdSends(bool hold) { holdSends_ = hold; }
  void failSendsWith(std::optional<Error> error) { sendError_ = std::move(error); }
  void completeSend(std::optional<Error> error = std::nullopt);

  bool hasStateHandler() const;
  bool cancelled() const { return cancelCount_ > 0; }
  int cancelCount() const { return cancelCount_; }
  bool endOfStreamSent() const { return endOfStreamSent_; }
  std::string sent() const;  // every byte sent, in order
  std::vector<Bytes> sends() const;
  // Calls in order: "start", "send", "endOfStream", "receive", "clearHandler" (a null handler set), "cancel".
  std::vector<std::string> calls() const;

  const std::string host;
  const std::uint16_t port;

 private:
  void postOnQueue(std::function<void()> work);
  void deliverReceive(ReceiveCompletion completion, ReceiveResult result);
  ReceiveResult takeScripted(std::size_t maximum);

  mutable std::mutex mutex_;
  MainQueue* queue_ = nullptr;
  StateUpdateHandler handler_;
  std::vector<Bytes> sends_;
  std::deque<SendCompletion> heldSends_;
  bool holdSends_ = false;
  std::optional<Error> sendError_;
  std::deque<ReceiveResult> scriptedReceives_;
  ReceiveCompletion pendingReceive_;
  std::size_t pendingMaximum_ = 0;
  std::vector<std::string> calls_;
  int cancelCount_ = 0;
  bool endOfStreamSent_ = false;
};

class FakeConnectionFactory final : public ConnectionFactory {
 public:
  std::shared_ptr<Connection> makeConnection(const std::string& host, std::uint16_t port) override;
  std::vector<std::shared_ptr<FakeConnection>> made() const;
  std::shared_ptr<FakeConnection> last() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<FakeConnection>> made_;
};

}  // namespace vosk::test
