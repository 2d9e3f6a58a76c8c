#include "linux/service/dbus_notification_poster.hpp"

#include <fmt/format.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <system_error>

namespace vosk::backend {
namespace {

std::string describe(int negativeErrno) { return std::generic_category().message(-negativeErrno); }

}  // namespace

BusSignal busSignalFor(std::string_view name) {
  const std::size_t lastDot = name.rfind('.');
  const std::string_view interface = lastDot == std::string_view::npos ? name : name.substr(0, lastDot);
  const std::string_view member = lastDot == std::string_view::npos ? name : name.substr(lastDot + 1);
  std::string path = fmt::format("/{}", interface);
  std::replace(path.begin() + 1, path.end(), '.', '/');
  return BusSignal{std::move(path), std::string(interface), std::string(member)};
}

void DbusNotificationPoster::post(std::string_view name, Posted posted) {
  const std::string failure = emit(busSignalFor(name));
  if (failure.empty()) {
    outageLogged_ = false;
    posted();
    return;
  }
  if (outageLogged_) return;
  outageLogged_ = true;
  logger_.log("⚠️ D-Bus system bus unavailable ({}): {} signals are not delivered; trying again at the next one",
              failure, name);
}

std::string DbusNotificationPoster::emit(const BusSignal& signal) {
  sd_bus* raw = nullptr;
  int result = sd_bus_open_system(&raw);
  if (result < 0) return describe(result);
  // Closing unflushed: a bus that stopped answering must not hold us up again.
  const std::unique_ptr<sd_bus, decltype(&sd_bus_close_unref)> bus(raw, &sd_bus_close_unref);

  result = sd_bus_emit_signal(bus.get(), signal.path.c_str(), signal.interface.c_str(), signal.member.c_str(),
                              nullptr);
  if (result < 0) return describe(result);

  // Drive the connection (authentication, Hello) until the signal is written
  // and the bus has answered the Hello: a bus that refuses us takes the
  // written bytes and then drops the connection.
  const Instant deadline = clock_.now() + busSendLimit;
  for (;;) {
    result = sd_bus_process(bus.get(), nullptr);
    if (result < 0) return describe(result);
    std::uint64_t queued = 0;
    const int queuedResult = sd_bus_get_n_queued_write(bus.get(), &queued);
    if (queuedResult < 0) return describe(queuedResult);
    const int ready = sd_bus_is_ready(bus.get());
    if (ready < 0) return describe(ready);
    if (queued == 0 && ready > 0) return {};
    if (result > 0) continue;
    const double remaining = deadline - clock_.now();
    if (remaining <= 0) return "no answer within the send limit";
    result = sd_bus_wait(bus.get(), static_cast<std::uint64_t>(remaining * 1e6) + 1);
    if (result < 0) return describe(result);
  }
}

}  // namespace vosk::backend
