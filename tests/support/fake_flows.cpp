#include "support/fake_flows.hpp"

#include <algorithm>

namespace vosk::test {

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }
std::string textOf(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

void FlowCallLog::add(std::string call) {
  {
    std::lock_guard lock(mutex_);
    calls_.push_back(call);
  }
  if (onCall) onCall(call);
}

std::vector<std::string> FlowCallLog::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::size_t FlowCallLog::count(std::string_view call) const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(std::count(calls_.begin(), calls_.end(), call));
}

void FakeFlowCore::open(Flow::OpenCompletion completion) {
  log.add("open");
  if (!openScript.completes) {
    heldOpen_ = std::move(completion);
    return;
  }
  queue_.post([completion = std::move(completion), error = openScript.error] { completion(error); });
}

void FakeFlowCore::completeOpenLate(std::optional<Error> error) {
  if (!heldOpen_) return;
  queue_.post([completion = std::move(heldOpen_), error = std::move(error)] { completion(error); });
  heldOpen_ = nullptr;
}

std::shared_ptr<FakeTCPFlow> FakeTCPFlow::to(PlatformQueue& queue, std::string host, std::string port) {
  return std::make_shared<FakeTCPFlow>(queue, std::make_shared<HostEndpoint>(std::move(host), std::move(port)));
}

void FakeTCPFlow::deliver(ReadCompletion completion, ReadResult result) {
  core.queue_.post([completion = std::move(completion), result = std::move(result)] {
    completion(result.data, result.error);
  });
}

void FakeTCPFlow::readData(ReadCompletion completion) {
  core.log.add("read");
  std::lock_guard lock(mutex_);
  if (readClosed_) {
    deliver(std::move(completion), {std::nullopt, Error{"flow read side closed"}});
  } else if (!scriptedReads_.empty()) {
    deliver(std::move(completion), std::move(scriptedReads_.front()));
    scriptedReads_.pop_front();
  } else {
    pendingRead_ = std::move(completion);
  }
}

void FakeTCPFlow::pushRead(ReadResult result) {
  std::lock_guard lock(mutex_);
  if (pendingRead_) {
    deliver(std::move(pendingRead_), std::move(result));
    pendingRead_ = nullptr;
  } else {
    scriptedReads_.push_back(std::move(result));
  }
}

void FakeTCPFlow::unread(Bytes data) {
  std::lock_guard lock(mutex_);
  scriptedReads_.push_front({std::move(data), std::nullopt});
}

void FakeTCPFlow::writeData(Bytes data, WriteCompletion completion) {
  core.log.add("write");
  std::lock_guard lock(mutex_);
  writes_.push_back(std::move(data));
  const std::optional<Error> error = writeClosed_ ? std::optional<Error>(Error{"flow write side closed"}) : writeError_;
  core.queue_.post([completion = std::move(completion), error] { completion(error); });
}

void FakeTCPFlow::closeRead() {
  core.log.add("closeRead");
  std::lock_guard lock(mutex_);
  readClosed_ = true;
  // Like the platform, an outstanding read ends with an error once the side is closed.
  if (pendingRead_) {
    deliver(std::move(pendingRead_), {std::nullopt, Error{"flow read side closed"}});
    pendingRead_ = nullptr;
  }
}

void FakeTCPFlow::closeWrite() {
  core.log.add("closeWrite");
  std::lock_guard lock(mutex_);
  writeClosed_ = true;
}

std::string FakeTCPFlow::written() const {
  std::lock_guard lock(mutex_);
  std::string all;
  for (const Bytes& chunk : writes_) all += textOf(chunk);
  return all;
}

}  // namespace vosk::test
