#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "model/uuid.hpp"

namespace vosk {

// One block-list entry: a named site and the domains that belong to it. Each
// domain blocks itself and all its subdomains. Entries are kept exactly as
// decoded; matching relies on them being stored in lower case.
struct BlockedSite {
  Uuid id;
  std::string name;
  std::vector<std::string> domains;

  // id by value; name and each domain, in order, under canonical equivalence.
  friend bool operator==(const BlockedSite& a, const BlockedSite& b);
};

// JSON form: {"id": "<UUID>", "name": "...", "domains": ["..."]}. Keys are
// case-sensitive; all three are required and non-null; other members are dropped.
std::optional<BlockedSite> decodeBlockedSite(const nlohmann::json& value);
nlohmann::json encodeBlockedSite(const BlockedSite& site);

// Decodes a JSON array of sites, all or nothing.
std::optional<std::vector<BlockedSite>> decodeBlockedSiteList(std::span<const std::uint8_t> json);
std::optional<std::vector<BlockedSite>> decodeBlockedSiteArray(const nlohmann::json& value);

}  // namespace vosk
