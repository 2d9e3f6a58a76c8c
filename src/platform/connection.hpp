#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "platform/error.hpp"
#include "platform/flow.hpp"
#include "platform/main_queue.hpp"

namespace vosk {

struct ConnectionState {
  enum class Kind { setup, waiting, preparing, ready, failed, cancelled };
  Kind kind = Kind::setup;
  std::optional<Error> error;  // with failed (and possibly waiting)
};

// What one step of a relay direction did.
struct ForwardResult {
  std::size_t bytes = 0;       // moved and delivered to the other side
  bool endOfStream = false;    // the sending side ended its stream (after `bytes`)
  std::optional<Error> error;  // reading or delivering failed: the relay must end
};

// A forward step's limit when there is none.
inline constexpr std::size_t unlimitedForward = std::numeric_limits<std::size_t>::max();

// The provider's own upstream TCP connection. Its identity (address) keys the
// registry of relayed flows. Every callback arrives on the queue it was started on.
class Connection {
 public:
  using StateUpdateHandler = std::function<void(const ConnectionState&)>;
  using SendCompletion = std::function<void(std::optional<Error>)>;
  using ReceiveCompletion =
      std::function<void(std::optional<Bytes> data, bool isComplete, std::optional<Error> error)>;

  virtual ~Connection() = default;
  // An empty handler clears it, dropping whatever it holds.
  virtual void setStateUpdateHandler(StateUpdateHandler handler) = 0;
  virtual void start(MainQueue& queue) = 0;
  // Sends one chunk of the stream; the completion runs once. Later sends still go out.
  virtual void send(Bytes content, SendCompletion completion) = 0;
  // Ends only the sending side, after every chunk sent before it.
  virtual void sendEndOfStream() = 0;
  // The completion runs once, with at most maximumLength bytes.
  virtual void receive(std::size_t minimumIncompleteLength, std::size_t maximumLength,
                       ReceiveCompletion completion) = 0;
  // One step of the relay from `flow` to this connection's peer: the next
  // bytes the flow sends, at most `maximumBytes` (more than zero; the rest
  // waits for the next step or read), are read and delivered in full before the completion runs,
  // once. Bytes that come with an error may be dropped. Only once ready, one
  // step per direction at a time; `flow` outlives the step.
  virtual void forwardFrom(TCPFlow& flow, std::size_t maximumBytes, std::function<void(ForwardResult)> completion) = 0;
  // One step the other way: the next bytes the peer sends are delivered to
  // `flow`; bytes that come with an error or the end of stream still are.
  // In either direction, bytes reported with the end of stream may wait for
  // that end, to leave with it once the caller passes it on (or closes).
  virtual void forwardTo(TCPFlow& flow, std::function<void(ForwardResult)> completion) = 0;
  // Ends the connection; calling it again is harmless.
  virtual void cancel() = 0;
};

class ConnectionFactory {
 public:
  virtual ~ConnectionFactory() = default;
  // A new, unstarted connection to host text and port (0 means any port).
  virtual std::shared_ptr<Connection> makeConnection(const std::string& host, std::uint16_t port) = 0;
};

}  // namespace vosk
