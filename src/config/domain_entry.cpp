#include "config/domain_entry.hpp"

#include <arpa/inet.h>
#include <idn2.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include <fmt/format.h>

namespace vosk::config {
namespace {

constexpr std::string_view kWildcardPrefix = "*.";
constexpr std::size_t kMaxNameLength = 253;
constexpr std::size_t kMaxLabelLength = 63;

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string asciiLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

bool isIpv6Literal(std::string_view text) {
  in6_addr address{};
  return inet_pton(AF_INET6, std::string(text).c_str(), &address) == 1;
}

// Letters, digits, hyphens and underscores (service names use them), in
// labels of 1 to 63 characters; one trailing dot allowed.
std::string nameProblem(std::string_view name) {
  if (name.empty()) return "it is empty";
  if (name.size() > kMaxNameLength + 1) return fmt::format("it is longer than {} characters", kMaxNameLength);
  if (name.back() == '.') name.remove_suffix(1);
  for (std::size_t start = 0; start <= name.size();) {
    const std::size_t end = std::min(name.find('.', start), name.size());
    const std::string_view label = name.substr(start, end - start);
    if (label.empty()) return "it has an empty label";
    if (label.size() > kMaxLabelLength) return fmt::format("label \"{}\" is longer than {} characters", label, kMaxLabelLength);
    for (const char c : label) {
      const bool allowed = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
      if (!allowed) return c == ' ' ? "it holds a space" : fmt::format("it holds \"{}\"", c);
    }
    start = end + 1;
  }
  return {};
}

// UTS #46 processing (non-transitional, as browsers do), to the A-label form.
NormalisedEntry toALabels(std::string_view name) {
  char* output = nullptr;
  const int status = idn2_to_ascii_8z(std::string(name).c_str(), &output, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
  if (status != IDN2_OK) {
    return {{}, fmt::format("it is no internationalised domain name: {}", idn2_strerror(status))};
  }
  const std::unique_ptr<char, decltype(&idn2_free)> owned(output, idn2_free);
  return {output, {}};
}

}  // namespace

NormalisedEntry normaliseDomainEntry(std::string_view written) {
  std::string_view name = written;
  if (name.starts_with(kWildcardPrefix)) name.remove_prefix(kWildcardPrefix.size());

  if (name.size() > 2 && name.front() == '[' && name.back() == ']' && isIpv6Literal(name.substr(1, name.size() - 2))) {
    return {asciiLower(name), {}};
  }
  if (isIpv6Literal(name)) return {fmt::format("[{}]", asciiLower(name)), {}};

  std::string entry;
  if (isAscii(name)) {
    entry = asciiLower(name);
  } else {
    NormalisedEntry converted = toALabels(name);
    if (!converted.problem.empty()) return {std::string(written), std::move(converted.problem)};
    entry = std::move(converted.entry);
  }
  if (std::string problem = nameProblem(entry); !problem.empty()) return {std::string(written), std::move(problem)};
  return {std::move(entry), {}};
}

}  // namespace vosk::config
