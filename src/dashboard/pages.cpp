#include "dashboard/pages.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

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

std::string navigation(const std::string& csrf) {
  return fmt::format(R"(<nav><a href="/" aria-current="page">Overview</a>)"
                     R"(<form method="post" action="/logout">{}<button>Log out</button></form></nav>)",
                     csrfField(csrf));
}

std::string text(const Json& value, const char* key) {
  const auto it = value.find(key);
  return it != value.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// A form posting one action, its notice (if any) beside it.
std::string actionForm(const std::string& action, const std::string& csrf, std::string_view fields,
                       std::string_view button, const Notices& notices) {
  const auto notice = notices.find(action);
  return fmt::format(
      R"(<form method="post" action="/action" class="action">{}<input type="hidden" name="do" value="{}">{})"
      R"(<button>{}</button>{}</form>)",
      csrfField(csrf), escapeHtml(action), fields, escapeHtml(button),
      notice == notices.end() ? "" : fmt::format(R"(<p class="notice" role="status">{}</p>)", escapeHtml(notice->second)));
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
  return document("Overview", navigation(csrf), body);
}

}  // namespace vosk::dashboard
