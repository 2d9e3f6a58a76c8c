#include "policy/block_list.hpp"

#include <algorithm>
#include <optional>

#include "policy/host_text.hpp"

namespace vosk {

BlockList::BlockList(std::vector<BlockedSite> sites) : sites_(std::move(sites)) {
  std::size_t entries = 0;
  for (const BlockedSite& site : sites_) entries += site.domains.size();
  firstSiteByEntry_.reserve(entries);
  for (std::size_t position = 0; position < sites_.size(); ++position) {
    for (const std::string& domain : sites_[position].domains) {
      // try_emplace keeps the earliest site for an entry listed twice.
      firstSiteByEntry_.try_emplace(comparableEntry(domain), position);
    }
  }
}

const BlockedSite* BlockList::match(std::string_view host) const {
  if (firstSiteByEntry_.empty()) return nullptr;
  const std::string h = comparableHost(host);
  std::optional<std::size_t> best;
  const auto probe = [&](std::string_view candidate) {
    const auto it = firstSiteByEntry_.find(candidate);
    if (it != firstSiteByEntry_.end() && (!best || it->second < *best)) best = it->second;
  };
  // The host itself, then every parent domain: the text after each dot.
  probe(h);
  for (std::size_t dot = h.find('.'); dot != std::string::npos; dot = h.find('.', dot + 1)) {
    probe(std::string_view(h).substr(dot + 1));
  }
  return best ? &sites_[*best] : nullptr;
}

}  // namespace vosk
