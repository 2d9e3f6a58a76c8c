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
  const std::vector<BlockedSite> sites{makeSite(1, "cafe", {"caf\xC3\xA9.fr"}),  // NFC é
                                       makeSite(2, "kelvin", {"\xE2\x84\xAA.org", "k.org"})};
  EXPECT_EQ(matchedName("CAF\xC3\x89.FR", sites), "cafe");       // É
  EXPECT_EQ(matchedName("www.cafe\xCC\x81.fr", sites), "cafe");  // e + combining acute
  EXPECT_EQ(matchedName("cafe.fr", sites), std::nullopt);
  // KELVIN SIGN is canonically "K": as an entry it is upper case and never
  // matches, in a host it lower-cases to "k".
  EXPECT_EQ(matchedName("www.\xE2\x84\xAA.ORG", sites), "kelvin");
  EXPECT_EQ(matchedName("x.\xE2\x84\xAA.org", {makeSite(3, "sign only", {"\xE2\x84\xAA.org"})}), std::nullopt);
}

TEST(BlockListTest, LowerCasingIsFullAndTakesTheWholeHost) {
  // Root locale: "İ" becomes "i" + combining dot above, not the dotless or plain "i".
  const std::vector<BlockedSite> dotted{makeSite(1, "dotted", {"i\xCC\x87zmi\xCC\x87r.tr"})};
  EXPECT_EQ(matchedName("\xC4\xB0ZM\xC4\xB0R.TR", dotted), "dotted");
  EXPECT_EQ(matchedName("IZMIR.TR", dotted), std::nullopt);
  // A capital sigma is final only where no letter follows, dots skipped: so
  // at the end of the whole host, not at the end of an inner label.
  const std::vector<BlockedSite> sigma{makeSite(1, "final", {"\xCE\xBF\xCE\xB4\xCF\x82"}),     // οδς
                                       makeSite(2, "medial", {"\xCE\xBF\xCE\xB4\xCF\x83.gr"})};  // οδσ.gr
  EXPECT_EQ(matchedName("\xCE\x9F\xCE\x94\xCE\xA3", sigma), "final");
  EXPECT_EQ(matchedName("www.\xCE\x9F\xCE\x94\xCE\xA3.", sigma), "final");
  EXPECT_EQ(matchedName("\xCE\x9F\xCE\x94\xCE\xA3.GR", sigma), "medial");
}

TEST(BlockListTest, SubdomainsSplitAtADotNeverInsideACharacter) {
  // The acute belongs to the "q" before it, so the host is no subdomain of an
  // entry that starts with the mark; after a dot the mark starts the label.
  const std::vector<BlockedSite> sites{makeSite(1, "mark", {"\xCC\x81.com"})};
  EXPECT_EQ(matchedName("q\xCC\x81.com", sites), std::nullopt);
  EXPECT_EQ(matchedName("q.\xCC\x81.com", sites), "mark");
  // Precomposed and decomposed forms meet at label starts as well.
  const std::vector<BlockedSite> accented{makeSite(2, "accented", {"e\xCC\x81t\xC3\xA9.fr"})};
  EXPECT_EQ(matchedName("a.\xC3\xA9te\xCC\x81.fr", accented), "accented");
  EXPECT_EQ(matchedName("a.e.fr", {makeSite(3, "plain", {"\xC3\xA9.fr"})}), std::nullopt);
}

TEST(BlockListTest, IllFormedUtf8IsReadAsReplacementCharacters) {
  const std::vector<BlockedSite> sites{makeSite(1, "social", {"facebook.com"})};
  // Bad bytes before a listed domain do not shield it, nor stop lower-casing.
  EXPECT_EQ(matchedName("\xFF.FACEBOOK.com", sites), "social");
  EXPECT_EQ(matchedName("facebook.com\xC3", sites), std::nullopt);
  EXPECT_EQ(matchedName("a\xFF", {makeSite(2, "replacement", {"a\xEF\xBF\xBD"})}), "replacement");
}

}  // namespace
}  // namespace vosk::test
