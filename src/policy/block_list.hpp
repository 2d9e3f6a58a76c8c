#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
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
  static constexpr std::size_t kNoSite = SIZE_MAX;

  // One distinct comparable entry: its text in entryTexts_ and the position
  // of the first site that lists it. An unused slot has no site.
  struct Slot {
    std::uint64_t hash = 0;
    std::size_t offset = 0;
    std::size_t length = 0;
    std::size_t site = kNoSite;
  };

  // The slot holding `entry`, or the unused slot where it belongs.
  std::size_t slotFor(std::string_view entry, std::uint64_t hash) const;
  std::size_t firstSiteListing(std::string_view entry) const;

  std::vector<BlockedSite> sites_;
  // Every distinct comparable entry, back to back.
  std::string entryTexts_;
  // Open addressing with linear probing; a power of two in size, at most half full.
  std::vector<Slot> slots_;
};

// Whether any site of the list matches the host.
inline bool isHostBlocked(std::string_view host, const BlockList& list) { return list.match(host) != nullptr; }

}  // namespace vosk
