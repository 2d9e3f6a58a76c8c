#include "ctl/configuration_edit.hpp"

#include <fmt/format.h>

#include <cstdio>
#include <filesystem>

#include "config/atomic_file.hpp"
#include "config/configuration_file.hpp"
#include "config/configuration_keys.hpp"

namespace vosk::ctl {
namespace {

constexpr mode_t kNewFileMode = 0644;  // the daemon reads it as an unprivileged user

// The settings of a document as the daemon reads them, without the block list
// (which is compared as decoded sites): small enough to read again at once.
config::Configuration settingsOf(const nlohmann::json& document) {
  nlohmann::json settings = nlohmann::json::object();
  for (const auto& [key, value] : document.items()) {
    if (key != config::sitesDataKey) settings[key] = value;
  }
  return std::get<config::Configuration>(config::parseConfiguration(settings.dump()));
}

}  // namespace

std::variant<ConfigurationEdit, std::string> ConfigurationEdit::open(const std::string& path) {
  ConfigurationEdit edit;
  edit.path_ = path;
  std::error_code error;
  if (!std::filesystem::exists(path, error) && !error) {
    edit.document_ = nlohmann::json::object();
    return edit;
  }
  auto text = config::readFile(path);
  if (auto* problem = std::get_if<config::ConfigurationProblem>(&text)) return config::describeProblem(path, *problem);
  // Read once; an unusable file is read again by the daemon's own check, for its verdict and its places.
  const auto unusable = [&path] {
    auto loaded = config::loadConfigurationFile(path);
    if (auto* problem = std::get_if<config::ConfigurationProblem>(&loaded)) return config::describeProblem(path, *problem);
    const auto& problems = std::get<config::Configuration>(loaded).problems;
    return problems.empty() ? path + ": not a configuration object" : config::describeProblem(path, problems.front());
  };
  edit.previousText_ = std::move(std::get<std::string>(text));
  edit.document_ = nlohmann::json::parse(*edit.previousText_, nullptr, /*allow_exceptions=*/false);
  if (!edit.document_.is_object()) return unusable();
  if (const auto sites = edit.document_.find(config::sitesDataKey); sites != edit.document_.end()) {
    if (!sites->is_array()) return unusable();
    for (const nlohmann::json& site : *sites) {
      std::optional<BlockedSite> decoded = decodeBlockedSite(site);
      if (!decoded) return unusable();
      edit.sites_.push_back(std::move(*decoded));
    }
  }
  config::Configuration settings = settingsOf(edit.document_);
  edit.before_ = std::move(settings.dictionary);
  edit.scheduleBefore_ = std::move(settings.schedule);
  edit.sitesBefore_ = edit.sites_;
  return edit;
}

ConfigurationEdit::Outcome ConfigurationEdit::commit(const DaemonControl& daemon, config::WallTime now) {
  // A file without a list leaves the daemon's list in force; an empty one would clear it.
  if (document_.contains(config::sitesDataKey) || !sites_.empty()) {
    nlohmann::json sites = nlohmann::json::array();
    for (const BlockedSite& site : sites_) sites.push_back(encodeBlockedSite(site));
    document_[config::sitesDataKey] = std::move(sites);
  }
  std::string text;
  try {
    text = document_.dump(2) + "\n";
  } catch (const nlohmann::json::type_error& error) {
    return {false, fmt::format("cannot write {}: {}", path_, error.what())};
  }

  const config::Configuration settings = settingsOf(document_);
  const ConfigurationDictionary& after = settings.dictionary;
  const std::optional<config::WallTime> lock = config::laterLock(config::timeMember(before_, config::lockedUntilKey),
                                                                 config::timeMember(after, config::lockedUntilKey));
  if (config::lockHolds(lock, now)) {
    std::string why = config::switchWeakening(before_, after, now);
    if (why.empty()) why = config::scheduleWeakening(before_, scheduleBefore_, settings.schedule);
    if (why.empty() && !(why = config::firstUncovered(sitesBefore_, sites_)).empty()) {
      why = fmt::format("it no longer blocks \"{}\"", why);
    }
    if (!why.empty()) {
      return {false, fmt::format("refused: blocking is locked until {} and this change weakens it: {}",
                                 config::formatWallTime(*lock), why)};
    }
  }

  if (auto problem = config::replaceFile(path_, text, kNewFileMode)) {
    return {false, fmt::format("nothing changed: {}", config::describeProblem(path_, *problem))};
  }
  const DaemonControl::Reload reload = daemon.reload();
  if (reload.ok) return {true, reload.what};
  // The daemon keeps the previous configuration; so does the file.
  const std::string restored = previousText_ ? (config::replaceFile(path_, *previousText_) ? "could not be restored"
                                                                                          : "was restored")
                                             : (std::remove(path_.c_str()) == 0 ? "was removed" : "could not be removed");
  return {false, fmt::format("{}; the previous file {}", reload.what, restored)};
}

}  // namespace vosk::ctl
