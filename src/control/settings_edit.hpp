#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "config/blocking_rules.hpp"
#include "ctl/daemon_control.hpp"
#include "model/blocked_site.hpp"

namespace vosk::ctl {

// One change of the configuration file: read, edited as JSON (members this
// program does not know are kept), then validated, checked against the lock,
// written atomically and applied, or left as it was.
class ConfigurationEdit {
 public:
  // A missing file starts from an empty configuration; an unusable one is a
  // failure naming FILE:LINE:COLUMN.
  static std::variant<ConfigurationEdit, std::string> open(const std::string& path);

  nlohmann::json& document() { return document_; }
  std::vector<BlockedSite>& sites() { return sites_; }
  // The file's settings as the daemon reads them, the block list left out.
  const ConfigurationDictionary& before() const { return before_; }
  // The file's schedule, its windows that can be read.
  const config::Schedule& scheduleBefore() const { return scheduleBefore_; }

  struct Outcome {
    bool done = false;
    std::string message;  // what was done, or why it was refused or failed
  };
  // Writes the edit and has the daemon apply it. Refused while the lock
  // holds and the edit weakens blocking. When applying fails the previous
  // file is put back.
  Outcome commit(const DaemonControl& daemon, config::WallTime now);

 private:
  ConfigurationEdit() = default;

  std::string path_;
  std::optional<std::string> previousText_;  // absent: there was no file
  nlohmann::json document_;
  ConfigurationDictionary before_;
  config::Schedule scheduleBefore_;
  std::vector<BlockedSite> sitesBefore_;
  std::vector<BlockedSite> sites_;
};

}  // namespace vosk::ctl
