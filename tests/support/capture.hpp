#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/blocked_decision_log.hpp"
#include "platform/logger.hpp"
#include "platform/notification_poster.hpp"
#include "platform/packet_path.hpp"
#include "platform/proxy_provider.hpp"

namespace vosk::test {

struct CapturedLine {
  LogLevel level;
  std::string message;
  friend bool operator==(const CapturedLine&, const CapturedLine&) = default;
};

class CapturingLogSink final : public LogSink {
 public:
  bool isEnabled(LogLevel) const override { return true; }
  void write(const LogRecord& record) override;

  std::vector<CapturedLine> lines() const;
  std::vector<std::string> messages() const;
  // Messages logged since the last take (and forgets them).
  std::vector<std::string> takeMessages();
  bool contains(std::string_view message) const;
  std::size_t count(std::string_view message) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<CapturedLine> lines_;
  std::size_t taken_ = 0;
};

class CapturingNotifier final : public NotificationPoster {
 public:
  void post(std::string_view name, Posted posted) override;
  std::vector<std::string> posted() const;

  bool refusing = false;  // as a bus that is down: nothing goes out

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> posted_;
};

// Blocked decisions as "kind site host" texts ("tls Video video.test").
class CapturingDecisionLog final : public BlockedDecisionLog {
 public:
  void recordBlocked(BlockedKind kind, std::string_view site, std::string_view host) override;
  std::vector<std::string> recorded() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> recorded_;
};

// The packet path: the connections it was asked to reset, in order.
class RecordingPacketPath final : public PacketPath {
 public:
  void resetConnections(std::span<const ConnectionTuple> connections) override {
    reset.insert(reset.end(), connections.begin(), connections.end());
  }
  std::vector<ConnectionTuple> reset;
};

// The hosting system: hands out a provider configuration and takes the
// settings. Settings complete at once, without an error, unless held.
class FakeProviderHost final : public ProviderHost {
 public:
  std::optional<ConfigurationDictionary> providerConfiguration() const override;
  void setTunnelNetworkSettings(const TransparentProxyNetworkSettings& settings,
                                SettingsCompletion completion) override;
  void completeSettings(std::optional<Error> error = std::nullopt);

  std::optional<ConfigurationDictionary> configuration;
  bool holdSettings = false;

 private:
  std::vector<SettingsCompletion> held_;
};

}  // namespace vosk::test
