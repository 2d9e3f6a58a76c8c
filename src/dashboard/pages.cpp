#include "dashboard/pages.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>

#include "ctl/control_client.hpp"

namespace vosk::dashboard {
namespace {

using Json = nlohmann::json;

std::string document(std::string_view title, std::string_view navigation, std::string_view body) {
  return fmt::format(R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{} · vosk-filter</title>
<link rel="stylesheet" href="/assets/style.css"><script src="/assets/dashboard.js" defer></script>
</head><body><header><strong>vosk-filter</strong>{}</header><main>
{}</main></body></html>
)",
                     escapeHtml(title), navigation, body);
}

std::string csrfField(const std::string& csrf) {
  return fmt::format(R"(<input type="hidden" name="csrf" value="{}">)", escapeHtml(csrf));
}

std::string navigation(std::string_view current, const std::string& csrf) {
  std::string links;
  for (const auto& [path, name] : {std::pair{"/", "Overview"}, std::pair{"/sites", "Sites"},
                                   std::pair{"/schedule", "Schedule"}, std::pair{"/history", "History"}}) {
    links += fmt::format(R"(<a href="{}"{}>{}</a>)", path, name == current ? R"( aria-current="page")" : "", name);
  }
  return fmt::format(R"(<nav>{}<form method="post" action="/logout">{}<button>Log out</button></form></nav>)", links,
                     csrfField(csrf));
}

std::string text(const Json& value, const char* key) {
  const auto it = value.find(key);
  return it != value.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// A form posting one action to `target`, its notice (if any) beside it.
std::string actionForm(const char* target, const std::string& action, const std::string& csrf, std::string_view fields,
                       std::string_view button, const Notices& notices) {
  const auto notice = notices.find(action);
  return fmt::format(
      R"(<form method="post" action="{}" class="action">{}<input type="hidden" name="do" value="{}">{})"
      R"(<button>{}</button>{}</form>)",
      target, csrfField(csrf), escapeHtml(action), fields, escapeHtml(button),
      notice == notices.end() ? "" : fmt::format(R"(<p class="notice" role="status">{}</p>)", escapeHtml(notice->second)));
}
std::string actionForm(const std::string& action, const std::string& csrf, std::string_view fields,
                       std::string_view button, const Notices& notices) {
  return actionForm("/action", action, csrf, fields, button, notices);
}

// The search and page a Sites form came from, so that its answer shows the same.
std::string placeFields(std::string_view query, std::size_t page) {
  return fmt::format(R"(<input type="hidden" name="q" value="{}"><input type="hidden" name="page" value="{}">)",
                     escapeHtml(query), page);
}

std::string durationChoice(const char* name, const char* label,
                           std::initializer_list<std::pair<const char*, const char*>> choices, const char* hint) {
  std::string options;
  for (const auto& [value, shown] : choices) options += fmt::format(R"(<option value="{}">{}</option>)", value, shown);
  return fmt::format(R"(<label>{} <select name="{}">{}<option value="custom">custom</option></select></label>)"
                     R"(<label>custom <input name="custom" size="6" placeholder="{}"></label>)",
                     label, name, options, hint);
}

}  // namespace

SitesSelection sitesSelection(const Json& reply) {
  SitesSelection selection;
  for (const Json& site : reply.value("sites", Json::array())) {
    std::vector<std::string> domains = site.value("domains", std::vector<std::string>());
    const std::size_t hidden = site.value("domainCount", domains.size()) - domains.size();
    selection.sites.push_back({text(site, "name"), std::move(domains), hidden});
  }
  selection.matches = reply.value("total", std::size_t{0});
  selection.pages = std::max<std::size_t>(1, (selection.matches + sitesPerPage - 1) / sitesPerPage);
  return selection;
}

std::string sitesPage(const SitesSelection& selection, std::string_view query, std::size_t page,
                      const std::string& csrf, const Notices& notices) {
  const std::string place = placeFields(query, page);
  std::string body = fmt::format(
      R"(<h1>Sites</h1><form method="get" action="/sites" class="action" role="search"><label>Search )"
      R"(<input type="search" name="q" value="{}"></label><button>Search</button></form>)",
      escapeHtml(query));
  body += actionForm("/sites", "add", csrf,
                     place + R"(<label>Site <input name="site" required></label>)"
                             R"(<label>Domains <input name="domains" required placeholder="example.com www.example.org"></label>)",
                     "Add", notices);
  const auto importNotice = notices.find("import");
  body += fmt::format(
      R"(<form method="post" action="/sites/import" enctype="multipart/form-data" class="action">{})"
      R"(<label>Import a hosts, adblock or plain list <input type="file" name="list" required></label>)"
      R"(<label>as site <input name="site" value="Imported" required></label><button>Import</button>{}</form>)",
      csrfField(csrf),
      importNotice == notices.end() ? "" : fmt::format(R"(<pre class="notice" role="status">{}</pre>)", escapeHtml(importNotice->second)));
  if (const auto removed = notices.find("remove"); removed != notices.end()) {
    body += fmt::format(R"(<p class="notice" role="status">{}</p>)", escapeHtml(removed->second));
  }
  body += fmt::format("<p>{} site{}{}.</p>", selection.matches, selection.matches == 1 ? "" : "s",
                      query.empty() ? "" : fmt::format(" match “{}”", escapeHtml(query)));
  const auto removeButton = [&](const std::string& name, std::string_view label) {
    return fmt::format(R"(<form method="post" action="/sites" class="inline">{}{}<input type="hidden" name="do" value="remove">)"
                       R"(<input type="hidden" name="name" value="{}"><button aria-label="Remove {}">{}</button></form>)",
                       csrfField(csrf), place, escapeHtml(name), escapeHtml(name), label);
  };
  for (const SiteRows& site : selection.sites) {
    body += fmt::format(R"(<section class="site"><h2>{} {}</h2><ul>)", escapeHtml(site.name),
                        removeButton(site.name, "Remove site"));
    for (const std::string& domain : site.domains) {
      body += fmt::format("<li><span>{}</span> {}</li>", escapeHtml(domain), removeButton(domain, "Remove"));
    }
    body += "</ul>";
    if (site.hidden > 0) body += fmt::format("<p>… and {} more: search to narrow.</p>", site.hidden);
    body += "</section>";
  }
  if (selection.pages > 1) {
    body += R"(<form method="get" action="/sites" class="action">)";
    body += fmt::format(R"(<input type="hidden" name="q" value="{}">)", escapeHtml(query));
    if (page > 0) body += fmt::format(R"(<button name="page" value="{}">Previous</button>)", page - 1);
    body += fmt::format("<span>Page {} of {}</span>", page + 1, selection.pages);
    if (page + 1 < selection.pages) body += fmt::format(R"(<button name="page" value="{}">Next</button>)", page + 1);
    body += "</form>";
  }
  return document("Sites", navigation("Sites", csrf), body);
}

WeekGrid blockedHours(const config::Schedule& schedule) {
  WeekGrid grid{};
  if (schedule.empty()) {
    for (auto& day : grid) day.set();
    return grid;
  }
  for (const config::ScheduleWindow& window : schedule) {
    const auto on = [&](int day) { return (window.days >> ((day + 7) % 7) & 1) != 0; };
    for (int day = 0; day < 7; ++day) {
      for (int minute = 0; minute < 24 * 60; ++minute) {
        const bool covered = window.from < window.to
                                 ? on(day) && minute >= window.from && minute < window.to
                                 : (on(day) && minute >= window.from) || (on(day - 1) && minute < window.to);
        if (covered) grid[static_cast<std::size_t>(day)].set(static_cast<std::size_t>(minute / 60));
      }
    }
  }
  return grid;
}

std::string schedulePage(const Json& windows, const std::string& csrf, const Notices& notices) {
  config::Schedule schedule;
  std::string list;
  for (std::size_t i = 0; i < windows.size(); ++i) {
    const auto window = config::windowFromJson(windows[i]);
    const auto* read = std::get_if<config::ScheduleWindow>(&window);
    if (read != nullptr) schedule.push_back(*read);
    const std::string shown = read ? config::formatWindow(*read) : windows[i].dump();
    list += fmt::format("<li>{} {}</li>", escapeHtml(shown),
                        actionForm("/schedule", "remove", csrf,
                                   fmt::format(R"(<input type="hidden" name="number" value="{}">)", i + 1), "Remove", {}));
  }
  std::string body = "<h1>Schedule</h1>";
  body += schedule.empty() ? "<p>No windows: while blocking is on, it blocks at every hour.</p>"
                           : "<p>While blocking is on, it blocks in these windows (local time) only.</p>";
  const WeekGrid grid = blockedHours(schedule);
  body += R"(<div class="grid"><table><caption>Blocked hours of the week: ■ blocked, · not</caption><tr><th></th>)";
  for (int hour = 0; hour < 24; ++hour) body += fmt::format(R"(<th scope="col">{:02}</th>)", hour);
  body += "</tr>";
  constexpr std::array<const char*, 7> names{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  for (std::size_t d = 1; d <= 7; ++d) {
    const std::size_t day = d % 7;  // Monday first
    body += fmt::format(R"(<tr><th scope="row">{}</th>)", names[day]);
    for (std::size_t hour = 0; hour < 24; ++hour) {
      body += grid[day][hour] ? R"(<td class="on">■</td>)" : "<td>·</td>";
    }
    body += "</tr>";
  }
  body += "</table></div>";
  if (const auto removed = notices.find("remove"); removed != notices.end()) {
    body += fmt::format(R"(<p class="notice" role="status">{}</p>)", escapeHtml(removed->second));
  }
  if (!list.empty()) body += fmt::format(R"(<ol class="windows">{}</ol>)", list);
  body += actionForm("/schedule", "add", csrf,
                     R"(<label>Days <input name="days" required placeholder="mon-fri, sat,sun, daily" size="12"></label>)"
                     R"(<label>From <input type="time" name="from" required></label>)"
                     R"(<label>To <input type="time" name="to" required></label>)",
                     "Add window", notices);
  if (!list.empty()) body += actionForm("/schedule", "clear", csrf, "", "Remove every window", notices);
  return document("Schedule", navigation("Schedule", csrf), body);
}

std::string historyPage(const Json& reply, int days, const std::string& csrf) {
  std::map<std::string, std::int64_t> perSite;
  for (const Json& count : reply.value("counts", Json::array())) {
    const std::string site = text(count, "site").empty() ? "(QUIC)" : text(count, "site");
    perSite[site] += count.value("count", std::int64_t{0});
  }
  std::vector<Bar> bars;
  for (const auto& [site, count] : perSite) bars.push_back({site, count});
  std::stable_sort(bars.begin(), bars.end(), [](const Bar& a, const Bar& b) { return a.count > b.count; });
  std::string body = fmt::format(
      R"(<h1>History</h1><form method="get" action="/history" class="action"><label>Last <input type="number")"
      R"( name="days" min="1" value="{}" size="4"> days</label><button>Show</button></form>)"
      "<p>Blocked attempts in the last {} day{}: <strong>{}</strong></p>",
      days, days, days == 1 ? "" : "s", reply.value("total", 0));
  if (!bars.empty()) {
    std::vector<Bar> charted(bars.begin(), bars.begin() + static_cast<std::ptrdiff_t>(std::min(bars.size(), sitesCharted)));
    const std::string label = fmt::format("Blocked attempts per site, the {} most blocked", charted.size());
    body += fmt::format("<figure>{}<figcaption>{}</figcaption></figure>", barChartSvg(charted, label), escapeHtml(label));
    body += R"(<table><tr><th scope="col">site</th><th scope="col">attempts</th></tr>)";
    for (const Bar& bar : bars) body += fmt::format("<tr><td>{}</td><td>{}</td></tr>", escapeHtml(bar.label), bar.count);
    body += "</table>";
  }
  body += R"(<h2>Last blocked</h2><table><tr><th scope="col">time</th><th scope="col">kind</th>)"
          R"(<th scope="col">site</th><th scope="col">host</th></tr>)";
  for (const Json& decision : reply.value("last", Json::array())) {
    body += fmt::format("<tr><td>{}</td><td>{}</td><td>{}</td><td>{}</td></tr>",
                        escapeHtml(ctl::localTimeText(decision.value("time", Json()))), escapeHtml(text(decision, "kind")),
                        escapeHtml(text(decision, "site")), escapeHtml(text(decision, "host")));
  }
  body += "</table>";
  return document("History", navigation("History", csrf), body);
}

std::string setupPage(const std::string& passwordPath) {
  return document("Set a password", "",
                  fmt::format("<h1>Set a password first</h1><p>The dashboard has no password yet. Set one on this "
                              "host, as root:</p><pre>voskctl dashboard password</pre><p>It is kept, as a hash only, "
                              "in <code>{}</code>. Then reload this page.</p>",
                              escapeHtml(passwordPath)));
}

std::string loginPage(std::string_view notice) {
  return document("Log in", "",
                  fmt::format(R"(<h1>Log in</h1>{}<form method="post" action="/login" class="login">)"
                              R"(<label>Password <input type="password" name="password" autocomplete="current-password")"
                              R"( required autofocus></label><button>Log in</button></form>)",
                              notice.empty() ? "" : fmt::format(R"(<p class="notice" role="alert">{}</p>)", escapeHtml(notice))));
}

std::string messagePage(std::string_view title, std::string_view message) {
  return document(title, "",
                  fmt::format(R"(<h1>{}</h1><p>{}</p><p><a href="/">Back to the overview</a></p>)", escapeHtml(title),
                              escapeHtml(message)));
}

std::string overviewPage(const Json& status, const std::vector<Bar>& days, std::string_view historyProblem,
                         const std::string& csrf, const Notices& notices) {
  const bool blocking = status.value("blocking", false);
  std::string body = fmt::format(R"(<h1>Overview</h1><section class="state {}"><p class="big">Blocking is <strong>{}</strong>)"
                                 R"( now</p><p>{}</p>)",
                                 blocking ? "on" : "off", blocking ? "ON" : "OFF", escapeHtml(text(status, "why")));
  if (const std::string next = ctl::localTimeText(status.value("nextChange", Json())); !next.empty()) {
    body += fmt::format("<p>It changes at {}.</p>", escapeHtml(next));
  }
  if (const std::string lock = ctl::localTimeText(status.value("lockedUntil", Json())); !lock.empty()) {
    body += fmt::format("<p>Locked until {}: nothing that weakens blocking is accepted before then.</p>", escapeHtml(lock));
  }
  body += fmt::format("<p>Strict mode: {}.</p>", !status.value("strictMode", false)      ? "off"
                                                 : status.value("strictModeActive", false) ? "on, in force"
                                                                                           : "on, not in force while blocking is off");
  for (const Json& pending : status.value("pending", Json::array())) {
    body += fmt::format("<p>Pending: {}, applied at {}.</p>", escapeHtml(text(pending, "what")),
                        escapeHtml(ctl::localTimeText(pending.value("appliesAt", Json()))));
  }
  if (!status.value("administrator", false)) {
    body += "<p class=\"notice\">The dashboard's service user is no administrator of the filter: it may only "
            "strengthen blocking.</p>";
  }
  body += "</section><section><h2>Change</h2>";
  body += actionForm("on", csrf, "", "Blocking on", notices);
  body += actionForm("off", csrf, "", "Blocking off", notices);
  body += actionForm("pause", csrf, durationChoice("minutes", "for", {{"15", "15 minutes"}, {"60", "1 hour"}}, "minutes"),
                     "Pause", notices);
  body += actionForm("lock", csrf, durationChoice("for", "for", {{"1h", "1 hour"}, {"tonight", "until midnight"}}, "8h, 2d"),
                     "Lock", notices);
  const bool strict = status.value("strictMode", false);
  body += actionForm(strict ? "strict-off" : "strict-on", csrf, "", strict ? "Strict mode off" : "Strict mode on", notices);
  body += "</section><section><h2>Blocked</h2>";
  if (!status.value("blockedToday", Json()).is_null()) {
    body += fmt::format("<p>Blocked today: <strong>{}</strong></p>", status.value("blockedToday", 0));
  }
  body += fmt::format("<p>{} sites, {} domains on the block list.</p>", status.value("sites", 0), status.value("domains", 0));
  if (historyProblem.empty()) {
    std::int64_t total = 0;
    for (const Bar& day : days) total += day.count;
    const std::string label = fmt::format("Blocked attempts per day, last {} days: {} in all", days.size(), total);
    body += fmt::format("<figure>{}<figcaption>{}</figcaption></figure>", barChartSvg(days, label), escapeHtml(label));
  } else {
    body += fmt::format("<p>No chart: {}</p>", escapeHtml(historyProblem));
  }
  body += "</section>";
  return document("Overview", navigation("Overview", csrf), body);
}

}  // namespace vosk::dashboard
