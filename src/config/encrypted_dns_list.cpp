#include "config/encrypted_dns_list.hpp"

#include <nlohmann/json.hpp>

#include <fmt/format.h>

#include <algorithm>

#include "config/configuration_keys.hpp"
#include "config/domain_entry.hpp"

namespace vosk::config {
namespace {

constexpr std::string_view blanks = " \t\r";

}  // namespace

std::variant<std::vector<std::string>, ConfigurationProblem> parseEncryptedDnsList(std::string_view text) {
  std::vector<std::string> names;
  int line = 0;
  for (std::size_t start = 0; start <= text.size(); ++line) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    std::string_view content = text.substr(start, end - start);
    start = end + 1;
    content = content.substr(0, content.find('#'));
    const std::size_t first = content.find_first_not_of(blanks);
    if (first == std::string_view::npos) continue;
    const std::size_t last = content.find_last_not_of(blanks);
    const std::string_view name = content.substr(first, last - first + 1);
    NormalisedEntry normalised = normaliseDomainEntry(name);
    if (!normalised.problem.empty()) {
      return ConfigurationProblem{fmt::format("\"{}\" is no host name ({})", name, normalised.problem), line + 1,
                                  static_cast<int>(first) + 1};
    }
    names.push_back(std::move(normalised.entry));
  }
  return names;
}

std::variant<std::vector<std::string>, ConfigurationProblem> loadEncryptedDnsList(const std::string& path) {
  auto text = readFile(path);
  if (auto* problem = std::get_if<ConfigurationProblem>(&text)) return *problem;
  return parseEncryptedDnsList(std::get<std::string>(text));
}

void addEncryptedDnsServers(ConfigurationDictionary& configuration, const std::vector<std::string>& names) {
  nlohmann::json all = nlohmann::json::array();
  const auto it = configuration.find(std::string(encryptedDnsServersKey));
  if (it != configuration.end()) {
    if (const Bytes* given = std::get_if<Bytes>(&it->second)) {
      all = nlohmann::json::parse(*given, nullptr, /*allow_exceptions=*/false);
    }
  }
  if (!all.is_array()) all = nlohmann::json::array();
  for (const std::string& name : names) all.push_back(name);
  const std::string text = all.dump();
  configuration.insert_or_assign(std::string(encryptedDnsServersKey), Bytes(text.begin(), text.end()));
}

}  // namespace vosk::config
