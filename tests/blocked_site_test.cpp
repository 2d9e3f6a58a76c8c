#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "model/blocked_site.hpp"
#include "model/site_block_list_manager.hpp"
#include "support/fake_flows.hpp"

namespace vosk::test {
namespace {

constexpr const char* kId = "3f2504e0-4f89-41d3-9a0c-0305e82c3301";
constexpr const char* kIdUpper = "3F2504E0-4F89-41D3-9A0C-0305E82C3301";

std::optional<BlockedSite> decode(const char* json) { return decodeBlockedSite(nlohmann::json::parse(json)); }

TEST(UuidTest, ParsesEitherCaseAndWritesUpperCase) {
  const auto lower = Uuid::fromString(kId);
  const auto upper = Uuid::fromString(kIdUpper);
  ASSERT_TRUE(lower && upper);
  EXPECT_EQ(*lower, *upper);
  EXPECT_EQ(lower->toString(), kIdUpper);
  for (const char* bad : {"", "3f2504e04f8941d39a0c0305e82c3301", "3f2504e0-4f89-41d3-9a0c-0305e82c330",
                          "3f2504e0-4f89-41d3-9a0c-0305e82c33011", "3f2504e0_4f89-41d3-9a0c-0305e82c3301",
                          "3g2504e0-4f89-41d3-9a0c-0305e82c3301", "{3f2504e0-4f89-41d3-9a0c-0305e82c3301}"}) {
    EXPECT_FALSE(Uuid::fromString(bad)) << bad;
  }
}

// Extra members dropped, entries kept exactly as decoded (no trimming, case
// or de-duplication), written back with the id in upper case.
TEST(BlockedSiteTest, DecodesKeepingEntriesAsTheyAre) {
  const auto site = decode(R"({"id":"3f2504e0-4f89-41d3-9a0c-0305e82c3301","name":"Social",
                               "domains":[" Example.COM ","fb.com","fb.com"],"color":"blue"})");
  ASSERT_TRUE(site);
  EXPECT_EQ(site->name, "Social");
  EXPECT_EQ(site->domains, (std::vector<std::string>{" Example.COM ", "fb.com", "fb.com"}));
  const nlohmann::json encoded = encodeBlockedSite(*site);
  EXPECT_EQ(encoded, nlohmann::json::parse(R"({"id":"3F2504E0-4F89-41D3-9A0C-0305E82C3301","name":"Social",
                                               "domains":[" Example.COM ","fb.com","fb.com"]})"));
  EXPECT_EQ(decodeBlockedSiteList(bytesOf("[" + encoded.dump() + "]")), std::vector<BlockedSite>{*site});
}

TEST(BlockedSiteTest, RejectsMissingNullMistypedAndMiscasedMembers) {
  for (const char* json : {
           R"({"name":"n","domains":[]})",
           R"({"id":"3f2504e0-4f89-41d3-9a0c-0305e82c3301","domains":[]})",
           R"({"id":"3f2504e0-4f89-41d3-9a0c-0305e82c3301","name":"n"})",
           R"({"id":"3f2504e0-4f89-41d3-9a0c-0305e82c3301","name":null,"domains":[]})",
           R"({"id":null,"name":"n","domains":[]})",
           R"({"id":"3f2504e0-4f89-41d3-9a0c-0305e82c3301","name":"n","domains":null})",
           R"({"id":"3f2504e0-4f89-41d3-9a0c-0305e82c3301","name":7,"domains":[]})",
           R"({"id":"3f2504e0-4f89-41d3-9a0c-0305e82c3301","name":"n","domains":["a.com",1]})",
           R"({"id":"3f2504e0-4f89-41d3-9a0c-0305e82c3301","name":"n","domains":"a.com"})",
           R"({"id":"not-a-uuid","name":"n","domains":[]})",
           R"({"id":"3f2504e0-4f89-41d3-9a0c-0305e82c3301","Name":"n","domains":[]})",
           R"(["3f2504e0-4f89-41d3-9a0c-0305e82c3301","n",[]])",
       }) {
    EXPECT_FALSE(decode(json)) << json;
  }
}

TEST(BlockedSiteTest, ListDecodeIsAllOrNothing) {
  EXPECT_EQ(decodeBlockedSiteList(bytesOf("[]")), std::vector<BlockedSite>{});
  EXPECT_FALSE(decodeBlockedSiteList(bytesOf(
      R"([{"id":"3f2504e0-4f89-41d3-9a0c-0305e82c3301","name":"a","domains":["a.com"]},
          {"id":"3f2504e0-4f89-41d3-9a0c-0305e82c3302","name":"b"}])")));
  for (const char* bad : {"", "{", "{}", "null", "[1]", "[] []", "\xff"}) {
    EXPECT_FALSE(decodeBlockedSiteList(bytesOf(bad))) << bad;
  }
}

TEST(BlockedSiteTest, TextsAreEqualUnderCanonicalEquivalence) {
  const Uuid id = *Uuid::fromString(kId);
  const BlockedSite precomposed{id, "Caf\xC3\xA9", {"caf\xC3\xA9.fr", "\xE2\x84\xAA.org"}};  // é, KELVIN SIGN
  EXPECT_EQ(precomposed, (BlockedSite{id, "Cafe\xCC\x81", {"cafe\xCC\x81.fr", "K.org"}}));
  // Equivalence is not case folding, and accents still count.
  EXPECT_NE(precomposed, (BlockedSite{id, "CAF\xC3\x89", {"caf\xC3\xA9.fr", "\xE2\x84\xAA.org"}}));
  EXPECT_NE(precomposed, (BlockedSite{id, "Caf\xC3\xA9", {"cafe.fr", "\xE2\x84\xAA.org"}}));
  EXPECT_NE(precomposed, (BlockedSite{id, "Caf\xC3\xA9", {"caf\xC3\xA9.fr", "k.org"}}));
}

TEST(SiteBlockListManagerTest, SignalsBeforeEveryStoreEvenForEqualValuesUntilUnsubscribed) {
  SiteBlockListManager manager;
  std::vector<std::string> seen;
  const auto token = manager.objectWillChange().subscribe([&] {
    seen.push_back("sites=" + std::to_string(manager.sites().size()) +
                   " blocking=" + (manager.isBlockingEnabled() ? "on" : "off"));
  });
  const Uuid id = *Uuid::fromString(kId);
  manager.setSites({BlockedSite{id, "a", {"a.com"}}});
  manager.setBlockingEnabled(true);
  manager.setBlockingEnabled(true);
  // Each signal saw the value from before its own store.
  EXPECT_EQ(seen, (std::vector<std::string>{"sites=0 blocking=off", "sites=1 blocking=off", "sites=1 blocking=on"}));
  EXPECT_EQ(manager.sites().size(), 1u);
  EXPECT_TRUE(manager.isBlockingEnabled());
  manager.objectWillChange().unsubscribe(token);
  manager.setBlockingEnabled(false);
  EXPECT_EQ(seen.size(), 3u);
}

}  // namespace
}  // namespace vosk::test
