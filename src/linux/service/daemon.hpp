#pragma once

#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "control/control_service.hpp"
#include "history/history_recorder.hpp"
#include "linux/service/asio_main_queue.hpp"
#include "linux/service/control_server.hpp"
#include "linux/service/background_notification_poster.hpp"
#include "linux/service/command_line.hpp"
#include "linux/service/dbus_notification_poster.hpp"
#include "linux/udp/dns_guard.hpp"
#include "linux/tcp/dns_tcp_guard.hpp"
#include "linux/tcp/flow_listener.hpp"
#include "linux/tcp/packet_path_interception.hpp"
#include "linux/service/linux_provider_host.hpp"
#include "linux/service/blocking_clock.hpp"
#include "linux/service/pid_file.hpp"
#include "linux/udp/udp_interception.hpp"
#include "linux/tcp/upstream_connection.hpp"
#include "platform/logger.hpp"
#include "platform/notification_poster.hpp"
#include "platform/proxy_provider.hpp"
#include "provider/hosted_provider.hpp"

namespace vosk::backend {

// The vosk-filter process: the provider, its flows and connections, UDP
// interception, the configuration file, and the signals that reload (SIGHUP)
// and stop (SIGTERM, SIGINT) it, all on one Asio event loop served by the main
// thread: a relayed chunk never changes threads. It answers the control
// socket, and is then the one writer of its settings file.
class Daemon final : private control::FilterHost {
 public:
  // `controlSocket`: the listening control socket, or why there is none.
  Daemon(const DaemonOptions& options, PidFile pidFile, std::variant<int, Failure> controlSocket);
  // Serves until stopped, then exits the process: 0 after a clean stop, 1
  // when the filter could not be put in place.
  [[noreturn]] void run();

 private:
  void serve(std::shared_ptr<HostedProvider> provider);
  void checkDescriptorLimit();
  // Why the file was not applied (the lock), or empty.
  std::string loadConfiguration();
  void applyConfiguration(ConfigurationDictionary configuration);
  void useControlSettings(const config::Configuration& configuration);
  void armPendingTimer();
  const std::vector<std::string>& loadEncryptedDnsList(bool strictMode);
  void useGatewayInterfaces(std::vector<std::string> interfaces);
  void startProvider(bool firstStart);
  void awaitSignal();
  void stop();
  void exitWith(int status);

  // control::FilterHost
  config::WallTime now() const override;
  control::FilterState state() const override;
  std::string reload() override;
  void history(const control::HistoryRequest& request, std::function<void(nlohmann::json)> done) override;
  void blockedToday(std::function<void(std::optional<std::int64_t>)> done) override;
  void pendingChanged() override;
  void note(const std::string& line) override;

  const DaemonOptions options_;
  PidFile pidFile_;
  AsioMainQueue mainQueue_;  // the one event loop; everything below lives on it
  std::shared_ptr<LogSink> logSink_;
  const Logger logger_;
  DbusNotificationPoster busPoster_;
  BackgroundNotificationPoster notifier_{busPoster_, logger_};  // the bus is never waited for on the main queue
  UpstreamConnectionFactory connections_;
  LinuxProviderHost host_;
  history::HistoryRecorder history_;
  // The kernel engine's; judged by the provider once it is set.
  PacketPathInterception packetPath_;
  const ProviderEnvironment environment_;
  std::shared_ptr<HostedProvider> provider_;  // set once, before the loop runs
  FlowListener listener_;
  UdpInterception udpInterception_;
  DnsGuard dnsGuard_{mainQueue_.context(), logger_};
  DnsTcpGuard dnsTcpGuard_;
  FlowListener dnsListener_;  // DNS over TCP, redirected to it in strict mode
  asio::signal_set signals_;
  BlockingClock blockingClock_;
  bool stopping_ = false;
  std::vector<std::string> encryptedDnsNames_;
  std::vector<std::string> gatewayInterfaces_;
  // The control API's settings in force, and the block list's size.
  std::string adminGroup_ = config::defaultAdminGroup;
  std::chrono::seconds weakenDelay_{0};
  config::ListSize list_;
  config::Engine engine_ = config::Engine::relay;
  control::ControlService controlService_;
  ControlServer controlServer_;
  std::variant<int, Failure> controlSocket_;
  asio::steady_timer pendingTimer_;
};

}  // namespace vosk::backend
