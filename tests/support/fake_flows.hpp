#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/flow.hpp"
#include "support/platform_queue.hpp"

namespace vosk::test {

Bytes bytesOf(std::string_view text);
std::string textOf(const Bytes& bytes);

// What a scripted read delivers.
struct ReadResult {
  std::optional<Bytes> data;
  std::optional<Error> error;
};

// How a fake flow's open ends: success, an error, or never.
struct OpenScript {
  bool completes = true;
  std::optional<Error> error;
};

// Records every call on a flow, in order ("open", "read", "write", "closeRead", "closeWrite").
class FlowCallLog {
 public:
  void add(std::string call);
  std::vector<std::string> calls() const;
  std::size_t count(std::string_view call) const;

  // Called at every call, before it is served: lets a test see what else has
  // happened by then. Set it before the flow is used.
  std::function<void(std::string_view call)> onCall;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
};

// Shared by both fake flows: scripted open, recorded closes. Completions are
// posted on the platform queue.
class FakeFlowCore {
 public:
  FakeFlowCore(PlatformQueue& queue, std::shared_ptr<const Endpoint> remote) : queue_(queue), remote_(std::move(remote)) {}

  void open(Flow::OpenCompletion completion);
  // Completes an open that was scripted never to complete, now.
  void completeOpenLate(std::optional<Error> error = std::nullopt);

  OpenScript openScript;
  FlowCallLog log;
  PlatformQueue& queue_;
  std::shared_ptr<const Endpoint> remote_;
  Flow::OpenCompletion heldOpen_;
};

class FakeTCPFlow final : public TCPFlow {
 public:
  FakeTCPFlow(PlatformQueue& queue, std::shared_ptr<const Endpoint> remote) : core(queue, std::move(remote)) {}
  static std::shared_ptr<FakeTCPFlow> to(PlatformQueue& queue, std::string host, std::string port);

  // TCPFlow
  void open(OpenCompletion completion) override { core.open(std::move(completion)); }
  void readData(ReadCompletion completion) override;
  void writeData(Bytes data, WriteCompletion completion) override;
  void closeRead() override;
  void closeWrite() override;
  std::shared_ptr<const Endpoint> remoteEndpoint() const override { return core.remote_; }

  // Script reads: delivered to the outstanding read, or to the next one.
  void pushRead(ReadResult result);
  void pushData(std::string_view text) { pushRead({bytesOf(text), std::nullopt}); }
  void pushEnd() { pushRead({Bytes{}, std::nullopt}); }
  // Puts bytes read back in front of what is still to be read.
  void unread(Bytes data);
  void pushError(std::string description, std::optional<Bytes> data = std::nullopt) {
    pushRead({std::move(data), Error{std::move(description)}});
  }
  // Writes complete at once, with this error if one is set.
  void failWritesWith(std::optional<Error> error) { writeError_ = std::move(error); }

  // Every byte written to the flow, in order.
  std::string written() const;
  bool readClosed() const { return readClosed_; }
  bool writeClosed() const { return writeClosed_; }

  FakeFlowCore core;

 private:
  void deliver(ReadCompletion completion, ReadResult result);

  mutable std::mutex mutex_;  // completions may be driven from another thread
  std::deque<ReadResult> scriptedReads_;
  ReadCompletion pendingRead_;
  std::vector<Bytes> writes_;
  std::optional<Error> writeError_;
  bool readClosed_ = false;
  bool writeClosed_ = false;
};

class FakeUDPFlow final : public UDPFlow {
 public:
  FakeUDPFlow(PlatformQueue& queue, std::shared_ptr<const Endpoint> remote) : core(queue, std::move(remote)) {}

  // UDPFlow
  void open(OpenCompletion completion) override { core.open(std::move(completion)); }
  void closeRead() override { core.log.add("closeRead"); }
  void closeWrite() override { core.log.add("closeWrite"); }
  std::shared_ptr<const Endpoint> remoteEndpoint() const override { return core.remote_; }

  FakeFlowCore core;
};

// A flow of a kind the provider does not know.
class FakeOtherFlow final : public Flow {
 public:
  void open(OpenCompletion) override { log.add("open"); }
  void closeRead() override { log.add("closeRead"); }
  void closeWrite() override { log.add("closeWrite"); }
  std::shared_ptr<const Endpoint> remoteEndpoint() const override { return nullptr; }
  FlowCallLog log;
};

// An endpoint that is not a host endpoint.
class OtherEndpoint final : public Endpoint {};

}  // namespace vosk::test
