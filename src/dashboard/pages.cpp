#include "dashboard/pages.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>

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
  for (const auto& [path, name] : {std::pair{"/", "Overview"}, std::pair{"/sites", "Sites"}}) {
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

bool holds(std::string_view text, std::string_view query) {
  return std::search(text.begin(), text.end(), query.begin(), query.end(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
         }) != text.end();
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

SitesSelection selectSites(const Json& sites, std::string_view query, std::size_t page) {
  SitesSelection selection;
  const std::size_t first = page * sitesPerPage;
  for (const Json& site : sites) {
    const std::string name = text(site, "name");
    const bool nameMatches = holds(name, query);
    SiteRows rows{name, {}, 0};
    std::size_t matching = 0;
    for (const Json& domain : site.value("domains", Json::array())) {
      const std::string& entry = domain.get_ref<const std::string&>();
      if (!nameMatches && !holds(entry, query)) continue;
      if (++matching <= domainsShownPerSite) rows.domains.push_back(entry);
    }
    if (!nameMatches && matching == 0) continue;
    rows.hidden = matching - rows.domains.size();
    if (selection.matches >= first && selection.matches < first + sitesPerPage) selection.sites.push_back(std::move(rows));
    ++selection.matches;
  }
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

std::string overviewPage(const Json& status, const std::vector<DayCount>& days, std::string_view historyProblem,
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
    for (const DayCount& day : days) total += day.count;
    const std::string label = fmt::format("Blocked attempts per day, last {} days: {} in all", days.size(), total);
    body += fmt::format("<figure>{}<figcaption>{}</figcaption></figure>", barChartSvg(days, label), escapeHtml(label));
  } else {
    body += fmt::format("<p>No chart: {}</p>", escapeHtml(historyProblem));
  }
  body += "</section>";
  return document("Overview", navigation("Overview", csrf), body);
}

}  // namespace vosk::dashboard
