#pragma once

#include <asio/signal_set.hpp>

#include <memory>
#include <string>
#include <vector>

#include "linux/service/asio_main_queue.hpp"
#include "linux/service/background_notification_poster.hpp"
#include "linux/service/command_line.hpp"
#include "linux/service/dbus_notification_poster.hpp"
#include "linux/udp/dns_guard.hpp"
#include "linux/tcp/flow_listener.hpp"
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
// thread: a relayed chunk never changes threads.
class Daemon {
 public:
  Daemon(const DaemonOptions& options, PidFile pidFile);
  // Serves until stopped, then exits the process: 0 after a clean stop, 1
  // when the filter could not be put in place.
  [[noreturn]] void run();

 private:
  void serve(std::shared_ptr<HostedProvider> provider);
  void checkDescriptorLimit();
  void loadConfiguration();
  void applyConfiguration(ConfigurationDictionary configuration);
  const std::vector<std::string>& loadEncryptedDnsList(bool strictMode);
  void useGatewayInterfaces(std::vector<std::string> interfaces);
  void startProvider(bool firstStart);
  void awaitSignal();
  void stop();
  void exitWith(int status);

  const DaemonOptions options_;
  PidFile pidFile_;
  AsioMainQueue mainQueue_;  // the one event loop; everything below lives on it
  std::shared_ptr<LogSink> logSink_;
  const Logger logger_;
  DbusNotificationPoster busPoster_;
  BackgroundNotificationPoster notifier_{busPoster_, logger_};  // the bus is never waited for on the main queue
  UpstreamConnectionFactory connections_;
  LinuxProviderHost host_;
  const ProviderEnvironment environment_;
  std::shared_ptr<HostedProvider> provider_;  // set once, before the loop runs
  FlowListener listener_;
  UdpInterception udpInterception_;
  DnsGuard dnsGuard_{mainQueue_.context(), logger_};
  asio::signal_set signals_;
  BlockingClock blockingClock_;
  bool stopping_ = false;
  std::vector<std::string> encryptedDnsNames_;
  std::vector<std::string> gatewayInterfaces_;
};

}  // namespace vosk::backend
