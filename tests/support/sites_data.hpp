#pragma once

#include <vector>

#include <nlohmann/json.hpp>

#include "model/blocked_site.hpp"
#include "support/fake_flows.hpp"

namespace vosk::test {

// The "sitesData" value the companion application would save for these sites.
inline Bytes sitesData(const std::vector<BlockedSite>& sites) {
  nlohmann::json array = nlohmann::json::array();
  for (const BlockedSite& site : sites) array.push_back(encodeBlockedSite(site));
  return bytesOf(array.dump());
}

}  // namespace vosk::test
