#include <gtest/gtest.h>

#include "model/site_block_list_manager.hpp"
#include "policy/block_list.hpp"
#include "support/test_platform.hpp"

namespace vosk::test {
namespace {

// Both forms of the rule must give the same site.
std::optional<std::string> matchedName(std::string_view host, const std::vector<BlockedSite>& sites) {
  const auto linear = SiteBlockListManager::matchBlockedSite(host, sites);
  const BlockList list(sites);
  const BlockedSite* indexed = list.match(host);
  EXPECT_EQ(linear.has_value(), indexed != nullptr) << host;
  if (linear && indexed) {
    EXPECT_EQ(*linear, *indexed) << host;
  }
  return linear ? std::optional<std::string>(linear->name) : std::nullopt;
}

TEST(BlockListTest, MatchesTheDomainAndItsSubdomainsOnly) {
  const std::vector<BlockedSite> sites{makeSite(1, "social", {"facebook.com"})};
  EXPECT_EQ(matchedName("facebook.com", sites), "social");
  EXPECT_EQ(matchedName("WWW.FaceBook.com", sites), "social");
  EXPECT_EQ(matchedName("a.b.c.facebook.com", sites), "social");
  EXPECT_EQ(matchedName("notfacebook.com", sites), std::nullopt);
  EXPECT_EQ(matchedName("facebook.com.evil.net", sites), std::nullopt);
  EXPECT_EQ(matchedName("com", sites), std::nullopt);
  EXPECT_EQ(matchedName("", sites), std::nullopt);
}

TEST(BlockListTest, EntriesAreUsedAsStored) {
  const std::vector<BlockedSite> sites{makeSite(1, "upper", {"Example.com"}), makeSite(2, "star", {"*.test"})};
  EXPECT_EQ(matchedName("example.com", sites), std::nullopt);
  EXPECT_EQ(matchedName("Example.com", sites), std::nullopt);
  EXPECT_EQ(matchedName("a.test", sites), std::nullopt);
  EXPECT_EQ(matchedName("x.*.test", sites), "star");
}

TEST(BlockListTest, OneTrailingDotNamesTheSameHost) {
  const std::vector<BlockedSite> sites{makeSite(1, "plain", {"example.com"}), makeSite(2, "dotted", {"dotted.org."})};
  EXPECT_EQ(matchedName("example.com.", sites), "plain");
  EXPECT_EQ(matchedName("www.example.com.", sites), "plain");
  EXPECT_EQ(matchedName("dotted.org", sites), "dotted");
  EXPECT_EQ(matchedName("example.com..", sites), std::nullopt);
}

TEST(BlockListTest, FirstSiteInListOrderWinsAndEmptySitesNeverMatch) {
  const std::vector<BlockedSite> sites{makeSite(1, "none", {}), makeSite(2, "broad", {"z.example.com", "example.com"}),
                                       makeSite(3, "narrow", {"www.example.com"})};
  EXPECT_EQ(matchedName("www.example.com", sites), "broad");
  EXPECT_EQ(matchedName("anything", {}), std::nullopt);
}

TEST(BlockListTest, EmptyEntryMatchesOnlyTheEmptyHostOrAHostEndingInADot) {
  const std::vector<BlockedSite> sites{makeSite(1, "empty", {""})};
  EXPECT_EQ(matchedName("", sites), "empty");
  EXPECT_EQ(matchedName(".", sites), "empty");
  EXPECT_EQ(matchedName("a", sites), std::nullopt);
  // One trailing dot is dropped first, so only a second one is left to match.
  EXPECT_EQ(matchedName("a.", sites), std::nullopt);
  EXPECT_EQ(matchedName("a..", sites), "empty");
}

TEST(BlockListTest, UnicodeHostsAreLowerCasedAndCanonicallyCompared) {
  const std::vector<BlockedSite> sites{makeSite(1, "cafe", {"caf\xC3\xA9.fr"})};  // NFC é
  EXPECT_EQ(matchedName("CAF\xC3\x89.FR", sites), "cafe");                        // É
  EXPECT_EQ(matchedName("www.cafe\xCC\x81.fr", sites), "cafe");                   // e + combining acute
  EXPECT_EQ(matchedName("cafe.fr", sites), std::nullopt);
}

}  // namespace
}  // namespace vosk::test
