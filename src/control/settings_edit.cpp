#include "control/settings_edit.hpp"

#include <fmt/format.h>

#include <cstdio>
#include <filesystem>

#include "config/atomic_file.hpp"
#include "config/configuration_keys.hpp"

namespace vosk::control {
namespace {

constexpr mode_t newFileMode = 0644;  // read by the daemon and voskctl, whoever runs them

// The settings of a document as the daemon reads them, without the block
// list: a million entries are not normalised again for a switch.
config::Configuration settingsOf(const nlohmann::json& document) {
  nlohmann::json settings = nlohmann::json::object();
  for (const auto& [key, value] : document.items()) {
    if (key != config::sitesDataKey) settings[key] = value;
  }
  return std::get<config::Configuration>(config::parseConfiguration(settings.dump()));
}

}  // namespace

std::variant<SettingsEdit, std::string> SettingsEdit::open(const std::string& path) {
  SettingsEdit edit;
  edit.path_ = path;
  std::error_code error;
  if (!std::filesystem::exists(path, error) && !error) {
    edit.document_ = nlohmann::json::object();
    edit.before_ = settingsOf(edit.document_);
    return edit;
  }
  auto text = config::readFile(path);
  if (auto* problem = std::get_if<config::ConfigurationProblem>(&text)) return config::describeProblem(path, *problem);
  // Read once; an unusable file is read again by the daemon's own parser, for its places.
  const auto unusable = [&path] {
    auto loaded = config::loadConfigurationFile(path);
    if (auto* problem = std::get_if<config::ConfigurationProblem>(&loaded)) return config::describeProblem(path, *problem);
    const auto& problems = std::get<config::Configuration>(loaded).problems;
    return problems.empty() ? path + ": not a configuration object" : config::describeProblem(path, problems.front());
  };
  edit.previousText_ = std::move(std::get<std::string>(text));
  edit.document_ = nlohmann::json::parse(*edit.previousText_, nullptr, /*allow_exceptions=*/false);
  if (!edit.document_.is_object()) return unusable();
  // Sites are edited as written: an entry the daemon leaves out stays in the file.
  if (const auto sites = edit.document_.find(config::sitesDataKey); sites != edit.document_.end()) {
    std::optional<std::vector<BlockedSite>> decoded = decodeBlockedSiteArray(*sites);
    if (!decoded) return unusable();
    edit.sites_ = std::move(*decoded);
  }
  edit.before_ = settingsOf(edit.document_);
  edit.sitesBefore_ = edit.sites_;
  return edit;
}

std::variant<SettingsEdit::Written, std::string> SettingsEdit::result() {
  // A file without a list leaves the daemon's list in force; an empty one would clear it.
  if (document_.contains(config::sitesDataKey) || !sites_.empty()) {
    nlohmann::json sites = nlohmann::json::array();
    for (const BlockedSite& site : sites_) sites.push_back(encodeBlockedSite(site));
    document_[config::sitesDataKey] = std::move(sites);
  }
  Written written;
  try {
    written.text = document_.dump(2) + "\n";
  } catch (const nlohmann::json::type_error& error) {
    return fmt::format("cannot write {}: {}", path_, error.what());
  }
  written.settings = settingsOf(document_);
  return written;
}

void SettingsEdit::restore() const {
  if (previousText_) config::replaceFile(path_, *previousText_, newFileMode);
  else std::remove(path_.c_str());
}

std::string SettingsEdit::weakening(const Written& written, config::WallTime now) const {
  const ConfigurationDictionary& before = before_.dictionary;
  if (std::string why = config::switchWeakening(before, written.settings.dictionary, now); !why.empty()) return why;
  if (std::string why = config::scheduleWeakening(before, before_.schedule, written.settings.schedule); !why.empty()) {
    return why;
  }
  const std::string removed = config::firstUncovered(sitesBefore_, sites_);
  return removed.empty() ? removed : fmt::format("it no longer blocks \"{}\"", removed);
}

std::string SettingsEdit::write(const std::string& text) const {
  if (auto problem = config::replaceFile(path_, text, newFileMode)) {
    return fmt::format("nothing changed: {}", config::describeProblem(path_, *problem));
  }
  return {};
}

}  // namespace vosk::control
