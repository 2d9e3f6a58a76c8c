#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "platform/proxy_provider.hpp"

namespace vosk::config {

// Why a configuration cannot be used; line and column (from 1) when the
// problem has a place in the text, 0 otherwise.
struct ConfigurationProblem {
  std::string message;
  int line = 0;
  int column = 0;
};

// "FILE:LINE:COLUMN: message", or "FILE: message" when it has no place.
std::string describeProblem(const std::string& path, const ConfigurationProblem& problem);

// A JSON object whose members become the provider configuration: Booleans,
// strings and numbers as they are; "sitesData", which holds the block list as
// a JSON array, as the bytes of exactly that member's JSON text. Members of
// other kinds are left out.
std::variant<ConfigurationDictionary, ConfigurationProblem> parseConfiguration(std::string_view text);
std::variant<ConfigurationDictionary, ConfigurationProblem> loadConfigurationFile(const std::string& path);

// Strict mode acts only while blocking is on: "strictMode" and
// "blockingEnabled" both true (Booleans; anything else counts as off).
bool strictModeActive(const ConfigurationDictionary& configuration);

// Validates a configuration file as the daemon would use it, block list
// included: a one-line summary ("blocking on, 2 sites, 5 domains") or the problem.
std::variant<std::string, ConfigurationProblem> checkConfigurationFile(const std::string& path);

// The file's bytes; a problem without a place when it cannot be read.
std::variant<std::string, ConfigurationProblem> readTextFile(const std::string& path);

}  // namespace vosk::config
