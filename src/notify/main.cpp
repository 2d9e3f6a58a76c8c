// vosk-notify: shows a desktop notice whenever the filter closes a flow to a
// blocked site. It listens for the daemon's siteBlocked signal on the system
// bus and asks the desktop's notification server on the session bus to show
// it. One per user session, started by the vosk-notify user unit.

#include <fmt/format.h>
#include <signal.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cstdio>
#include <memory>
#include <string_view>
#include <system_error>

#include "notify/bus_link.hpp"

namespace {

constexpr std::string_view kUsage =
    "Usage: vosk-notify [--help | --version]\n"
    "Shows a desktop notice each time vosk-filter blocks a site: listens for the\n"
    "siteBlocked signal on the system bus and posts \"A site on your block list was\n"
    "blocked\" to the desktop's notification server on the session bus.\n"
    "DBUS_SYSTEM_BUS_ADDRESS and DBUS_SESSION_BUS_ADDRESS are honoured. Stops on SIGTERM.\n";

constexpr const char* kSummary = "A site on your block list was blocked";
constexpr const char* kAppName = "vosk-filter";
constexpr const char* kIcon = "security-high";
constexpr int kDefaultExpiry = -1;  // the notification server decides

// Turns each siteBlocked signal into one Notify call; a failing notification
// server is logged once until it works again.
class DesktopNotice {
 public:
  explicit DesktopNotice(const vosk::notify::BusLink& session) : session_(session) {}

  static int onSiteBlocked(sd_bus_message*, void* self, sd_bus_error*) {
    static_cast<DesktopNotice*>(self)->show();
    return 0;
  }

 private:
  void show() {
    sd_bus* bus = session_.bus();
    if (bus == nullptr) return;  // the session link has already said the bus is away
    const int result = sd_bus_call_method_async(
        bus, nullptr, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
        "org.freedesktop.Notifications", "Notify", &DesktopNotice::onReply, this, "susssasa{sv}i", kAppName,
        0u /* replaces nothing */, kIcon, kSummary, "" /* body */, 0 /* actions */, 0 /* hints */, kDefaultExpiry);
    if (result < 0) failed(std::generic_category().message(-result));
  }

  static int onReply(sd_bus_message* reply, void* self, sd_bus_error*) {
    auto& notice = *static_cast<DesktopNotice*>(self);
    if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
      notice.failed(error->message != nullptr ? error->message : error->name);
    } else {
      notice.failureLogged_ = false;
    }
    return 0;
  }

  void failed(std::string_view reason) {
    if (failureLogged_) return;
    failureLogged_ = true;
    fmt::print(stderr, "⚠️ the desktop did not show the notice ({}); trying again at the next one\n", reason);
  }

  const vosk::notify::BusLink& session_;
  bool failureLogged_ = false;
};

int onStopSignal(sd_event_source* source, const signalfd_siginfo*, void*) {
  return sd_event_exit(sd_event_source_get_event(source), 0);
}

int run() {
  sd_event* rawEvent = nullptr;
  if (const int result = sd_event_new(&rawEvent); result < 0) {
    fmt::print(stderr, "❌ no event loop: {}\n", std::generic_category().message(-result));
    return 1;
  }
  const std::unique_ptr<sd_event, decltype(&sd_event_unref)> event(rawEvent, &sd_event_unref);

  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);  // delivered through the loop instead
  for (const int number : {SIGTERM, SIGINT}) {
    if (const int result = sd_event_add_signal(event.get(), nullptr, number, &onStopSignal, nullptr); result < 0) {
      fmt::print(stderr, "❌ cannot watch signal {}: {}\n", number, std::generic_category().message(-result));
      return 1;
    }
  }

  vosk::notify::BusLink session(event.get(), "session", &sd_bus_open_user, [](sd_bus*) { return 0; });
  DesktopNotice notice(session);
  vosk::notify::BusLink system(event.get(), "system", &sd_bus_open_system, [&notice](sd_bus* bus) {
    return sd_bus_match_signal(bus, nullptr, nullptr, "/com/brelvant/vosk", "com.brelvant.vosk", "siteBlocked",
                               &DesktopNotice::onSiteBlocked, &notice);
  });
  session.connect();
  system.connect();

  const int status = sd_event_loop(event.get());
  if (status < 0) {
    fmt::print(stderr, "❌ event loop failed: {}\n", std::generic_category().message(-status));
    return 1;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string_view(argv[1]) == "--help") {
    fmt::print("{}", kUsage);
    return 0;
  }
  if (argc == 2 && std::string_view(argv[1]) == "--version") {
    fmt::print("vosk-notify {}\n", VOSK_VERSION);
    return 0;
  }
  if (argc != 1) {
    fmt::print(stderr, "vosk-notify: unexpected argument '{}'\n{}", argv[1], kUsage);
    return 2;
  }
  return run();
}
