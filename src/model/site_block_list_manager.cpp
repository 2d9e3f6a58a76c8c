#include "model/site_block_list_manager.hpp"

#include <algorithm>
#include <string>

#include "model/host_text.hpp"

namespace vosk {

ObjectWillChange::Token ObjectWillChange::subscribe(Observer observer) {
  observers_.emplace_back(nextToken_, std::move(observer));
  return nextToken_++;
}

void ObjectWillChange::unsubscribe(Token token) {
  std::erase_if(observers_, [token](const auto& entry) { return entry.first == token; });
}

void ObjectWillChange::send() const {
  for (const auto& [token, observer] : observers_) observer();
}

void SiteBlockListManager::setSites(std::vector<BlockedSite> sites) {
  objectWillChange_.send();
  sites_ = std::move(sites);
}

void SiteBlockListManager::setBlockingEnabled(bool enabled) {
  objectWillChange_.send();
  isBlockingEnabled_ = enabled;
}

std::optional<BlockedSite> SiteBlockListManager::matchBlockedSite(std::string_view host,
                                                                  const std::vector<BlockedSite>& sites) {
  const std::string h = comparableHost(host);
  for (const BlockedSite& site : sites) {
    for (const std::string& domain : site.domains) {
      const std::string d = comparableEntry(domain);
      if (h == d) return site;
      if (h.size() > d.size() && h.ends_with(d) && h[h.size() - d.size() - 1] == '.') return site;
    }
  }
  return std::nullopt;
}

}  // namespace vosk
