#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "model/blocked_site.hpp"

namespace vosk {

// A value that announces every assignment to its observers before storing it,
// also when the new value equals the old one.
class ObjectWillChange {
 public:
  using Observer = std::function<void()>;
  using Token = std::size_t;

  Token subscribe(Observer observer);
  void unsubscribe(Token token);
  void send() const;

 private:
  std::vector<std::pair<Token, Observer>> observers_;
  Token nextToken_ = 0;
};

// The observable holder of a block list and its switch, and the home of the
// matching rule. Not safe for concurrent use.
class SiteBlockListManager {
 public:
  const std::vector<BlockedSite>& sites() const { return sites_; }
  void setSites(std::vector<BlockedSite> sites);
  bool isBlockingEnabled() const { return isBlockingEnabled_; }
  void setBlockingEnabled(bool enabled);

  ObjectWillChange& objectWillChange() { return objectWillChange_; }

  // The first site, in list order, with a domain equal to the host or a parent
  // domain of it. The host is lower-cased; entries are used as stored. This is
  // the plain linear rule, kept as the reference that BlockList's index is
  // tested against; the provider matches through BlockList.
  static std::optional<BlockedSite> matchBlockedSite(std::string_view host,
                                                     const std::vector<BlockedSite>& sites);

 private:
  ObjectWillChange objectWillChange_;
  std::vector<BlockedSite> sites_;
  bool isBlockingEnabled_ = false;
};

}  // namespace vosk
