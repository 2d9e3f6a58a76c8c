#include "support/capture.hpp"

#include <algorithm>

namespace vosk::test {

void CapturingLogSink::write(const LogRecord& record) {
  std::lock_guard lock(mutex_);
  lines_.push_back({record.level, std::string(record.message)});
}

std::vector<CapturedLine> CapturingLogSink::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::vector<std::string> CapturingLogSink::messages() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const CapturedLine& line : lines_) out.push_back(line.message);
  return out;
}

std::vector<std::string> CapturingLogSink::takeMessages() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (std::size_t i = taken_; i < lines_.size(); ++i) out.push_back(lines_[i].message);
  taken_ = lines_.size();
  return out;
}

bool CapturingLogSink::contains(std::string_view message) const { return count(message) > 0; }

std::size_t CapturingLogSink::count(std::string_view message) const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(
      std::count_if(lines_.begin(), lines_.end(), [&](const CapturedLine& line) { return line.message == message; }));
}

void CapturingLogSink::clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
  taken_ = 0;
}

void CapturingNotifier::post(std::string_view name, Posted posted) {
  {
    std::lock_guard lock(mutex_);
    if (refusing) return;
    posted_.emplace_back(name);
  }
  posted();
}

std::vector<std::string> CapturingNotifier::posted() const {
  std::lock_guard lock(mutex_);
  return posted_;
}

std::optional<ConfigurationDictionary> FakeProviderHost::providerConfiguration() const { return configuration; }

void FakeProviderHost::setTunnelNetworkSettings(const TransparentProxyNetworkSettings&,
                                                SettingsCompletion completion) {
  if (holdSettings) {
    held_.push_back(std::move(completion));
  } else {
    completion(std::nullopt);
  }
}

void FakeProviderHost::completeSettings(std::optional<Error> error) {
  if (held_.empty()) return;
  SettingsCompletion completion = std::move(held_.front());
  held_.erase(held_.begin());
  completion(std::move(error));
}

void CapturingDecisionLog::recordBlocked(BlockedKind kind, std::string_view site, std::string_view host) {
  static constexpr const char* kinds[] = {"tls", "http", "encrypted-dns", "quic"};
  std::lock_guard lock(mutex_);
  recorded_.push_back(fmt::format("{} {} {}", kinds[static_cast<int>(kind)], site, host));
}

std::vector<std::string> CapturingDecisionLog::recorded() const {
  std::lock_guard lock(mutex_);
  return recorded_;
}

}  // namespace vosk::test
