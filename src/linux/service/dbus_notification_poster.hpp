#pragma once

#include <string>
#include <string_view>

#include "platform/clock.hpp"
#include "platform/logger.hpp"
#include "platform/notification_poster.hpp"

namespace vosk::backend {

// A named notification as a payload-free D-Bus signal: the name split at its
// last dot into interface and member (members cannot hold dots), the
// interface's dotted path as the object path.
struct BusSignal {
  std::string path;
  std::string interface;
  std::string member;
  friend bool operator==(const BusSignal&, const BusSignal&) = default;
};
BusSignal busSignalFor(std::string_view name);

// Emits each notification on the system bus (DBUS_SYSTEM_BUS_ADDRESS is
// honoured) over a connection of its own, so no stale connection outlives a
// bus restart. Posting waits at most busSendLimit for the signal to leave;
// a bus that is missing, refuses the connection or does not take the signal
// in time gets one log line per outage, and the post is not reported as done.
// Called from one thread at a time (the daemon posts through
// BackgroundNotificationPoster, so the wait never falls on the main queue).
class DbusNotificationPoster final : public NotificationPoster {
 public:
  static constexpr double busSendLimit = 0.25;

  DbusNotificationPoster(const Clock& clock, Logger logger) : clock_(clock), logger_(std::move(logger)) {}

  void post(std::string_view name, Posted posted) override;

 private:
  // The reason it failed, or empty once the signal is written.
  std::string emit(const BusSignal& signal);

  const Clock& clock_;
  Logger logger_;
  bool outageLogged_ = false;
};

}  // namespace vosk::backend
