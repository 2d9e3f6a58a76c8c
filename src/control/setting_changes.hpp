#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

#include "config/blocking_rules.hpp"
#include "control/settings_edit.hpp"
#include "control/varlink.hpp"

namespace vosk::control {

// A pause is for a moment; a lock for a resolution, not for ever.
inline constexpr std::chrono::minutes longestPause = std::chrono::hours(24);
inline constexpr std::chrono::hours longestLock = std::chrono::days(30);
inline constexpr const char* defaultImportSite = "Imported";

// What a change did to the settings file.
struct ChangeOutcome {
  bool changed = true;  // false: the file already said so; nothing is written
  std::string message;  // what was done, in words
  nlohmann::json details = nlohmann::json::object();  // more reply parameters (an import's counts)
};

// Whether `method` names a call that changes the settings file.
bool isChange(std::string_view method);

// Makes the change `call` asks for on `edit`: the one place where the
// methods' parameters are read and their meaning lives, for the daemon and
// for voskctl's own edit when no daemon runs. `raw` is what an import
// streamed in. Throws WireError for parameters that are missing, of the
// wrong type or unknown, and for a change that cannot be made.
ChangeOutcome applyChange(SettingsEdit& edit, const Call& call, std::string_view raw, config::WallTime now);

// A WireError for a parameter, and for input that cannot be used.
WireError invalidParameter(std::string_view name);
WireError invalidInput(std::string message);

}  // namespace vosk::control
