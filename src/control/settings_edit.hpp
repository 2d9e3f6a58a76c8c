#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "config/blocking_rules.hpp"
#include "config/configuration_file.hpp"
#include "model/blocked_site.hpp"

namespace vosk::control {

// One change of the settings file: read, edited as JSON (members no edit
// knows are kept), then written atomically, or left as it was.
class SettingsEdit {
 public:
  // A missing file starts from an empty configuration; an unusable one is a
  // failure naming FILE:LINE:COLUMN.
  static std::variant<SettingsEdit, std::string> open(const std::string& path);

  nlohmann::json& document() { return document_; }
  std::vector<BlockedSite>& sites() { return sites_; }
  const std::vector<BlockedSite>& sites() const { return sites_; }
  // The file's settings as the daemon reads them, before the edit; the
  // block list is left out of both (it is compared as decoded sites).
  const config::Configuration& before() const { return before_; }
  const std::vector<BlockedSite>& sitesBefore() const { return sitesBefore_; }

  // The edited file's text and its settings as the daemon will read them; a
  // failure text when the document cannot be written as JSON.
  struct Written {
    std::string text;
    config::Configuration settings;
  };
  std::variant<Written, std::string> result();
  // Why the edit blocks less than the file did (see config::weakening), or empty.
  std::string weakening(const Written& written, config::WallTime now) const;
  // Replaces the file with `text` atomically; the failure, or empty.
  std::string write(const std::string& text) const;
  // Puts the file back as it was opened (removes it when there was none).
  void restore() const;

 private:
  SettingsEdit() = default;

  std::string path_;
  std::optional<std::string> previousText_;  // absent: there was no file
  nlohmann::json document_;
  config::Configuration before_;
  std::vector<BlockedSite> sitesBefore_;
  std::vector<BlockedSite> sites_;
};

}  // namespace vosk::control
