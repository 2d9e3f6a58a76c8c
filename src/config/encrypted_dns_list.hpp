#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "config/configuration_file.hpp"
#include "platform/proxy_provider.hpp"

namespace vosk::config {

// The list of public encrypted-DNS endpoints shipped with the filter: one
// name a line, each standing for itself and its subdomains; blank lines and
// everything after a '#' are ignored. Names come back in lower case without
// a trailing dot. A line that is not a host name is a problem at its place.
std::variant<std::vector<std::string>, ConfigurationProblem> parseEncryptedDnsList(std::string_view text);
std::variant<std::vector<std::string>, ConfigurationProblem> loadEncryptedDnsList(const std::string& path);

// Adds `names` to the configuration's "encryptedDnsServers" (a JSON array of
// names, as the provider reads it), after the names already there.
void addEncryptedDnsServers(ConfigurationDictionary& configuration, const std::vector<std::string>& names);

}  // namespace vosk::config
