#include <gtest/gtest.h>

#include <fmt/format.h>

#include <sys/stat.h>

#include <fstream>

#include <nlohmann/json.hpp>
#include <string>

#include "dashboard/html.hpp"
#include "dashboard/listen_address.hpp"
#include "dashboard/pages.hpp"
#include "dashboard/password_file.hpp"
#include "support/temporary_directory.hpp"

namespace vosk::dashboard {
namespace {

TEST(HtmlTest, MarkupInNamesRendersAsText) {
  EXPECT_EQ(escapeHtml(R"x(<img src=x onerror="a('b')">&amp;)x"),
            "&lt;img src=x onerror=&quot;a(&#39;b&#39;)&quot;&gt;&amp;amp;");
  EXPECT_EQ(escapeHtml("example.com"), "example.com");
  EXPECT_EQ(urlEncode("a b&c=d/é-._~"), "a%20b%26c%3Dd%2F%C3%A9-._~");
}

TEST(HtmlTest, BarsScaleToTheBusiestDay) {
  const std::string svg = barChartSvg({{"2026-12-06", 0}, {"2026-12-07", 3}, {"<b>", 600}}, "a \"chart\"");
  EXPECT_NE(svg.find(R"(aria-label="a &quot;chart&quot;")"), std::string::npos);
  EXPECT_NE(svg.find(R"(<rect x="0" y="120" width="198" height="0"><title>2026-12-06: 0</title>)"), std::string::npos);
  // 3 of 600 is less than a unit high and still shows.
  EXPECT_NE(svg.find(R"(<rect x="200" y="119" width="198" height="1"><title>2026-12-07: 3</title>)"), std::string::npos);
  EXPECT_NE(svg.find(R"(<rect x="400" y="0" width="198" height="120"><title>&lt;b&gt;: 600</title>)"), std::string::npos);
  EXPECT_EQ(barChartSvg({}, "none").find("<rect"), std::string::npos);
}

// Searching matches names and domains without case; a site found by a domain
// shows only the domains that match; pages hold `sitesPerPage` sites.
// The daemon searches and pages; the page counts what it left out.
TEST(SitesPageTest, PagesAndHiddenDomainsFromTheAnswer) {
  const struct {
    nlohmann::json reply;
    std::size_t pages;
    std::size_t hidden;  // of the first site
  } cases[] = {
      {{{"sites", {{{"name", "Big"}, {"domains", {"a.test", "b.test"}}, {"domainCount", 60}}}}, {"total", sitesPerPage + 1}},
       2, 58},
      {{{"sites", {{{"name", "Small"}, {"domains", {"a.test"}}, {"domainCount", 1}}}}, {"total", sitesPerPage}}, 1, 0},
      {{{"sites", nlohmann::json::array()}, {"total", 0}}, 1, 0},
  };
  for (const auto& c : cases) {
    const SitesSelection selection = sitesSelection(c.reply);
    EXPECT_EQ(selection.matches, c.reply["total"].get<std::size_t>());
    EXPECT_EQ(selection.pages, c.pages) << c.reply;
    EXPECT_EQ(selection.sites.empty() ? 0 : selection.sites[0].hidden, c.hidden) << c.reply;
  }
}

TEST(SitesPageTest, NamesRenderAsText) {
  const SitesSelection selection{{{"<i>Evil</i>", {"x.test\"><script>"}, 0}}, 1, 1};
  const std::string page = sitesPage(selection, "<q>", 0, "c5rf", {{"add", "<b>refused</b>"}});
  for (const char* markup : {"<i>", "<script>", "<q>", "<b>"}) EXPECT_EQ(page.find(markup), std::string::npos) << markup;
  EXPECT_NE(page.find("&lt;i&gt;Evil&lt;/i&gt;"), std::string::npos);
  EXPECT_NE(page.find("&lt;b&gt;refused&lt;/b&gt;"), std::string::npos);
}

// Windows by the rules the daemon applies: one running past midnight
// blocks the next morning too; an hour counts when any minute is blocked.
TEST(SchedulePageTest, BlockedHoursOfTheWeek) {
  const auto window = [](const char* days, const char* from, const char* to) {
    return config::ScheduleWindow{*config::parseDayList(days), *config::parseClockTime(from, false),
                                  *config::parseClockTime(to, true)};
  };
  const struct {
    config::Schedule schedule;
    int day;  // 0 = Sunday
    const char* hours;  // 24 characters, 1 blocked
  } cases[] = {
      {{}, 3, "111111111111111111111111"},
      {{window("mon-fri", "09:00", "17:00")}, 1, "000000000111111110000000"},
      {{window("mon-fri", "09:00", "17:00")}, 0, "000000000000000000000000"},
      {{window("sat", "22:30", "06:15")}, 6, "000000000000000000000011"},
      {{window("sat", "22:30", "06:15")}, 0, "111111100000000000000000"},
      {{window("sun", "00:00", "00:00")}, 0, "111111111111111111111111"},
      {{window("sun", "00:00", "00:00")}, 1, "000000000000000000000000"},
  };
  for (const auto& c : cases) {
    const std::bitset<24> hours = blockedHours(c.schedule)[static_cast<std::size_t>(c.day)];
    std::string shown;
    for (std::size_t hour = 0; hour < 24; ++hour) shown += hours[hour] ? '1' : '0';
    EXPECT_EQ(shown, c.hours) << "day " << c.day;
  }
}

TEST(HistoryPageTest, SitesCountedAndHostsShownAsText) {
  const nlohmann::json reply = {
      {"total", 6},
      {"counts",
       {{{"bucket", "2026-12-07"}, {"site", "Video"}, {"count", 2}},
        {{"bucket", "2026-12-08"}, {"site", "Video"}, {"count", 3}},
        {{"bucket", "2026-12-08"}, {"site", ""}, {"count", 1}}}},
      {"last", {{{"time", "2026-12-08T10:00:00Z"}, {"kind", "tls"}, {"site", "Video"}, {"host", "<b>x.test"}}}}};
  const std::string page = historyPage(reply, 7, "c5rf");
  EXPECT_NE(page.find("<tr><td>Video</td><td>5</td></tr><tr><td>(QUIC)</td><td>1</td></tr>"), std::string::npos);
  EXPECT_NE(page.find("&lt;b&gt;x.test"), std::string::npos);
  EXPECT_EQ(page.find("<b>x"), std::string::npos);
}

TEST(ListenAddressTest, NumericAddressesWithPortsOnly) {
  const struct {
    const char* text;
    const char* host;  // nullptr: refused
    int port;
    bool loopback;
  } cases[] = {
      {"127.0.0.1:8093", "127.0.0.1", 8093, true},
      {"127.8.9.1:1", "127.8.9.1", 1, true},
      {"[::1]:8093", "::1", 8093, true},
      {"198.18.0.1:443", "198.18.0.1", 443, false},
      {"[2001:db8::1]:65535", "2001:db8::1", 65535, false},
      {"0.0.0.0:8093", "0.0.0.0", 8093, false},
      {"localhost:8093", nullptr, 0, false},
      {"::1:8093", nullptr, 0, false},
      {"127.0.0.1", nullptr, 0, false},
      {"127.0.0.1:0", nullptr, 0, false},
      {"127.0.0.1:65536", nullptr, 0, false},
      {"127.0.0.1:80x", nullptr, 0, false},
      {"[]:80", nullptr, 0, false},
  };
  for (const auto& c : cases) {
    const std::optional<ListenAddress> parsed = parseListenAddress(c.text);
    ASSERT_EQ(parsed.has_value(), c.host != nullptr) << c.text;
    if (!parsed) continue;
    EXPECT_EQ(parsed->host, c.host) << c.text;
    EXPECT_EQ(parsed->port, c.port) << c.text;
    EXPECT_EQ(parsed->loopback, c.loopback) << c.text;
  }
}

TEST(ListenAddressTest, OriginMustBeThisServerUnderItsScheme) {
  const struct {
    const char* origin;
    const char* host;
    bool tls;
    bool same;
  } cases[] = {
      {"http://127.0.0.1:8093", "127.0.0.1:8093", false, true},
      {"https://198.18.0.1:8093", "198.18.0.1:8093", true, true},
      {"http://198.18.0.1:8093", "198.18.0.1:8093", true, false},
      {"http://evil.example:8093", "127.0.0.1:8093", false, false},
      {"null", "127.0.0.1:8093", false, false},
      {"", "127.0.0.1:8093", false, false},
      {"http://", "", false, false},
  };
  for (const auto& c : cases) EXPECT_EQ(sameOrigin(c.origin, c.host, c.tls), c.same) << c.origin;
}

TEST(PasswordFileTest, StoredAsAHashReadableByTheGroupOnly) {
  ASSERT_TRUE(startSodium());
  test::TemporaryDirectory directory;
  const std::string path = passwordPathBeside(directory.path() + "/config.json");
  EXPECT_EQ(path, directory.path() + "/dashboard-password");
  EXPECT_FALSE(readPasswordHash(path));

  const std::optional<std::string> hash = hashPassword("correct horse");
  ASSERT_TRUE(hash);
  EXPECT_TRUE(hash->starts_with("$argon2id$"));
  ASSERT_FALSE(storePasswordHash(path, *hash));
  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640U);
  ASSERT_EQ(readPasswordHash(path), hash);
  EXPECT_TRUE(passwordMatches(*hash, "correct horse"));
  EXPECT_FALSE(passwordMatches(*hash, "correct horse "));
  EXPECT_FALSE(passwordMatches("not a hash", ""));

  std::ofstream(path) << "\n";
  EXPECT_FALSE(readPasswordHash(path));
}

}  // namespace
}  // namespace vosk::dashboard
