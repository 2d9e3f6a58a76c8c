#include "model/blocked_site.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>

#include "model/canonical_text.hpp"

namespace vosk {
namespace {

const nlohmann::json* member(const nlohmann::json& object, const char* key) {
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

}  // namespace

bool operator==(const BlockedSite& a, const BlockedSite& b) {
  return a.id == b.id && canonicallyEqual(a.name, b.name) &&
         std::equal(a.domains.begin(), a.domains.end(), b.domains.begin(), b.domains.end(), canonicallyEqual);
}

std::optional<BlockedSite> decodeBlockedSite(const nlohmann::json& value) {
  if (!value.is_object()) return std::nullopt;
  const nlohmann::json* id = member(value, "id");
  const nlohmann::json* name = member(value, "name");
  const nlohmann::json* domains = member(value, "domains");
  if (id == nullptr || !id->is_string()) return std::nullopt;
  if (name == nullptr || !name->is_string()) return std::nullopt;
  if (domains == nullptr || !domains->is_array()) return std::nullopt;

  BlockedSite site;
  const std::optional<Uuid> uuid = Uuid::fromString(id->get_ref<const std::string&>());
  if (!uuid) return std::nullopt;
  site.id = *uuid;
  site.name = name->get<std::string>();
  site.domains.reserve(domains->size());
  for (const nlohmann::json& domain : *domains) {
    if (!domain.is_string()) return std::nullopt;
    site.domains.push_back(domain.get<std::string>());
  }
  return site;
}

nlohmann::json encodeBlockedSite(const BlockedSite& site) {
  return nlohmann::json{{"id", site.id.toString()}, {"name", site.name}, {"domains", site.domains}};
}

std::optional<std::vector<BlockedSite>> decodeBlockedSiteArray(const nlohmann::json& value) {
  if (!value.is_array()) return std::nullopt;
  std::vector<BlockedSite> sites;
  sites.reserve(value.size());
  for (const nlohmann::json& element : value) {
    std::optional<BlockedSite> site = decodeBlockedSite(element);
    if (!site) return std::nullopt;
    sites.push_back(std::move(*site));
  }
  return sites;
}

std::optional<std::vector<BlockedSite>> decodeBlockedSiteList(std::span<const std::uint8_t> json) {
  const nlohmann::json value = nlohmann::json::parse(json.begin(), json.end(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return std::nullopt;
  return decodeBlockedSiteArray(value);
}

}  // namespace vosk
