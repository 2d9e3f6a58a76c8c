#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "model/site_block_list_manager.hpp"
#include "policy/block_list.hpp"
#include "support/test_platform.hpp"

namespace vosk::test {
namespace {

constexpr unsigned kSeed = 20240611;
constexpr int kLists = 10000;
constexpr int kHostsPerList = 10;

// Few and short, so that equal names, parent domains and case or
// normalisation variants of one another come up all the time. One label in
// four is non-ASCII: enough to cover ICU's path, few enough to keep it fast.
constexpr std::array<const char*, 7> kAsciiLabels = {"a", "b", "ab", "A", "aB", "*", ""};
constexpr std::array<const char*, 9> kUnicodeLabels = {
    "\xC3\xA9",      // é
    "e\xCC\x81",     // e + combining acute
    "\xC3\x89",      // É
    "\xCE\xA3",      // Σ
    "\xCF\x82",      // ς
    "\xCF\x83",      // σ
    "\xC4\xB0",      // İ
    "i\xCC\x87",     // i + combining dot above
    "\xE2\x84\xAA",  // KELVIN SIGN
};

class Generator {
 public:
  // 0-3 labels, now and then with one or two trailing dots.
  std::string name() {
    std::string text;
    const int labels = pick(4);
    for (int i = 0; i < labels; ++i) {
      if (i > 0) text += '.';
      text += pick(4) == 0 ? kUnicodeLabels[pick(kUnicodeLabels.size())] : kAsciiLabels[pick(kAsciiLabels.size())];
    }
    const int ending = pick(8);
    if (ending == 0) text += '.';
    if (ending == 1) text += "..";
    return text;
  }

  // 0-4 sites of 0-3 entries each; every site has its own id.
  std::vector<BlockedSite> list() {
    std::vector<BlockedSite> sites;
    const int count = pick(5);
    for (int position = 0; position < count; ++position) {
      std::vector<std::string> domains;
      const int entries = pick(4);
      for (int i = 0; i < entries; ++i) domains.push_back(name());
      sites.push_back(makeSite(position, "site", std::move(domains)));
    }
    return sites;
  }

  // Half of the hosts are one of the entries, or a subdomain of one, in
  // varied letter case; the rest are random names.
  std::string host(const std::vector<std::string_view>& entries) {
    if (entries.empty() || pick(2) == 0) return name();
    std::string text(entries[pick(entries.size())]);
    if (pick(2) == 0) text = name() + "." + text;
    for (char& c : text) {
      if (c >= 'a' && c <= 'z' && pick(3) == 0) c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
  }

 private:
  int pick(std::size_t bound) { return std::uniform_int_distribution<int>(0, static_cast<int>(bound) - 1)(random_); }

  std::mt19937 random_{kSeed};
};

std::string describe(const std::vector<BlockedSite>& sites) {
  std::string text;
  for (const BlockedSite& site : sites) {
    text += "[";
    for (const std::string& domain : site.domains) text += "\"" + domain + "\" ";
    text += "] ";
  }
  return text;
}

TEST(BlockListEquivalenceTest, IndexReturnsTheSiteOfTheLinearRule) {
  Generator generate;
  int matched = 0;
  for (int list = 0; list < kLists; ++list) {
    const std::vector<BlockedSite> sites = generate.list();
    const BlockList index(sites);
    std::vector<std::string_view> entries;
    for (const BlockedSite& site : sites) entries.insert(entries.end(), site.domains.begin(), site.domains.end());
    for (int i = 0; i < kHostsPerList; ++i) {
      const std::string host = generate.host(entries);
      // Every site of a list has its own id, so the id tells which one matched.
      const std::optional<BlockedSite> linear = SiteBlockListManager::matchBlockedSite(host, sites);
      const auto expected = linear ? std::optional(linear->id.toString()) : std::nullopt;
      const BlockedSite* found = index.match(host);
      ASSERT_EQ(found ? std::optional(found->id.toString()) : std::nullopt, expected)
          << "host \"" << host << "\" list " << describe(sites);
      matched += expected.has_value();
    }
  }
  // The generator must make matches common, or the comparison proves little.
  EXPECT_GT(matched, kLists * kHostsPerList / 5);
}

}  // namespace
}  // namespace vosk::test
