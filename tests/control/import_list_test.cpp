#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/import_list.hpp"

namespace vosk::control {
namespace {

using Names = std::vector<std::string>;

TEST(ImportListTest, ReadsHostsAdblockAndPlainLists) {
  const ImportedNames hosts = importNames(
      "# a hosts file\r\n"
      "127.0.0.1 localhost\r\n"
      "::1 ip6-localhost ip6-loopback\r\n"
      "0.0.0.0 ads.test tracker.test   # two names\r\n"
      "127.0.0.1\tpixel.test\r\n"
      "::1 v6.test\r\n"
      "\r\n",
      {});
  EXPECT_EQ(hosts.added, (Names{"ads.test", "tracker.test", "pixel.test", "v6.test"}));
  EXPECT_EQ(hosts.linesRead, 7u);
  EXPECT_EQ(hosts.skipped, 3u);  // the machine's own names

  const ImportedNames adblock = importNames(
      "[Adblock Plus 2.0]\n"
      "! a comment\n"
      "||ads.test^\n"
      "||third.test^$third-party\n"
      "||path.test/banner^\n"
      "@@||allowed.test^\n"
      "news.test##.banner\n"
      "||Tracker.TEST^\n",
      {});
  EXPECT_EQ(adblock.added, (Names{"ads.test", "tracker.test"}));
  EXPECT_EQ(adblock.skipped, 5u);
  ASSERT_EQ(adblock.firstSkipped.size(), 5u);
  EXPECT_EQ(adblock.firstSkipped[1].line, 4u);
  EXPECT_EQ(adblock.firstSkipped[1].reason, "an adblock rule with options or a path");
  EXPECT_EQ(adblock.firstSkipped[3].reason, "an exception rule");
  EXPECT_EQ(adblock.firstSkipped[4].reason, "an element-hiding rule");

  const ImportedNames plain = importNames("one.test\n*.two.test\nthree.test.", {});
  EXPECT_EQ(plain.added, (Names{"one.test", "two.test", "three.test"}));
  EXPECT_EQ(plain.linesRead, 3u);
}

// Nothing is added that the list would already block: repeats (in any case,
// with or without the trailing dot), names under a parent domain listed
// before or after them, and names the block list has already.
TEST(ImportListTest, FoldsRepeatsAndNamesUnderListedParents) {
  const ImportedNames imported = importNames(
      "www.video.test\n"
      "video.test\n"
      "VIDEO.test.\n"
      "cdn.static.video.test\n"
      "other.test\n"
      "mail.example.test\n"
      "known.test\n"
      "notvideo.test\n",
      {"example.test", "Known.Test."});
  EXPECT_EQ(imported.added, (Names{"video.test", "other.test", "notvideo.test"}));
  EXPECT_EQ(imported.folded, 5u);
  EXPECT_EQ(imported.skipped, 0u);
}

TEST(ImportListTest, InternationalNamesAndBadLines) {
  const ImportedNames imported = importNames(
      "bücher.test\n"
      "0.0.0.0 MÜNCHEN.test\n"
      "two words.test\n"
      "bad..name.test\n"
      "192.168.1.10 printer.test\n"
      "0.0.0.0\n"
      "under_score.test\n"
      "x.test\n"
      "y.test\n",
      {});
  EXPECT_EQ(imported.added, (Names{"xn--bcher-kva.test", "xn--mnchen-3ya.test", "under_score.test", "x.test", "y.test"}));
  EXPECT_EQ(imported.skipped, 4u);
  ASSERT_EQ(imported.firstSkipped.size(), 4u);
  EXPECT_EQ(imported.firstSkipped[0].line, 3u);
  EXPECT_EQ(imported.firstSkipped[0].reason, "more than one word");
  EXPECT_EQ(imported.firstSkipped[1].reason, "\"bad..name.test\": it has an empty label");
  EXPECT_EQ(imported.firstSkipped[2].reason, "it maps names to 192.168.1.10, not to a blocking address");
  EXPECT_EQ(imported.firstSkipped[3].reason, "an address without a name");

  // Only the first few are kept for the summary; all are counted.
  std::string many;
  for (int i = 0; i < 8; ++i) many += "a b\n";
  const ImportedNames manyBad = importNames(many, {});
  EXPECT_EQ(manyBad.skipped, 8u);
  EXPECT_EQ(manyBad.firstSkipped.size(), kSkippedLinesShown);
  EXPECT_EQ(manyBad.firstSkipped.back().line, kSkippedLinesShown);
}

}  // namespace
}  // namespace vosk::control
