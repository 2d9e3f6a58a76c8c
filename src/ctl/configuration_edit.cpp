#include "ctl/configuration_edit.hpp"

#include <fmt/format.h>

#include <cstdio>
#include <filesystem>

#include "config/atomic_file.hpp"
#include "config/configuration_file.hpp"

namespace vosk::ctl {
namespace {

constexpr const char* kSitesDataKey = "sitesData";
constexpr mode_t kNewFileMode = 0644;  // the daemon reads it as an unprivileged user

}  // namespace

std::variant<ConfigurationEdit, std::string> ConfigurationEdit::open(const std::string& path) {
  ConfigurationEdit edit;
  edit.path_ = path;
  std::error_code error;
  if (!std::filesystem::exists(path, error) && !error) {
    edit.document_ = nlohmann::json::object();
    return edit;
  }
  auto text = config::readTextFile(path);
  if (auto* problem = std::get_if<config::ConfigurationProblem>(&text)) return config::describeProblem(path, *problem);
  // The daemon's own reading, for its verdict and its places.
  auto checked = config::checkConfigurationFile(path);
  if (auto* problem = std::get_if<config::ConfigurationProblem>(&checked)) return config::describeProblem(path, *problem);
  edit.previousText_ = std::move(std::get<std::string>(text));
  edit.before_ = std::get<ConfigurationDictionary>(config::parseConfiguration(*edit.previousText_));
  edit.document_ = nlohmann::json::parse(*edit.previousText_);
  if (const auto sites = edit.document_.find(kSitesDataKey); sites != edit.document_.end()) {
    for (const nlohmann::json& site : *sites) edit.sites_.push_back(*decodeBlockedSite(site));
  }
  return edit;
}

ConfigurationEdit::Outcome ConfigurationEdit::commit(const DaemonControl& daemon, config::WallTime now) {
  // A file without a list leaves the daemon's list in force; an empty one would clear it.
  if (document_.contains(kSitesDataKey) || !sites_.empty()) {
    nlohmann::json sites = nlohmann::json::array();
    for (const BlockedSite& site : sites_) sites.push_back(encodeBlockedSite(site));
    document_[kSitesDataKey] = std::move(sites);
  }
  std::string text;
  try {
    text = document_.dump(2) + "\n";
  } catch (const nlohmann::json::type_error& error) {
    return {false, fmt::format("cannot write {}: {}", path_, error.what())};
  }

  auto parsed = config::parseConfiguration(text);
  if (auto* problem = std::get_if<config::ConfigurationProblem>(&parsed)) {
    return {false, fmt::format("the new configuration would be unusable: {}", problem->message)};
  }
  const ConfigurationDictionary& after = std::get<ConfigurationDictionary>(parsed);
  const std::optional<config::WallTime> lock = config::laterLock(config::timeMember(before_, config::lockedUntilKey),
                                                                 config::timeMember(after, config::lockedUntilKey));
  if (config::lockHolds(lock, now)) {
    if (const std::string why = config::weakening(before_, after, now); !why.empty()) {
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
