#include "config/encrypted_dns_list.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>

#include "policy/host_text.hpp"

namespace vosk::config {
namespace {

constexpr std::string_view encryptedDnsServersKey = "encryptedDnsServers";
constexpr std::string_view blanks = " \t\r";

bool isHostCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_';
}

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
    std::string name(content.substr(first, last - first + 1));
    // Place: the first character that cannot be in a host name, or the name's start.
    const auto bad = std::find_if_not(name.begin(), name.end(), isHostCharacter);
    if (bad != name.end() || name.starts_with('.') || name.find("..") != std::string::npos) {
      const std::size_t offset = bad == name.end() ? 0 : static_cast<std::size_t>(bad - name.begin());
      return ConfigurationProblem{"not a host name: \"" + name + "\"", line + 1, static_cast<int>(first + offset) + 1};
    }
    names.push_back(comparableHost(name));
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
