#include "linux/service/daemon.hpp"

#include <fmt/ranges.h>

#include <systemd/sd-daemon.h>

#include <csignal>

#include "config/blocking_rules.hpp"
#include "config/configuration_file.hpp"
#include "config/encrypted_dns_list.hpp"
#include "linux/service/descriptor_limit.hpp"
#include "linux/service/log_sink.hpp"
#include "linux/tcp/splice_forward.hpp"
#include "linux/tcp/tcp_flow.hpp"
#include "provider/constants.hpp"

namespace vosk::backend {
namespace {

constexpr std::int64_t stopReasonUserInitiated = 1;
constexpr const char* historyFileName = "history.sqlite";
// A relayed flow holds its two sockets, and a pipe (two ends) in each
// direction while bytes wait in it for a slow reader; a DNS-over-TCP
// connection its two sockets; a few more for the listeners, the netlink
// sockets, the log and the idle pipes kept for reuse.
constexpr std::uint64_t descriptorsPerFlow = 2 + 2 * 2;
constexpr std::uint64_t descriptorsNeeded =
    descriptorsPerFlow * maxTrackedFlows + 2 * DnsTcpGuard::maxConnections + 2 * pipesKept + 64;

}  // namespace

Daemon::Daemon(const DaemonOptions& options, PidFile pidFile, std::variant<int, Failure> controlSocket)
    : options_(options),
      pidFile_(std::move(pidFile)),
      logSink_(makeDaemonLogSink(options.logDestination)),
      logger_(std::string(logSubsystem), std::string(logCategory), logSink_),
      busPoster_(mainQueue_, logger_),
      connections_(mainQueue_.context(), options.firewallMark),
      host_(InterceptionTarget{options.listenerPort, options.firewallMark, options.dnsListenerPort}),
      history_(
          options.stateDirectory + "/" + historyFileName, config::defaultHistoryDays,
          config::wallNow,
          [this](std::string problem) {
            mainQueue_.post([this, problem = std::move(problem)] { logger_.log("⚠️ history: {}", problem); });
          }),
      packetPath_(mainQueue_.context(), PacketPathSettings{}, options.firewallMark, logger_,
                  [this](std::span<const std::uint8_t> packet) { return provider_->judgeHeldSegment(packet); },
                  [this](const ConnectionTuple& connection) { provider_->carriedConnectionEnded(connection); }),
      environment_{mainQueue_, mainQueue_, logSink_, notifier_, connections_, host_, history_, packetPath_},
      listener_(mainQueue_.context(), options.listenerPort,
                [this](asio::ip::tcp::socket socket, const asio::ip::tcp::endpoint& destination) {
                  auto flow = std::make_shared<SocketTCPFlow>(std::move(socket), destination);
                  // A flow the provider declines is carried all the same.
                  if (!provider_->handleNewFlow(flow)) provider_->carryDeclinedFlow(std::move(flow));
                }),
      udpInterception_(mainQueue_.context(), mainQueue_, UdpQueueSettings{}, udpVerdictHoldLimit(flowOpenTimeout),
                       logger_,
                       [this](const std::shared_ptr<Flow>& flow) { return provider_->handleNewFlow(flow); }),
      dnsTcpGuard_(options.firewallMark),
      dnsListener_(mainQueue_.context(), options.dnsListenerPort,
                   [this](asio::ip::tcp::socket socket, const asio::ip::tcp::endpoint& destination) {
                     dnsTcpGuard_.carry(std::move(socket), destination);
                   }),
      signals_(mainQueue_.context(), SIGTERM, SIGINT, SIGHUP),
      blockingClock_(
          mainQueue_.context(), logger_, options.stateDirectory,
          config::wallNow,
          [this](ConfigurationDictionary configuration) {
            applyConfiguration(std::move(configuration));
            startProvider(false);
          }),
      controlService_(*this, options.configurationPath, VOSK_VERSION),
      controlServer_(mainQueue_.context(), logger_, controlService_, [this] { return adminGroup_; }),
      controlSocket_(std::move(controlSocket)),
      pendingTimer_(mainQueue_.context()) {}

void Daemon::run() {
  std::signal(SIGPIPE, SIG_IGN);  // a peer that went away is an error code, not a reason to die
  logger_.log("🟢 vosk-filter {} starting: listeners on port {}, firewall mark {:#x}, configuration {}",
              VOSK_VERSION, options_.listenerPort, options_.firewallMark, options_.configurationPath);
  if (!pidFile_.problem().empty()) logger_.log("⚠️ {}", pidFile_.problem());
  checkDescriptorLimit();
  // Listen before the table exists: a redirected connection must find a listener.
  for (auto [listener, port] : {std::pair(&listener_, options_.listenerPort),
                                std::pair(&dnsListener_, options_.dnsListenerPort)}) {
    if (const std::error_code error = listener->listen()) {
      logger_.log("❌ cannot listen on port {}: {}", port, error.message());
      std::exit(1);
    }
  }
  host_.setUdpInterception(
      [this](const std::vector<NetworkRule>& udpRules, const ForwardedInterfaces& forwarded, bool blockingEnabled) {
        return udpInterception_.apply(udpRules, forwarded, blockingEnabled);
      });
  host_.setPacketPathInterception(
      [this](const std::vector<std::uint16_t>& ports, const ForwardedInterfaces& forwarded, bool strict) {
        return packetPath_.apply(ports, forwarded, strict);
      });
  runSystemExtension(environment_, [this](std::shared_ptr<HostedProvider> provider) {
    serve(std::move(provider));
  });
}

// Connections wait in the listeners' backlog until the loop runs.
void Daemon::serve(std::shared_ptr<HostedProvider> provider) {
  provider_ = std::move(provider);
  loadConfiguration();
  startProvider(true);
  awaitSignal();
  if (const int* socket = std::get_if<int>(&controlSocket_)) {
    controlServer_.serve(*socket);
  } else {
    logger_.log("⚠️ no control socket at {}: {}; voskctl cannot reach the daemon", options_.controlSocketPath,
                std::get<Failure>(controlSocket_).message());
  }
}

void Daemon::checkDescriptorLimit() {
  const DescriptorLimit limit = raiseDescriptorLimit();
  if (limit.soft < descriptorsNeeded) {
    logger_.log("⚠️ open-descriptor limit {} is below the {} that {} relayed flows need; raise the hard limit",
                limit.soft, descriptorsNeeded, maxTrackedFlows);
  }
}

std::string Daemon::loadConfiguration() {
  const std::string& path = options_.configurationPath;
  auto loaded = config::loadConfigurationFile(path);
  if (auto* problem = std::get_if<config::ConfigurationProblem>(&loaded)) {
    std::string described = config::describeProblem(path, *problem);
    logger_.log("❌ cannot use configuration {}", described);
    host_.setProviderConfiguration(std::nullopt);
    return described;
  }
  config::Configuration& configuration = std::get<config::Configuration>(loaded);
  for (const std::string& note : config::describeNotes(path, configuration)) logger_.log("⚠️ {}", note);
  config::addEncryptedDnsServers(configuration.dictionary,
                                 loadEncryptedDnsList(config::strictModeActive(configuration.dictionary)));
  // A file refused under the lock leaves the configuration in force as it is.
  auto admitted = blockingClock_.admit(std::move(configuration.dictionary), std::move(configuration.schedule));
  if (auto* refusal = std::get_if<std::string>(&admitted)) return *refusal;
  if (configuration.gatewayInterfaces) useGatewayInterfaces(std::move(*configuration.gatewayInterfaces));
  useControlSettings(configuration);
  applyConfiguration(std::move(std::get<ConfigurationDictionary>(admitted)));
  return {};
}

// Each is kept as in force when the file's member cannot be read.
void Daemon::useControlSettings(const config::Configuration& configuration) {
  if (configuration.adminGroup) adminGroup_ = *configuration.adminGroup;
  if (configuration.weakenDelay) weakenDelay_ = *configuration.weakenDelay;
  if (configuration.historyDays) history_.setKeepDays(*configuration.historyDays);
  if (configuration.list) list_ = *configuration.list;
  if (configuration.engine && configuration.engine != engine_) {
    engine_ = *configuration.engine;
    logger_.log("🔧 engine: {} (new flows; open ones stay where they are)", config::engineNames[static_cast<int>(engine_)]);
    host_.setEngine(engine_);
  }
}

// What the next start reads, and strict mode's DNS guards to match: both
// follow the switch in force (a pause or the schedule turns them off too;
// the next start's table redirects DNS over TCP or not), as does the
// forwarded traffic filtered without gateway interfaces. The guards' names
// are those of the block list, indexed only while it is on.
void Daemon::applyConfiguration(ConfigurationDictionary configuration) {
  const bool strict = config::strictModeActive(configuration);
  const ForwardedInterfaces forwarded = ForwardedInterfaces::of(gatewayInterfaces_, strict);
  dns::BlockedName blockedNames = strict ? config::blockedHostsOf(configuration) : dns::BlockedName();
  dnsTcpGuard_.setBlockedNames(blockedNames);
  dnsGuard_.apply(strict, forwarded, std::move(blockedNames));
  host_.setForwardedInterfaces(forwarded);
  host_.setProviderConfiguration(std::move(configuration));
}

// Taken by the next configuration applied.
void Daemon::useGatewayInterfaces(std::vector<std::string> interfaces) {
  if (interfaces == gatewayInterfaces_) return;
  if (interfaces.empty()) {
    logger_.log("🔧 gateway mode off: forwarded traffic is filtered only in strict mode, from every interface");
  } else {
    logger_.log("🔧 gateway mode: traffic forwarded from {} is filtered", fmt::join(interfaces, ", "));
  }
  gatewayInterfaces_ = std::move(interfaces);
}

// The shipped list of encrypted-DNS endpoints, read again with each
// configuration; one that cannot be used leaves the last good one in force,
// and is worth a line only when strict mode needs it.
const std::vector<std::string>& Daemon::loadEncryptedDnsList(bool strictMode) {
  auto loaded = config::loadEncryptedDnsList(options_.encryptedDnsPath);
  if (auto* names = std::get_if<std::vector<std::string>>(&loaded)) {
    encryptedDnsNames_ = std::move(*names);
  } else if (strictMode) {
    logger_.log("⚠️ cannot use the encrypted-DNS list {} (keeping {} names)",
                config::describeProblem(options_.encryptedDnsPath, std::get<config::ConfigurationProblem>(loaded)),
                encryptedDnsNames_.size());
  }
  return encryptedDnsNames_;
}

// Posted, as a platform calls the overrides: never from inside our own
// handlers (the blocking clock's, a signal's), nor before the loop runs.
void Daemon::startProvider(bool firstStart) {
  mainQueue_.post([this, firstStart] {
    provider_->startProxyWithOptions(std::nullopt, [this, firstStart](std::optional<Error> error) {
      // A refused reload leaves the previous table in force; a refused first
      // start means there is no filter at all.
      if (error && firstStart) return mainQueue_.post([this] { exitWith(1); });
      sd_notify(0, "READY=1");  // the service manager's cue: the rules are in place
    });
  });
}

void Daemon::awaitSignal() {
  signals_.async_wait([this](std::error_code error, int signal) {
    if (error) return;
    if (signal == SIGHUP && !stopping_) {
      logger_.log("🔧 SIGHUP: re-reading configuration {}", options_.configurationPath);
      sd_notify(0, "RELOADING=1");
      loadConfiguration();
      startProvider(false);
    } else if (signal != SIGHUP) {
      stop();
    }
    awaitSignal();
  });
}

void Daemon::stop() {
  if (stopping_) return;
  stopping_ = true;
  sd_notify(0, "STOPPING=1");
  mainQueue_.post([this] {
    provider_->stopProxyWithReason(stopReasonUserInitiated, [this] { mainQueue_.post([this] { exitWith(0); }); });
  });
}

// The first pending change is applied when it is due; a change to the wall
// clock meanwhile only moves it as far as the next look.
void Daemon::armPendingTimer() {
  const std::optional<config::WallTime> due = controlService_.nextDue();
  pendingTimer_.cancel();
  if (!due) return;
  pendingTimer_.expires_after(std::max(*due - now(), std::chrono::seconds(0)));
  pendingTimer_.async_wait([this](std::error_code error) {
    if (error) return;
    controlService_.applyDue();
    armPendingTimer();
  });
}

config::WallTime Daemon::now() const { return config::wallNow(); }

control::FilterState Daemon::state() const {
  const std::optional<ConfigurationDictionary>& applied = blockingClock_.applied();
  return control::FilterState{applied ? &*applied : nullptr,
                              &blockingClock_.schedule(),
                              blockingClock_.lock(),
                              gatewayInterfaces_,
                              list_,
                              provider_->openFlowCount(),
                              history_.dropped(),
                              weakenDelay_,
                              adminGroup_,
                              engine_};
}

std::string Daemon::reload() {
  logger_.log("🔧 control: re-reading configuration {}", options_.configurationPath);
  std::string refusal = loadConfiguration();
  if (refusal.empty()) startProvider(false);
  return refusal;
}

// Asked on the history's own thread; the answer comes back to the loop.
void Daemon::history(const control::HistoryRequest& request, std::function<void(nlohmann::json)> done) {
  // Up to the end of this second: what was blocked a moment ago counts.
  const config::WallTime to = now() + std::chrono::seconds(1);
  const config::WallTime from = to - std::chrono::days(request.days);
  history_.query([this, request, from, to, done = std::move(done)](history::HistoryStore* store) {
    nlohmann::json reply{{"counts", nlohmann::json::array()}, {"total", 0}, {"last", nlohmann::json::array()}};
    if (store != nullptr) {
      std::int64_t total = 0;
      const auto bucket = request.hourly ? history::Bucket::hour : history::Bucket::day;
      for (const history::BucketCount& count : store->counts(bucket, from, to, request.site)) {
        reply["counts"].push_back({{"bucket", count.bucket}, {"site", count.site}, {"count", count.count}});
        total += count.count;
      }
      reply["total"] = total;
      for (const history::Decision& decision : store->last(request.last, request.site)) {
        reply["last"].push_back({{"time", config::formatWallTime(decision.time)},
                                 {"kind", history::kindName(decision.kind)},
                                 {"site", decision.site},
                                 {"host", decision.host}});
      }
    }
    mainQueue_.post([done, reply] { done(reply); });
  });
}

void Daemon::blockedToday(std::function<void(std::optional<std::int64_t>)> done) {
  const config::WallTime to = now();
  const std::time_t moment = std::chrono::system_clock::to_time_t(to);
  std::tm local{};
  localtime_r(&moment, &local);
  const config::WallTime midnight = to - std::chrono::hours(local.tm_hour) - std::chrono::minutes(local.tm_min) -
                                    std::chrono::seconds(local.tm_sec);
  history_.query([this, midnight, to, done = std::move(done)](history::HistoryStore* store) {
    const std::optional<std::int64_t> count =
        store != nullptr ? std::optional(store->totals(midnight, to + std::chrono::seconds(1)).all) : std::nullopt;
    mainQueue_.post([done, count] { done(count); });
  });
}

void Daemon::pendingChanged() { armPendingTimer(); }

void Daemon::note(const std::string& line) { logger_.log("{}", line); }

void Daemon::exitWith(int status) {
  controlServer_.close();
  history_.flush();  // the process ends without destructors: what waits is written now
  host_.removeInterception();
  listener_.close();
  dnsListener_.close();
  udpInterception_.remove();
  packetPath_.remove();
  dnsGuard_.apply(false, {}, {});
  pidFile_.remove();
  logger_.log("🔴 vosk-filter stopped");
  mainQueue_.finish(status);
}

}  // namespace vosk::backend
