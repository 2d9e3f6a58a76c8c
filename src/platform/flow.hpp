#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.hpp"

namespace vosk {

using Bytes = std::vector<std::uint8_t>;

// Appends `more`, taking it whole when `to` is empty (the usual case: no copy).
inline void appendBytes(Bytes& to, Bytes&& more) {
  if (to.empty()) {
    to = std::move(more);
  } else {
    to.insert(to.end(), more.begin(), more.end());
  }
}

// Where a flow goes. Only host endpoints are understood by the system.
class Endpoint {
 public:
  virtual ~Endpoint() = default;
};

class HostEndpoint final : public Endpoint {
 public:
  HostEndpoint(std::string hostname, std::string port)
      : hostname_(std::move(hostname)), port_(std::move(port)) {}
  const std::string& hostname() const { return hostname_; }
  const std::string& port() const { return port_; }
  friend bool operator==(const HostEndpoint& a, const HostEndpoint& b) {
    return a.hostname_ == b.hostname_ && a.port_ == b.port_;
  }

 private:
  std::string hostname_;
  std::string port_;
};

// An intercepted flow. Completions may arrive on any thread.
class Flow {
 public:
  using OpenCompletion = std::function<void(std::optional<Error>)>;

  virtual ~Flow() = default;
  // Opens the flow with no local endpoint. The completion runs at most once,
  // possibly never.
  virtual void open(OpenCompletion completion) = 0;
  // Close one side, always without error; repeating a close is harmless.
  virtual void closeRead() = 0;
  virtual void closeWrite() = 0;
  // Null when the platform knows no remote endpoint.
  virtual std::shared_ptr<const Endpoint> remoteEndpoint() const = 0;
};

class TCPFlow : public Flow {
 public:
  using ReadCompletion = std::function<void(std::optional<Bytes> data, std::optional<Error> error)>;
  using WriteCompletion = std::function<void(std::optional<Error>)>;

  // One completion per read. An error, or absent or empty data, ends the read side.
  virtual void readData(ReadCompletion completion) = 0;
  // One completion per write.
  virtual void writeData(Bytes data, WriteCompletion completion) = 0;
};

// The system never reads from or writes to a UDP flow: it only opens and closes it.
class UDPFlow : public Flow {};

}  // namespace vosk
