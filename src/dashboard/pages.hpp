#pragma once

#include <nlohmann/json_fwd.hpp>

#include <array>
#include <bitset>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "config/schedule.hpp"
#include "dashboard/html.hpp"
#include "dashboard/sessions.hpp"

namespace vosk::dashboard {

// Notices (sessions.hpp): what came of a change, in plain words, shown next
// to the form that asked for it (keyed by the form's action: "on", "pause", ...).

// Before a password is set: how to set one, and nothing else.
std::string setupPage(const std::string& passwordPath);
std::string loginPage(std::string_view notice);
// `status` as the Status call answers it; `days` the blocked attempts of
// the chart's days, or `historyProblem` why there are none to show.
std::string overviewPage(const nlohmann::json& status, const std::vector<Bar>& days,
                         std::string_view historyProblem, const std::string& csrf, const Notices& notices);
inline constexpr std::size_t sitesPerPage = 20;
inline constexpr std::size_t domainsShownPerSite = 50;

// One page of a Sites search as ListSites answers it: the page's sites, each
// with `domainCount` domains listed in all, and the `total` that match.
struct SiteRows {
  std::string name;
  std::vector<std::string> domains;
  std::size_t hidden = 0;  // matching domains not shown
};
struct SitesSelection {
  std::vector<SiteRows> sites;
  std::size_t matches = 0;  // sites, on all pages
  std::size_t pages = 1;
};
SitesSelection sitesSelection(const nlohmann::json& reply);

std::string sitesPage(const SitesSelection& selection, std::string_view query, std::size_t page,
                      const std::string& csrf, const Notices& notices);

// The hours of the week a schedule blocks, by weekday (0 = Sunday, as
// ScheduleWindow counts) and hour: an hour counts when any minute of it is
// blocked. No schedule blocks every hour.
using WeekGrid = std::array<std::bitset<24>, 7>;
WeekGrid blockedHours(const config::Schedule& schedule);

// `windows` as Status lists them.
std::string schedulePage(const nlohmann::json& windows, const std::string& csrf, const Notices& notices);

inline constexpr std::size_t sitesCharted = 20;
// `reply` as History answers it for the last `days` days.
std::string historyPage(const nlohmann::json& reply, int days, const std::string& csrf);

// An error page: the status's words and what to do.
std::string messagePage(std::string_view title, std::string_view message);

}  // namespace vosk::dashboard
