#include "config/configuration_file.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <utility>

#include "model/blocked_site.hpp"

namespace vosk::config {
namespace {

constexpr std::string_view sitesDataKey = "sitesData";
constexpr std::string_view blockingEnabledKey = "blockingEnabled";
constexpr std::string_view utf8ByteOrderMark = "\xEF\xBB\xBF";

ConfigurationProblem problemAt(std::string_view text, std::size_t offset, std::string message) {
  offset = std::min(offset, text.size());
  const std::string_view before = text.substr(0, offset);
  const std::size_t lineStart = before.rfind('\n') == std::string_view::npos ? 0 : before.rfind('\n') + 1;
  const int line = 1 + static_cast<int>(std::count(before.begin(), before.end(), '\n'));
  return ConfigurationProblem{std::move(message), line, static_cast<int>(offset - lineStart) + 1};
}

// Finding a member's own text in JSON already known to be valid: enough to
// skip strings (with escapes), nested brackets and bare literals.
class MemberScanner {
 public:
  explicit MemberScanner(std::string_view text) : text_(text) {}

  // The text of the last top-level member named `key`, as the parser also
  // keeps the last of repeated members.
  std::optional<std::string_view> memberText(std::string_view key) {
    std::optional<std::string_view> found;
    pos_ = text_.starts_with(utf8ByteOrderMark) ? utf8ByteOrderMark.size() : 0;
    skipWhitespace();
    ++pos_;  // '{'
    for (skipWhitespace(); pos_ < text_.size() && text_[pos_] != '}'; skipWhitespace()) {
      const std::size_t keyStart = pos_;
      skipString();
      const bool matches =
          nlohmann::json::parse(text_.substr(keyStart, pos_ - keyStart)).get<std::string>() == key;
      skipWhitespace();
      ++pos_;  // ':'
      skipWhitespace();
      const std::size_t valueStart = pos_;
      skipValue();
      if (matches) found = text_.substr(valueStart, pos_ - valueStart);
      skipWhitespace();
      if (pos_ < text_.size() && text_[pos_] == ',') ++pos_;
    }
    return found;
  }

 private:
  void skipWhitespace() {
    while (pos_ < text_.size() && std::strchr(" \t\r\n", text_[pos_]) != nullptr) ++pos_;
  }
  void skipString() {
    for (++pos_; pos_ < text_.size() && text_[pos_] != '"'; ++pos_) {
      if (text_[pos_] == '\\') ++pos_;
    }
    ++pos_;
  }
  void skipValue() {
    if (text_[pos_] == '"') return skipString();
    if (text_[pos_] != '{' && text_[pos_] != '[') {
      while (pos_ < text_.size() && std::strchr(",}] \t\r\n", text_[pos_]) == nullptr) ++pos_;
      return;
    }
    int depth = 0;
    do {
      const char c = text_[pos_];
      if (c == '"') {
        skipString();
        continue;
      }
      if (c == '{' || c == '[') ++depth;
      if (c == '}' || c == ']') --depth;
      ++pos_;
    } while (depth > 0 && pos_ < text_.size());
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

std::optional<ConfigurationValue> valueOf(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::boolean:
      return value.get<bool>();
    case nlohmann::json::value_t::number_integer:
      return value.get<std::int64_t>();
    case nlohmann::json::value_t::number_unsigned: {
      const auto number = value.get<std::uint64_t>();
      if (number <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return static_cast<std::int64_t>(number);
      }
      return static_cast<double>(number);
    }
    case nlohmann::json::value_t::number_float:
      return value.get<double>();
    case nlohmann::json::value_t::string:
      return value.get<std::string>();
    default:
      return std::nullopt;
  }
}

// nlohmann's message minus its own prefix and position.
std::string parseErrorMessage(const nlohmann::json::parse_error& error) {
  const std::string what = error.what();
  const std::size_t column = what.find(", column ");
  const std::size_t colon = column == std::string::npos ? std::string::npos : what.find(": ", column);
  return colon == std::string::npos ? what : what.substr(colon + 2);
}

std::variant<std::string, ConfigurationProblem> readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return ConfigurationProblem{std::strerror(errno)};
  std::ostringstream contents;
  contents << file.rdbuf();
  if (file.bad()) return ConfigurationProblem{std::strerror(errno)};
  return std::move(contents).str();
}

}  // namespace

std::string describeProblem(const std::string& path, const ConfigurationProblem& problem) {
  if (problem.line == 0) return fmt::format("{}: {}", path, problem.message);
  return fmt::format("{}:{}:{}: {}", path, problem.line, problem.column, problem.message);
}

std::variant<ConfigurationDictionary, ConfigurationProblem> parseConfiguration(std::string_view text) {
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(text);
  } catch (const nlohmann::json::parse_error& error) {
    return problemAt(text, error.byte == 0 ? 0 : error.byte - 1, parseErrorMessage(error));
  }
  if (!document.is_object()) {
    const std::size_t start = text.find_first_not_of(" \t\r\n", text.starts_with(utf8ByteOrderMark) ? 3 : 0);
    return problemAt(text, start, "the configuration is not a JSON object");
  }
  ConfigurationDictionary dictionary;
  for (const auto& [key, value] : document.items()) {
    if (key == sitesDataKey) continue;
    if (std::optional<ConfigurationValue> converted = valueOf(value)) dictionary.emplace(key, std::move(*converted));
  }
  if (const std::optional<std::string_view> sites = MemberScanner(text).memberText(sitesDataKey)) {
    dictionary.emplace(std::string(sitesDataKey), Bytes(sites->begin(), sites->end()));
  }
  return dictionary;
}

std::variant<ConfigurationDictionary, ConfigurationProblem> loadConfigurationFile(const std::string& path) {
  auto text = readFile(path);
  if (auto* problem = std::get_if<ConfigurationProblem>(&text)) return *problem;
  return parseConfiguration(std::get<std::string>(text));
}

bool strictModeActive(const ConfigurationDictionary& configuration) {
  const auto isTrue = [&](const char* key) {
    const auto it = configuration.find(key);
    return it != configuration.end() && std::holds_alternative<bool>(it->second) && std::get<bool>(it->second);
  };
  return isTrue("blockingEnabled") && isTrue("strictMode");
}

std::variant<std::string, ConfigurationProblem> checkConfigurationFile(const std::string& path) {
  auto text = readFile(path);
  if (auto* problem = std::get_if<ConfigurationProblem>(&text)) return *problem;
  const std::string& contents = std::get<std::string>(text);
  auto parsed = parseConfiguration(contents);
  if (auto* problem = std::get_if<ConfigurationProblem>(&parsed)) return *problem;
  const ConfigurationDictionary& dictionary = std::get<ConfigurationDictionary>(parsed);

  bool blocking = false;
  if (const auto it = dictionary.find(std::string(blockingEnabledKey)); it != dictionary.end()) {
    if (!std::holds_alternative<bool>(it->second)) {
      return ConfigurationProblem{"\"blockingEnabled\" must be true or false"};
    }
    blocking = std::get<bool>(it->second);
  }
  const auto sites = dictionary.find(std::string(sitesDataKey));
  if (sites == dictionary.end()) {
    return fmt::format("blocking {}, no \"sitesData\" (the block list in force is kept)", blocking ? "on" : "off");
  }
  const Bytes& bytes = std::get<Bytes>(sites->second);
  const std::optional<std::vector<BlockedSite>> list = decodeBlockedSiteList(bytes);
  if (!list) {
    const std::string_view member(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return problemAt(contents, contents.find(member),
                     "\"sitesData\" is not a block list: an array of sites, each with \"id\" (a UUID), "
                     "\"name\" and \"domains\" (an array of texts)");
  }
  std::size_t domains = 0;
  for (const BlockedSite& site : *list) domains += site.domains.size();
  return fmt::format("blocking {}, {} site{}, {} domain{}", blocking ? "on" : "off", list->size(),
                     list->size() == 1 ? "" : "s", domains, domains == 1 ? "" : "s");
}

std::variant<std::string, ConfigurationProblem> readTextFile(const std::string& path) { return readFile(path); }

}  // namespace vosk::config
