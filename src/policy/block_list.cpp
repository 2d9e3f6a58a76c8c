#include "policy/block_list.hpp"

#include <algorithm>
#include <bit>
#include <functional>

#include "model/host_text.hpp"

namespace vosk {
namespace {

// Slots per distinct entry, at least: keeps probe runs short.
constexpr std::size_t kSlotsPerEntry = 2;

std::uint64_t hashOf(std::string_view text) { return std::hash<std::string_view>{}(text); }

}  // namespace

BlockList::BlockList(std::vector<BlockedSite> sites) : sites_(std::move(sites)) {
  std::size_t entries = 0;
  std::size_t textLength = 0;
  for (const BlockedSite& site : sites_) {
    entries += site.domains.size();
    for (const std::string& domain : site.domains) textLength += domain.size();
  }
  if (entries == 0) return;
  slots_.resize(std::bit_ceil(entries * kSlotsPerEntry));
  entryTexts_.reserve(textLength);

  for (std::size_t position = 0; position < sites_.size(); ++position) {
    for (const std::string& domain : sites_[position].domains) {
      const std::string entry = comparableEntry(domain);
      const std::uint64_t hash = hashOf(entry);
      Slot& slot = slots_[slotFor(entry, hash)];
      // An entry listed again keeps its earliest site.
      if (slot.site != kNoSite) continue;
      slot = Slot{hash, entryTexts_.size(), entry.size(), position};
      entryTexts_ += entry;
    }
  }
}

std::size_t BlockList::slotFor(std::string_view entry, std::uint64_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.site == kNoSite) return i;
    if (slot.hash == hash && std::string_view(entryTexts_).substr(slot.offset, slot.length) == entry) return i;
  }
}

std::size_t BlockList::firstSiteListing(std::string_view entry) const {
  return slots_[slotFor(entry, hashOf(entry))].site;
}

const BlockedSite* BlockList::match(std::string_view host) const {
  if (slots_.empty()) return nullptr;
  const std::string h = comparableHost(host);
  // The host itself, then every parent domain: the text after each dot.
  std::size_t first = firstSiteListing(h);
  for (std::size_t dot = h.find('.'); dot != std::string::npos; dot = h.find('.', dot + 1)) {
    first = std::min(first, firstSiteListing(std::string_view(h).substr(dot + 1)));
  }
  return first == kNoSite ? nullptr : &sites_[first];
}

}  // namespace vosk
