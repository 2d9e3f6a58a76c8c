#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/blocked_site.hpp"

namespace vosk {

// An applied block list with its matching index. Built once per applied
// configuration, off the flow path, and never changed afterwards, so it can be
// shared between threads. match() answers exactly as
// SiteBlockListManager::matchBlockedSite over the same list, in time
// independent of the list's size.
class BlockList {
 public:
  BlockList() = default;
  explicit BlockList(std::vector<BlockedSite> sites);

  const std::vector<BlockedSite>& sites() const { return sites_; }
  // The earliest site with an entry equal to the host or to one of its parent domains.
  const BlockedSite* match(std::string_view host) const;

 private:
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };

  std::vector<BlockedSite> sites_;
  // Each comparable entry → position of the first site that lists it.
  std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>> firstSiteByEntry_;
};

// Whether any site of the list matches the host.
inline bool isHostBlocked(std::string_view host, const BlockList& list) { return list.match(host) != nullptr; }

}  // namespace vosk
