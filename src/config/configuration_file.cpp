#include "config/configuration_file.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <sstream>
#include <utility>

#include "config/configuration_keys.hpp"
#include "config/domain_entry.hpp"
#include "config/number_text.hpp"
#include "model/blocked_site.hpp"

namespace vosk::config {
namespace {

constexpr std::size_t interfaceNameLimit = 15;  // IFNAMSIZ less its NUL
constexpr std::string_view utf8ByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view jsonWhitespace = " \t\r\n";

ConfigurationProblem problemAt(std::string_view text, std::size_t offset, std::string message) {
  offset = std::min(offset, text.size());
  const std::string_view before = text.substr(0, offset);
  const std::size_t lineStart = before.rfind('\n') == std::string_view::npos ? 0 : before.rfind('\n') + 1;
  const int line = 1 + static_cast<int>(std::count(before.begin(), before.end(), '\n'));
  return ConfigurationProblem{std::move(message), line, static_cast<int>(offset - lineStart) + 1};
}

// Reads the text for the parser and counts how far it has read, so that the
// events below know where they are.
class CountingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIterator(const char* position, const char* begin, std::size_t* consumed)
      : position_(position), begin_(begin), consumed_(consumed) {}
  reference operator*() const { return *position_; }
  CountingIterator& operator++() {
    *consumed_ = static_cast<std::size_t>(++position_ - begin_);
    return *this;
  }
  bool operator==(const CountingIterator& other) const { return position_ == other.position_; }

 private:
  const char* position_;
  const char* begin_;
  std::size_t* consumed_;
};

// Where the values the daemon reports on stand in the text: each top-level
// member's value, and each domain entry of the block list. A second pass over
// text already known to be valid JSON; repeated members end where the parser
// ends, with the last.
class Positions : public nlohmann::json_sax<nlohmann::json> {
 public:
  explicit Positions(std::string_view text) : text_(text) {
    CountingIterator begin(text.data(), text.data(), &consumed_);
    CountingIterator end(text.data() + text.size(), text.data(), &consumed_);
    nlohmann::json::sax_parse(begin, end, this);
  }

  std::size_t member(const std::string& key) const {
    const auto it = members_.find(key);
    return it == members_.end() ? 0 : it->second;
  }
  // Where a top-level key's opening quote stands.
  std::size_t key(const std::string& name) const {
    const auto it = keys_.find(name);
    return it == keys_.end() ? 0 : it->second;
  }
  std::size_t domain(std::size_t site, std::size_t index) const {
    const auto it = domains_.find({site, index});
    return it == domains_.end() ? member(sitesDataKey) : it->second;
  }
  // An element of a top-level array of texts ("encryptedDnsServers", "gatewayInterfaces").
  std::size_t textElement(const std::string& key, std::size_t index) const {
    const auto it = textElements_.find({key, index});
    return it == textElements_.end() ? member(key) : it->second;
  }
  std::size_t window(std::size_t index) const {
    const auto it = windows_.find(index);
    return it == windows_.end() ? member(scheduleKey) : it->second;
  }

  bool null() override { return scalar(); }
  bool boolean(bool) override { return scalar(); }
  bool number_integer(number_integer_t) override { return scalar(); }
  bool number_unsigned(number_unsigned_t) override { return scalar(); }
  bool number_float(number_float_t, const string_t&) override { return scalar(); }
  bool binary(binary_t&) override { return scalar(); }
  bool string(string_t&) override {
    if (frames_.size() == 4 && frames_[0].key == sitesDataKey && frames_[2].key == domainsKey) {
      domains_[{frames_[1].index, frames_[3].index}] = openingQuote();
    }
    if (frames_.size() == 2) textElements_[{frames_[0].key, frames_[1].index}] = openingQuote();
    return scalar();
  }
  bool start_object(std::size_t) override {
    if (frames_.size() == 2 && frames_[0].key == scheduleKey) windows_[frames_[1].index] = consumed_ - 1;
    return open();
  }
  bool start_array(std::size_t) override { return open(); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }
  bool key(string_t& name) override {
    frames_.back().key = name;
    if (frames_.size() == 1) {
      keys_[name] = openingQuote();
      // The value follows the key's closing quote, a colon and white space.
      const std::size_t colon = text_.find(':', consumed_);
      members_[name] = text_.find_first_not_of(jsonWhitespace, colon + 1);
    }
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

 private:
  struct Frame {
    std::string key;
    std::size_t index = 0;  // of the next element, in an array
  };

  bool scalar() {
    if (!frames_.empty()) ++frames_.back().index;
    return true;
  }
  bool open() {
    frames_.emplace_back();
    return true;
  }
  bool close() {
    frames_.pop_back();
    return scalar();
  }
  // Inside a JSON string a quote is always escaped, so the opening quote is
  // the last one before the closing quote that an even run of backslashes precedes.
  std::size_t openingQuote() const {
    std::size_t quote = consumed_ - 1;
    do {
      quote = text_.rfind('"', quote - 1);
      std::size_t backslashes = 0;
      while (quote > backslashes && text_[quote - 1 - backslashes] == '\\') ++backslashes;
      if (backslashes % 2 == 0) return quote;
    } while (quote > 0);
    return 0;
  }

  std::string_view text_;
  std::size_t consumed_ = 0;
  std::vector<Frame> frames_;
  std::map<std::string, std::size_t> members_;
  std::map<std::string, std::size_t> keys_;
  std::map<std::pair<std::size_t, std::size_t>, std::size_t> domains_;
  std::map<std::pair<std::string, std::size_t>, std::size_t> textElements_;
  std::map<std::size_t, std::size_t> windows_;
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

std::string plural(std::size_t count, const char* noun) {
  return fmt::format("{} {}{}", count, noun, count == 1 ? "" : "s");
}

// A switch that is not a Boolean counts as off; say so where it stands.
bool readSwitch(const nlohmann::json& document, const char* key, const char* what, std::string_view text,
                const Positions& positions, Configuration& configuration) {
  const auto it = document.find(key);
  if (it == document.end()) return false;
  if (it->is_boolean()) return it->get<bool>();
  configuration.problems.push_back(
      problemAt(text, positions.member(key), fmt::format("\"{}\" must be true or false; {} is off", key, what)));
  return false;
}

// An entry in the form matching relies on; false for what cannot be a host
// name, which is reported and left out of the list handed over (kept in the
// file): an empty entry would otherwise match an empty server name.
bool normaliseEntry(std::string& entry, std::size_t offset, std::string_view text, Configuration& configuration) {
  NormalisedEntry normalised = normaliseDomainEntry(entry);
  if (!normalised.problem.empty()) {
    configuration.problems.push_back(problemAt(
        text, offset, fmt::format("\"{}\" is no host name ({}); left out, it blocks nothing", entry, normalised.problem)));
    return false;
  }
  if (normalised.entry != entry) {
    configuration.changes.push_back(
        problemAt(text, offset, fmt::format("\"{}\" is used as \"{}\"", entry, normalised.entry)));
    entry = std::move(normalised.entry);
  }
  return true;
}

void normaliseSites(std::vector<BlockedSite>& sites, std::string_view text, const Positions& positions,
                    Configuration& configuration) {
  for (std::size_t s = 0; s < sites.size(); ++s) {
    std::vector<std::string> kept;
    for (std::size_t d = 0; d < sites[s].domains.size(); ++d) {
      if (normaliseEntry(sites[s].domains[d], positions.domain(s, d), text, configuration)) {
        kept.push_back(std::move(sites[s].domains[d]));
      }
    }
    sites[s].domains = std::move(kept);
  }
}

// Names that strict mode treats as encrypted-DNS endpoints besides the
// shipped list: a JSON array of normalised names for the provider.
void readEncryptedDnsServers(const nlohmann::json& document, std::string_view text, const Positions& positions,
                             Configuration& configuration) {
  const auto member = document.find(encryptedDnsServersKey);
  if (member == document.end()) return;
  const bool isTextArray = member->is_array() && std::all_of(member->begin(), member->end(),
                                                              [](const nlohmann::json& name) { return name.is_string(); });
  if (!isTextArray) {
    configuration.problems.push_back(problemAt(text, positions.member(encryptedDnsServersKey),
                                               "\"encryptedDnsServers\" must be an array of host names; left out"));
    return;
  }
  std::vector<std::string> names;
  for (std::size_t i = 0; i < member->size(); ++i) {
    std::string name = (*member)[i].get<std::string>();
    if (normaliseEntry(name, positions.textElement(encryptedDnsServersKey, i), text, configuration)) {
      names.push_back(std::move(name));
    }
  }
  const std::string json = nlohmann::json(names).dump();
  configuration.dictionary.emplace(encryptedDnsServersKey, Bytes(json.begin(), json.end()));
}

// Why a name cannot be an interface of this host, or empty. Names go into
// nftables rules, so only the characters interface names are made of pass.
std::string interfaceNameProblem(const std::string& name) {
  if (name.empty() || name.size() > interfaceNameLimit) {
    return fmt::format("an interface name has 1 to {} characters", interfaceNameLimit);
  }
  const bool plain = std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.' || c == '@';
  });
  if (!plain || name == "." || name == "..") return "letters, digits, '-', '_', '.' and '@' only";
  return "";
}

// The interfaces whose forwarded traffic is filtered too. A member that is
// no array keeps the interfaces in force; a bad or repeated name is left out.
void readGatewayInterfaces(const nlohmann::json& document, std::string_view text, const Positions& positions,
                           Configuration& configuration) {
  const auto member = document.find(gatewayInterfacesKey);
  if (member == document.end()) {
    configuration.gatewayInterfaces.emplace();
    return;
  }
  if (!member->is_array()) {
    configuration.problems.push_back(
        problemAt(text, positions.member(gatewayInterfacesKey),
                  "\"gatewayInterfaces\" must be an array of interface names; the interfaces in force are kept"));
    return;
  }
  std::vector<std::string>& names = configuration.gatewayInterfaces.emplace();
  for (std::size_t i = 0; i < member->size(); ++i) {
    const nlohmann::json& entry = (*member)[i];
    const std::size_t offset = positions.textElement(gatewayInterfacesKey, i);
    const std::string problem = entry.is_string() ? interfaceNameProblem(entry.get<std::string>()) : "not a text";
    if (!problem.empty()) {
      configuration.problems.push_back(
          problemAt(text, offset, fmt::format("{} is no interface name ({}); left out", entry.dump(), problem)));
    } else if (std::find(names.begin(), names.end(), entry.get<std::string>()) == names.end()) {
      names.push_back(entry.get<std::string>());
    }
  }
}

// Windows that cannot be read are reported and left out; the rest apply.
Schedule readSchedule(const nlohmann::json& document, std::string_view text, const Positions& positions,
                      Configuration& configuration) {
  Schedule schedule;
  const auto member = document.find(scheduleKey);
  if (member == document.end()) return schedule;
  if (!member->is_array()) {
    configuration.problems.push_back(problemAt(text, positions.member(scheduleKey),
                                               "\"schedule\" must be an array of windows; blocking is not scheduled"));
    return schedule;
  }
  for (std::size_t i = 0; i < member->size(); ++i) {
    auto window = windowFromJson((*member)[i]);
    if (auto* reason = std::get_if<std::string>(&window)) {
      configuration.problems.push_back(
          problemAt(text, positions.window(i), fmt::format("schedule window {} is left out: {}", i + 1, *reason)));
    } else {
      schedule.push_back(std::get<ScheduleWindow>(window));
    }
  }
  return schedule;
}

// A key the file may not hold is a slip worth pointing at ("strictmode").
void reportUnknownKeys(const nlohmann::json& document, std::string_view text, const Positions& positions,
                       Configuration& configuration) {
  std::vector<std::string> unknown;
  for (const auto& member : document.items()) {
    const std::string& key = member.key();
    if (std::none_of(std::begin(knownKeys), std::end(knownKeys), [&](const char* known) { return key == known; })) {
      unknown.push_back(key);
    }
  }
  // In the order they stand in the text, as a reader meets them.
  std::sort(unknown.begin(), unknown.end(),
            [&](const std::string& a, const std::string& b) { return positions.key(a) < positions.key(b); });
  for (const std::string& key : unknown) {
    const auto alike = std::find_if(std::begin(knownKeys), std::end(knownKeys), [&](const char* known) {
      return std::equal(key.begin(), key.end(), known, known + std::strlen(known),
                        [](char a, char b) { return std::tolower(a) == std::tolower(b); });
    });
    configuration.problems.push_back(problemAt(
        text, positions.key(key),
        fmt::format("\"{}\" is no key of the configuration{}; ignored", key,
                    alike == std::end(knownKeys) ? std::string() : fmt::format(" (did you mean \"{}\"?)", *alike))));
  }
}

// The control API's settings: the default without the member; a member that
// cannot be read is reported and leaves the setting absent (kept as in force).
void readControlSettings(const nlohmann::json& document, std::string_view text, const Positions& positions,
                         Configuration& configuration) {
  const auto reject = [&](const char* key, const char* what) {
    configuration.problems.push_back(
        problemAt(text, positions.member(key), fmt::format("\"{}\" must be {}; the value in force is kept", key, what)));
  };
  const auto group = document.find(adminGroupKey);
  if (group == document.end()) {
    configuration.adminGroup = defaultAdminGroup;
  } else if (group->is_string() && !group->get<std::string>().empty()) {
    configuration.adminGroup = group->get<std::string>();
  } else {
    reject(adminGroupKey, "the name of a group");
  }
  const auto delay = document.find(weakenDelayKey);
  if (delay == document.end()) {
    configuration.weakenDelay = std::chrono::seconds(0);
  } else if (delay->is_string() && delay->get<std::string>() == "0") {
    configuration.weakenDelay = std::chrono::seconds(0);
  } else if (auto parsed = delay->is_string() ? parseDuration(delay->get<std::string>(), std::chrono::minutes(1))
                                              : std::nullopt) {
    configuration.weakenDelay = *parsed;
  } else {
    reject(weakenDelayKey, "a duration such as \"90s\", \"15m\" or \"2h\"");
  }
  const auto days = document.find(historyDaysKey);
  if (days == document.end()) {
    configuration.historyDays = defaultHistoryDays;
  } else if (days->is_number_integer() && days->get<std::int64_t>() >= 0 && days->get<std::int64_t>() <= mostHistoryDays) {
    configuration.historyDays = static_cast<int>(days->get<std::int64_t>());
  } else {
    reject(historyDaysKey, fmt::format("a whole number of days from 0 to {}", mostHistoryDays).c_str());
  }
  const auto engine = document.find(engineKey);
  const auto* name = engine == document.end() ? nullptr : engine->get_ptr<const std::string*>();
  const auto named = [name](Engine candidate) { return name && *name == engineNames[static_cast<int>(candidate)]; };
  if (engine == document.end() || named(Engine::relay)) {
    configuration.engine = Engine::relay;
  } else if (named(Engine::kernel)) {
    configuration.engine = Engine::kernel;
  } else {
    reject(engineKey, "\"relay\" or \"kernel\"");
  }
}

// The dashboard's settings: a member of the wrong kind is reported and leaves the default.
void readDashboardSettings(const nlohmann::json& document, std::string_view text, const Positions& positions,
                           Configuration& configuration) {
  DashboardSettings& dashboard = configuration.dashboard;
  dashboard.listen.assign(std::begin(defaultDashboardListen), std::end(defaultDashboardListen));
  const auto reject = [&](const char* key, const char* what) {
    configuration.problems.push_back(
        problemAt(text, positions.member(key), fmt::format("\"{}\" must be {}; the default is used", key, what)));
  };
  if (const auto listen = document.find(dashboardListenKey); listen != document.end()) {
    const bool texts = listen->is_array() && !listen->empty() &&
                       std::all_of(listen->begin(), listen->end(), [](const nlohmann::json& entry) { return entry.is_string(); });
    if (texts) {
      dashboard.listen = listen->get<std::vector<std::string>>();
    } else {
      reject(dashboardListenKey, "an array of addresses such as \"127.0.0.1:8093\" or \"[::1]:8093\"");
    }
  }
  for (const auto& [key, path] : {std::pair{dashboardCertificateKey, &dashboard.certificate},
                                  std::pair{dashboardKeyKey, &dashboard.key}}) {
    const auto member = document.find(key);
    if (member == document.end()) continue;
    if (member->is_string()) {
      *path = member->get<std::string>();
    } else {
      reject(key, "the path of a PEM file");
    }
  }
}

}  // namespace


std::variant<std::string, ConfigurationProblem> readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return ConfigurationProblem{std::strerror(errno)};
  std::ostringstream contents;
  contents << file.rdbuf();
  if (file.bad()) return ConfigurationProblem{std::strerror(errno)};
  return std::move(contents).str();
}

std::string describeProblem(const std::string& path, const ConfigurationProblem& problem) {
  if (problem.line == 0) return fmt::format("{}: {}", path, problem.message);
  return fmt::format("{}:{}:{}: {}", path, problem.line, problem.column, problem.message);
}

std::vector<std::string> describeNotes(const std::string& path, const Configuration& configuration) {
  std::vector<const ConfigurationProblem*> notes;
  for (const auto* list : {&configuration.problems, &configuration.changes}) {
    for (const ConfigurationProblem& note : *list) notes.push_back(&note);
  }
  std::stable_sort(notes.begin(), notes.end(), [](const auto* a, const auto* b) {
    return std::pair(a->line, a->column) < std::pair(b->line, b->column);
  });
  std::vector<std::string> lines;
  for (const ConfigurationProblem* note : notes) lines.push_back(describeProblem(path, *note));
  return lines;
}

std::variant<Configuration, ConfigurationProblem> parseConfiguration(std::string_view text) {
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(text);
  } catch (const nlohmann::json::parse_error& error) {
    return problemAt(text, error.byte == 0 ? 0 : error.byte - 1, parseErrorMessage(error));
  }
  if (!document.is_object()) {
    const std::size_t start = text.find_first_not_of(jsonWhitespace, text.starts_with(utf8ByteOrderMark) ? 3 : 0);
    return problemAt(text, start, "the configuration is not a JSON object");
  }
  const Positions positions(text);
  Configuration configuration;
  reportUnknownKeys(document, text, positions, configuration);
  // The scalar settings as they are; the lists are read below.
  for (const char* key : {blockingEnabledKey, strictModeKey, pausedUntilKey, lockedUntilKey}) {
    const auto member = document.find(key);
    if (member == document.end()) continue;
    if (std::optional<ConfigurationValue> converted = valueOf(*member)) configuration.dictionary.emplace(key, std::move(*converted));
  }
  readControlSettings(document, text, positions, configuration);
  readDashboardSettings(document, text, positions, configuration);
  const bool blocking = readSwitch(document, blockingEnabledKey, "blocking", text, positions, configuration);
  const bool strict = readSwitch(document, strictModeKey, "strict mode", text, positions, configuration);
  configuration.schedule = readSchedule(document, text, positions, configuration);
  readEncryptedDnsServers(document, text, positions, configuration);
  readGatewayInterfaces(document, text, positions, configuration);
  std::string switches = fmt::format("blocking {}, strict mode {}", blocking ? "on" : "off", strict ? "on" : "off");
  if (!configuration.gatewayInterfaces) {
    switches += ", gateway interfaces unusable (those in force are kept)";
  } else if (!configuration.gatewayInterfaces->empty()) {
    switches += fmt::format(", gateway for {}", fmt::join(*configuration.gatewayInterfaces, " "));
  }
  if (!configuration.schedule.empty()) {
    switches += fmt::format(", {} in schedule", plural(configuration.schedule.size(), "window"));
  }

  const auto sitesData = document.find(sitesDataKey);
  if (sitesData == document.end()) {
    configuration.summary = switches + ", no \"sitesData\" (the block list in force is kept)";
    return configuration;
  }
  std::optional<std::vector<BlockedSite>> sites = decodeBlockedSiteArray(*sitesData);
  if (!sites) {
    configuration.problems.push_back(
        problemAt(text, positions.member(sitesDataKey),
                  "\"sitesData\" is not a block list: an array of sites, each with \"id\" (a UUID), \"name\" and "
                  "\"domains\" (an array of texts); the block list in force is kept"));
    configuration.summary = switches + ", \"sitesData\" unusable (the block list in force is kept)";
    return configuration;
  }
  normaliseSites(*sites, text, positions, configuration);
  nlohmann::json encoded = nlohmann::json::array();
  std::size_t domains = 0;
  for (const BlockedSite& site : *sites) {
    encoded.push_back(encodeBlockedSite(site));
    domains += site.domains.size();
  }
  const std::string json = encoded.dump();
  configuration.dictionary.emplace(sitesDataKey, Bytes(json.begin(), json.end()));
  configuration.list = ListSize{sites->size(), domains};
  configuration.summary = fmt::format("{}, {}, {}", switches, plural(sites->size(), "site"), plural(domains, "domain"));
  return configuration;
}

std::variant<Configuration, ConfigurationProblem> loadConfigurationFile(const std::string& path) {
  auto text = readFile(path);
  if (auto* problem = std::get_if<ConfigurationProblem>(&text)) return *problem;
  return parseConfiguration(std::get<std::string>(text));
}

bool isTrue(const ConfigurationDictionary& configuration, std::string_view key) {
  const auto it = configuration.find(std::string(key));
  return it != configuration.end() && std::holds_alternative<bool>(it->second) && std::get<bool>(it->second);
}

bool strictModeActive(const ConfigurationDictionary& configuration) {
  return blockingEnabled(configuration) && isTrue(configuration, strictModeKey);
}

bool blockingEnabled(const ConfigurationDictionary& configuration) {
  return isTrue(configuration, blockingEnabledKey);
}

}  // namespace vosk::config
