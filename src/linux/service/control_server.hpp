#pragma once

#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <variant>

#include "control/control_service.hpp"
#include "linux/failure.hpp"
#include "platform/logger.hpp"

namespace vosk::backend {

// The control socket's limits: clients that stall or flood get an error and
// lose their connection; the filtering never waits for them.
inline constexpr std::size_t maxControlConnections = 64;
inline constexpr std::chrono::seconds controlStallLimit{10};
inline constexpr std::size_t maxImportBytes = std::size_t{256} << 20;

// The listening control socket: the one systemd passed, or one bound at
// `path` (its directory created, any earlier socket there replaced, open to
// every local user: who may do what is decided per call from the peer's
// credentials). Done before the daemon leaves root.
std::variant<int, Failure> openControlSocket(const std::string& path);

// Serves the control API on the daemon's loop: one call at a time per
// connection, in order, each judged by the caller the kernel names.
class ControlServer {
 public:
  // `adminGroup` names the administrators' group in force at each call.
  ControlServer(asio::io_context& context, const Logger& logger, control::ControlService& service,
                std::function<std::string()> adminGroup);
  // Takes the listening socket and starts accepting.
  void serve(int listeningSocket);
  void close();

 private:
  class Connection;

  void accept();

  asio::io_context& context_;
  const Logger& logger_;
  control::ControlService& service_;
  const std::function<std::string()> adminGroup_;
  asio::local::stream_protocol::acceptor acceptor_;
  std::size_t connections_ = 0;
};

}  // namespace vosk::backend
