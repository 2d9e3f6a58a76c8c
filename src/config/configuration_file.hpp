#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "config/schedule.hpp"
#include "platform/proxy_provider.hpp"

namespace vosk::config {

// Something to say about a configuration; line and column (from 1) when it
// has a place in the text, 0 otherwise.
struct ConfigurationProblem {
  std::string message;
  int line = 0;
  int column = 0;
};

// The whole file as text, or why it cannot be read.
std::variant<std::string, ConfigurationProblem> readFile(const std::string& path);

// "FILE:LINE:COLUMN: message", or "FILE: message" when it has no place.
std::string describeProblem(const std::string& path, const ConfigurationProblem& problem);

// Where vosk-dashboard listens and, for TLS, its certificate and key (PEM
// files; both empty: plain HTTP, on loopback only).
struct DashboardSettings {
  std::vector<std::string> listen;  // each "ADDR:PORT", an IPv6 address in brackets
  std::string certificate;
  std::string key;
};

// What carries the flows that are not blocked: the daemon's own relay, or
// the kernel once the first bytes are judged in the packet path.
enum class Engine { relay, kernel };
inline constexpr const char* engineNames[] = {"relay", "kernel"};

struct ListSize {
  std::size_t sites = 0;
  std::size_t domains = 0;
};

// A configuration file as the daemon uses it. The dictionary is what the
// provider reads at each start: Booleans, strings and numbers as they are;
// "sitesData" as the JSON text of the block list with every domain entry
// normalised (left out when the member is no block list, so the list in
// force is kept). Problems are what is wrong and left out or kept as
// written; changes are the entries that were normalised.
struct Configuration {
  ConfigurationDictionary dictionary;
  std::vector<ConfigurationProblem> problems;
  std::vector<ConfigurationProblem> changes;
  Schedule schedule;    // the windows that could be read
  // The interfaces whose forwarded TCP 80/443, QUIC and DNS are filtered as
  // the host's own; empty without the member, absent when the member is no
  // array (the interfaces in force are kept).
  std::optional<std::vector<std::string>> gatewayInterfaces;
  // The control API's settings: each is its default without the member and
  // absent when the member cannot be read (the value in force is kept).
  std::optional<std::string> adminGroup;                // who may weaken blocking
  std::optional<std::chrono::seconds> weakenDelay;      // how long a weakening waits; 0: none
  std::optional<int> historyDays;                       // how long blocked decisions are kept; 0: not at all
  std::optional<Engine> engine;                         // what carries allowed flows
  std::optional<ListSize> list;                         // the block list's size; absent: the one in force is kept
  DashboardSettings dashboard;                          // a member that cannot be read leaves its default
  std::string summary;  // "blocking on, 2 sites, 5 domains"
};

// The problems and changes, in the order they stand in the text, each
// described as describeProblem does.
std::vector<std::string> describeNotes(const std::string& path, const Configuration& configuration);

inline constexpr const char* defaultAdminGroup = "vosk-filter-admin";
inline constexpr int defaultHistoryDays = 30;
inline constexpr int mostHistoryDays = 3660;
inline constexpr const char* defaultDashboardListen[] = {"127.0.0.1:8093", "[::1]:8093"};

// Fails only when the text is no JSON object, or the file cannot be read.
std::variant<Configuration, ConfigurationProblem> parseConfiguration(std::string_view text);
std::variant<Configuration, ConfigurationProblem> loadConfigurationFile(const std::string& path);

// Strict mode acts only while blocking is on: "strictMode" and
// "blockingEnabled" both true (Booleans; anything else counts as off).
bool strictModeActive(const ConfigurationDictionary& configuration);
// Whether `key` holds a Boolean true: anything else, or nothing, is false.
bool isTrue(const ConfigurationDictionary& configuration, std::string_view key);
bool blockingEnabled(const ConfigurationDictionary& configuration);

}  // namespace vosk::config
