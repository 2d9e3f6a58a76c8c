#include "support/fake_connection.hpp"

#include "support/fake_flows.hpp"

namespace vosk::test {

void FakeConnection::postOnQueue(std::function<void()> work) {
  if (queue_ != nullptr) queue_->post(std::move(work));
}

void FakeConnection::deliverReceive(ReceiveCompletion completion, ReceiveResult result) {
  postOnQueue([completion = std::move(completion), result = std::move(result)] {
    completion(result.data, result.isComplete, result.error);
  });
}

void FakeConnection::setStateUpdateHandler(StateUpdateHandler handler) {
  std::lock_guard lock(mutex_);
  if (!handler) calls_.push_back("clearHandler");
  handler_ = std::move(handler);
}

bool FakeConnection::hasStateHandler() const {
  std::lock_guard lock(mutex_);
  return static_cast<bool>(handler_);
}

void FakeConnection::start(MainQueue& queue) {
  std::lock_guard lock(mutex_);
  calls_.push_back("start");
  queue_ = &queue;
}

void FakeConnection::deliverState(ConnectionState::Kind kind, std::optional<Error> error) {
  std::lock_guard lock(mutex_);
  // The handler in place when the state is delivered is the one called.
  postOnQueue([this, state = ConnectionState{kind, std::move(error)}] {
    StateUpdateHandler handler;
    {
      std::lock_guard inner(mutex_);
      handler = handler_;
    }
    if (handler) handler(state);
  });
}

void FakeConnection::send(Bytes content, SendCompletion completion) {
  std::lock_guard lock(mutex_);
  calls_.push_back("send");
  sends_.push_back(std::move(content));
  if (holdSends_) {
    heldSends_.push_back(std::move(completion));
    return;
  }
  const std::optional<Error> error = cancelCount_ > 0 ? std::optional<Error>(Error{"connection cancelled"}) : sendError_;
  postOnQueue([completion = std::move(completion), error] { completion(error); });
}

void FakeConnection::completeSend(std::optional<Error> error) {
  std::lock_guard lock(mutex_);
  if (heldSends_.empty()) return;
  postOnQueue([completion = std::move(heldSends_.front()), error = std::move(error)] { completion(error); });
  heldSends_.pop_front();
}

void FakeConnection::sendEndOfStream() {
  std::lock_guard lock(mutex_);
  calls_.push_back("endOfStream");
  endOfStreamSent_ = true;
}

void FakeConnection::receive(std::size_t, std::size_t maximumLength, ReceiveCompletion completion) {
  std::lock_guard lock(mutex_);
  calls_.push_back("receive");
  if (cancelCount_ > 0) {
    deliverReceive(std::move(completion), {std::nullopt, false, Error{"connection cancelled"}});
  } else if (!scriptedReceives_.empty()) {
    deliverReceive(std::move(completion), takeScripted(maximumLength));
  } else {
    pendingReceive_ = std::move(completion);
    pendingMaximum_ = maximumLength;
  }
}

// At most `maximum` bytes of the next scripted result; the rest (with how it ends) waits for the next receive.
ReceiveResult FakeConnection::takeScripted(std::size_t maximum) {
  ReceiveResult& next = scriptedReceives_.front();
  if (next.data && next.data->size() > maximum) {
    ReceiveResult part{Bytes(next.data->begin(), next.data->begin() + static_cast<std::ptrdiff_t>(maximum)), false,
                       std::nullopt};
    next.data->erase(next.data->begin(), next.data->begin() + static_cast<std::ptrdiff_t>(maximum));
    return part;
  }
  ReceiveResult whole = std::move(next);
  scriptedReceives_.pop_front();
  return whole;
}

void FakeConnection::forwardFrom(TCPFlow& flow, std::size_t maximumBytes,
                                 std::function<void(ForwardResult)> completion) {
  flow.readData([this, &flow, maximumBytes, completion = std::move(completion)](std::optional<Bytes> data,
                                                                               std::optional<Error> error) {
    if (error) return completion(ForwardResult{0, false, std::move(error)});
    if (!data || data->empty()) return completion(ForwardResult{0, true, std::nullopt});
    if (data->size() > maximumBytes) {
      const auto limit = data->begin() + static_cast<std::ptrdiff_t>(maximumBytes);
      dynamic_cast<FakeTCPFlow&>(flow).unread(Bytes(limit, data->end()));
      data->erase(limit, data->end());
    }
    const std::size_t bytes = data->size();
    send(std::move(*data), [bytes, completion](std::optional<Error> sendError) {
      completion(sendError ? ForwardResult{0, false, std::move(sendError)} : ForwardResult{bytes, false, std::nullopt});
    });
  });
}

void FakeConnection::forwardTo(TCPFlow& flow, std::function<void(ForwardResult)> completion) {
  receive(1, 65536, [&flow, completion = std::move(completion)](std::optional<Bytes> data, bool isComplete,
                                                               std::optional<Error> error) {
    if (!data || data->empty()) return completion(ForwardResult{0, isComplete, std::move(error)});
    const std::size_t bytes = data->size();
    flow.writeData(std::move(*data), [bytes, isComplete, error, completion](std::optional<Error> writeError) {
      if (writeError) return completion(ForwardResult{0, false, std::move(writeError)});
      completion(ForwardResult{bytes, isComplete, error});
    });
  });
}

void FakeConnection::pushReceive(ReceiveResult result) {
  std::lock_guard lock(mutex_);
  scriptedReceives_.push_back(std::move(result));
  if (pendingReceive_) {
    deliverReceive(std::move(pendingReceive_), takeScripted(pendingMaximum_));
    pendingReceive_ = nullptr;
  }
}

void FakeConnection::pushData(std::string_view text, bool isComplete) {
  pushReceive({bytesOf(text), isComplete, std::nullopt});
}

void FakeConnection::cancel() {
  std::lock_guard lock(mutex_);
  calls_.push_back("cancel");
  if (cancelCount_++ > 0) return;
  // Like the real connection: outstanding work ends with an error, and the
  // handler still installed hears the cancelled state.
  if (pendingReceive_) {
    deliverReceive(std::move(pendingReceive_), {std::nullopt, false, Error{"connection cancelled"}});
    pendingReceive_ = nullptr;
  }
  while (!heldSends_.empty()) {
    postOnQueue([completion = std::move(heldSends_.front())] { completion(Error{"connection cancelled"}); });
    heldSends_.pop_front();
  }
  if (handler_) {
    postOnQueue([this] {
      StateUpdateHandler handler;
      {
        std::lock_guard inner(mutex_);
        handler = handler_;
      }
      if (handler) handler(ConnectionState{ConnectionState::Kind::cancelled, std::nullopt});
    });
  }
}

std::string FakeConnection::sent() const {
  std::lock_guard lock(mutex_);
  std::string all;
  for (const Bytes& chunk : sends_) all += textOf(chunk);
  return all;
}

std::vector<Bytes> FakeConnection::sends() const {
  std::lock_guard lock(mutex_);
  return sends_;
}

std::vector<std::string> FakeConnection::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::shared_ptr<Connection> FakeConnectionFactory::makeConnection(const std::string& host, std::uint16_t port) {
  auto connection = std::make_shared<FakeConnection>(host, port);
  std::lock_guard lock(mutex_);
  made_.push_back(connection);
  return connection;
}

std::vector<std::shared_ptr<FakeConnection>> FakeConnectionFactory::made() const {
  std::lock_guard lock(mutex_);
  return made_;
}

std::shared_ptr<FakeConnection> FakeConnectionFactory::last() const {
  std::lock_guard lock(mutex_);
  return made_.empty() ? nullptr : made_.back();
}

}  // namespace vosk::test
