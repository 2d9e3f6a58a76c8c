#include "notify/bus_link.hpp"

#include <fmt/format.h>

#include <cstdio>
#include <system_error>
#include <utility>

namespace vosk::notify {

BusLink::BusLink(sd_event* event, std::string name, Open open, Prepare prepare)
    : event_(event), name_(std::move(name)), open_(open), prepare_(std::move(prepare)) {}

BusLink::~BusLink() {
  if (bus_) sd_bus_detach_event(bus_.get());
}

void BusLink::connect() {
  const int result = attach();
  if (result < 0) lost(std::generic_category().message(-result));
}

int BusLink::attach() {
  sd_bus* raw = nullptr;
  int result = open_(&raw);
  if (result < 0) return result;
  bus_.reset(raw);
  result = sd_bus_set_method_call_timeout(raw, replyLimitUsec);
  if (result >= 0) result = sd_bus_match_signal(raw, nullptr, "org.freedesktop.DBus.Local", "/org/freedesktop/DBus/Local",
                               "org.freedesktop.DBus.Local", "Disconnected", &BusLink::onDisconnected, this);
  if (result >= 0) result = prepare_(raw);
  if (result >= 0) {
    result = sd_bus_call_method_async(raw, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                      "org.freedesktop.DBus.Peer", "Ping", &BusLink::onPingReply, this, "");
  }
  if (result >= 0) result = sd_bus_attach_event(raw, event_, SD_EVENT_PRIORITY_NORMAL);
  if (result < 0) bus_.reset();
  return result;
}

int BusLink::onPingReply(sd_bus_message* reply, void* self, sd_bus_error*) {
  auto& link = *static_cast<BusLink*>(self);
  if (sd_bus_message_get_bus(reply) != link.bus_.get()) return 0;  // from a connection already dropped
  if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
    link.lost(error->message != nullptr ? error->message : error->name);
    return 0;
  }
  link.failedAttempts_ = 0;
  if (link.outageLogged_) fmt::print(stderr, "✅ {} bus back\n", link.name_);
  link.outageLogged_ = false;
  return 0;
}

int BusLink::onDisconnected(sd_bus_message* message, void* self, sd_bus_error*) {
  auto& link = *static_cast<BusLink*>(self);
  if (sd_bus_message_get_bus(message) == link.bus_.get()) link.lost("disconnected");
  return 0;
}

void BusLink::lost(const std::string& reason) {
  if (bus_) {
    // Safe inside the bus's own callbacks: sd-bus holds a reference while it dispatches.
    sd_bus_detach_event(bus_.get());
    bus_.reset();
  }
  if (++failedAttempts_ > maxReconnectAttempts) {
    fmt::print(stderr, "❌ no {} bus after {} attempts {} s apart ({}); giving up\n", name_, maxReconnectAttempts,
               reconnectIntervalUsec / 1'000'000, reason);
    sd_event_exit(event_, 1);
    return;
  }
  if (!outageLogged_) {
    fmt::print(stderr, "⚠️ {} bus unavailable ({}); trying again every {} s\n", name_, reason,
               reconnectIntervalUsec / 1'000'000);
    outageLogged_ = true;
  }
  sd_event_source* source = nullptr;
  const int result =
      sd_event_add_time_relative(event_, &source, CLOCK_MONOTONIC, reconnectIntervalUsec, 0, &BusLink::onRetry, this);
  if (result < 0) {
    fmt::print(stderr, "❌ cannot schedule a reconnection: {}\n", std::generic_category().message(-result));
    sd_event_exit(event_, 1);
    return;
  }
  retry_.reset(source);
}

int BusLink::onRetry(sd_event_source*, std::uint64_t, void* self) {
  auto& link = *static_cast<BusLink*>(self);
  link.retry_.reset();  // one-shot: done once it has fired
  link.connect();
  return 0;
}

}  // namespace vosk::notify
