#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vosk::notify {

// One connection to a message bus that comes back after the bus goes away:
// every reconnectInterval, up to maxReconnectAttempts in a row, after which
// the event loop ends with status 1 (the service manager may start us again).
// Each outage is logged once. `prepare` runs on every new connection (to add
// matches); the connection counts as up once the bus has answered a ping.
class BusLink {
 public:
  using Open = int (*)(sd_bus**);
  using Prepare = std::function<int(sd_bus*)>;

  static constexpr std::uint64_t reconnectIntervalUsec = 2'000'000;
  static constexpr unsigned maxReconnectAttempts = 150;  // five minutes
  // How long any call on the link waits for its reply.
  static constexpr std::uint64_t replyLimitUsec = 10'000'000;

  BusLink(sd_event* event, std::string name, Open open, Prepare prepare);
  BusLink(const BusLink&) = delete;
  BusLink& operator=(const BusLink&) = delete;
  ~BusLink();

  void connect();
  // The connection, or null while the bus is away. Messages sent before the
  // bus has answered the ping wait in the connection's queue.
  sd_bus* bus() const { return bus_.get(); }

 private:
  static int onPingReply(sd_bus_message* reply, void* self, sd_bus_error* error);
  static int onDisconnected(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onRetry(sd_event_source* source, std::uint64_t usec, void* self);

  int attach();
  void lost(const std::string& reason);

  sd_event* event_;
  std::string name_;
  Open open_;
  Prepare prepare_;
  std::unique_ptr<sd_bus, decltype(&sd_bus_close_unref)> bus_{nullptr, &sd_bus_close_unref};
  std::unique_ptr<sd_event_source, decltype(&sd_event_source_unref)> retry_{nullptr, &sd_event_source_unref};
  unsigned failedAttempts_ = 0;
  bool outageLogged_ = false;
};

}  // namespace vosk::notify
