// vosk-dashboard: the filter in a browser. One more client of the daemon's
// control socket: it can do nothing the control API would refuse.
#include <httplib.h>
#include <signal.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <variant>
#include <vector>

#include "config/blocking_rules.hpp"
#include "config/configuration_file.hpp"
#include "config/number_text.hpp"
#include "config/paths.hpp"
#include "control/interface.hpp"
#include "control/setting_changes.hpp"
#include "ctl/control_client.hpp"
#include "dashboard/assets.hpp"
#include "dashboard/listen_address.hpp"
#include "dashboard/login_throttle.hpp"
#include "dashboard/pages.hpp"
#include "dashboard/password_file.hpp"
#include "dashboard/sessions.hpp"
#include "platform/clock.hpp"

namespace {

using namespace vosk;
using namespace std::chrono;
using Json = nlohmann::json;

constexpr std::size_t kHeaderLimitBytes = std::size_t{16} << 10;
constexpr std::size_t kFormLimitBytes = std::size_t{64} << 10;
// An upload is held in memory while it is passed on to the daemon.
constexpr std::size_t kImportLimitBytes = std::size_t{64} << 20;
constexpr const char* kImportPath = "/sites/import";
// A worker per open connection: 200 idle ones must leave room for a user's.
constexpr int kWorkerThreads = 256;
constexpr int kChartDays = 30;
constexpr int kHistoryDays = 7;
// The chart's counts are asked again once older than this: a month per day
// and site takes the daemon tens of milliseconds at a million rows, and the
// chart need not be newer (blocked today comes fresh from Status).
constexpr double kChartFreshSeconds = 60;
constexpr const char* kSessionCookie = "vosk_session";
// Exit statuses, as voskctl's.
constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

const std::string kUsageText = fmt::format(
    "Usage: vosk-dashboard [--config FILE] [--control-socket PATH] [--listen ADDR:PORT]...\n"
    "\n"
    "Serves vosk-filter's dashboard: its state, and the changes the control API accepts.\n"
    "\n"
    "  --config FILE          the settings, for \"dashboardListen\", \"dashboardCertificate\", \"dashboardKey\";\n"
    "                         the password's hash is beside it (default {})\n"
    "  --control-socket PATH  the daemon's control socket (default {})\n"
    "  --listen ADDR:PORT     listen here instead (repeatable; an IPv6 address in brackets). An address\n"
    "                         other than loopback needs a certificate and key and is served over TLS only\n"
    "  --help, --version\n",
    config::defaultConfigurationPath, config::defaultControlSocketPath);

class SteadyClock final : public Clock {
 public:
  Instant now() const override { return steadyClockNow(); }
};

struct Options {
  std::string configPath = config::defaultConfigurationPath;
  std::string socketPath = config::defaultControlSocketPath;
  std::vector<std::string> listen;
};

// An answer of the daemon: its reply's parameters, or why there is none in words.
using Answer = std::variant<Json, std::string>;

std::string sessionCookie(const httplib::Request& request) {
  const std::string cookies = request.get_header_value("Cookie");
  const std::string name = std::string(kSessionCookie) + "=";
  for (std::size_t start = 0; start < cookies.size();) {
    const std::size_t end = std::min(cookies.find(';', start), cookies.size());
    std::string_view cookie(cookies.data() + start, end - start);
    while (cookie.starts_with(' ')) cookie.remove_prefix(1);
    if (cookie.starts_with(name)) return std::string(cookie.substr(name.size()));
    start = end + 1;
  }
  return "";
}

// A form's field, from a URL-encoded body or a multipart one.
std::string field(const httplib::Request& request, const char* name) {
  return request.is_multipart_form_data() ? request.get_file_value(name).content : request.get_param_value(name);
}

// The local days of the chart, oldest first, each with no attempts yet.
std::vector<dashboard::Bar> chartDays(system_clock::time_point now) {
  const std::time_t moment = system_clock::to_time_t(now);
  std::tm today{};
  localtime_r(&moment, &today);
  std::vector<dashboard::Bar> days;
  for (int back = kChartDays - 1; back >= 0; --back) {
    std::tm day = today;
    day.tm_mday -= back;
    day.tm_hour = 12;  // noon: a DST change never moves it to another day
    day.tm_isdst = -1;
    const std::time_t normalised = std::mktime(&day);
    localtime_r(&normalised, &day);
    days.push_back({fmt::format("{:04}-{:02}-{:02}", day.tm_year + 1900, day.tm_mon + 1, day.tm_mday), 0});
  }
  return days;
}

class Dashboard {
 public:
  Dashboard(std::string socketPath, std::string passwordPath, const Clock& clock)
      : socketPath_(std::move(socketPath)),
        passwordPath_(std::move(passwordPath)),
        clock_(clock),
        sessions_(clock),
        throttle_(clock) {}

  void serveOn(httplib::Server& server, bool tls) {
    server.Get("/", [this](const auto& request, auto& response) { overview(request, response); });
    server.Get("/login", [this](const auto& request, auto& response) { loginForm(request, response); });
    server.Post("/login", [this, tls](const auto& request, auto& response) { login(request, response, tls); });
    server.Post("/logout", [this, tls](const auto& request, auto& response) { logout(request, response, tls); });
    server.Post("/action", [this, tls](const auto& request, auto& response) { action(request, response, tls); });
    server.Get("/sites", [this](const auto& request, auto& response) { sites(request, response); });
    server.Post("/sites", [this, tls](const auto& request, auto& response) { changeSites(request, response, tls); });
    server.Post(kImportPath, [this, tls](const auto& request, auto& response) { importList(request, response, tls); });
    server.Get("/schedule", [this](const auto& request, auto& response) { schedule(request, response); });
    server.Post("/schedule", [this, tls](const auto& request, auto& response) { changeSchedule(request, response, tls); });
    server.Get("/history", [this](const auto& request, auto& response) { history(request, response); });
    for (const dashboard::Asset& asset : dashboard::assets()) {
      server.Get(asset.path, [&asset](const auto&, auto& response) {
        response.set_content(asset.content.data(), asset.content.size(), asset.type);
      });
    }
  }

 private:
  // Whether a password is set; when none is, answers with how to set one.
  std::optional<std::string> passwordHash(httplib::Response& response) {
    std::optional<std::string> hash = dashboard::readPasswordHash(passwordPath_);
    if (!hash) html(response, 503, dashboard::setupPage(passwordPath_));
    return hash;
  }

  static void html(httplib::Response& response, int status, const std::string& page) {
    response.status = status;
    response.set_content(page, "text/html; charset=utf-8");
  }

  static void redirect(httplib::Response& response, const std::string& to) {
    response.status = 303;
    response.set_header("Location", to);
  }

  std::optional<dashboard::Session> session(const httplib::Request& request) {
    const std::string token = sessionCookie(request);
    return token.empty() ? std::nullopt : sessions_.use(token);
  }

  // A change must come from this dashboard's own page: the Origin the browser
  // reports and the form's CSRF token of the session.
  std::optional<dashboard::Session> changer(const httplib::Request& request, httplib::Response& response, bool tls) {
    std::optional<dashboard::Session> current = session(request);
    if (!current) {
      html(response, 403, dashboard::messagePage("Not logged in", "Log in again, then repeat what you tried."));
      return std::nullopt;
    }
    if (!dashboard::sameOrigin(request.get_header_value("Origin"), request.get_header_value("Host"), tls) ||
        !dashboard::tokensEqual(field(request, "csrf"), current->csrf)) {
      html(response, 403, dashboard::messagePage("Refused", "The form did not come from this dashboard; nothing changed."));
      return std::nullopt;
    }
    return current;
  }

  // `raw` bytes follow an upgrade call (an import's list).
  Answer ask(const char* method, Json parameters = Json::object(), std::string_view raw = {}) {
    auto connected = ctl::ControlClient::connect(socketPath_);
    if (auto* failure = std::get_if<ctl::ConnectFailure>(&connected)) {
      return failure->noDaemon ? std::string("vosk-filter is not running") : failure->message;
    }
    control::Call call{method, std::move(parameters)};
    call.upgrade = !raw.empty();
    auto answered = std::get<ctl::ControlClient>(connected).call(call, raw);
    if (auto* failure = std::get_if<std::string>(&answered)) return *failure;
    control::Reply& reply = std::get<control::Reply>(answered);
    if (reply.error) return ctl::errorText(*reply.error, reply.parameters);
    return std::move(reply.parameters);
  }

  void loginForm(const httplib::Request& request, httplib::Response& response) {
    if (!passwordHash(response)) return;
    if (session(request)) return redirect(response, "/");
    html(response, 200, dashboard::loginPage(""));
  }

  void login(const httplib::Request& request, httplib::Response& response, bool tls) {
    const std::optional<std::string> hash = passwordHash(response);
    if (!hash) return;
    if (!dashboard::sameOrigin(request.get_header_value("Origin"), request.get_header_value("Host"), tls)) {
      return html(response, 403, dashboard::messagePage("Refused", "The form did not come from this dashboard."));
    }
    const std::string& address = request.remote_addr;
    if (const double wait = throttle_.lockedFor(address); wait > 0) {
      return html(response, 429, dashboard::loginPage(fmt::format(
                                     "Too many wrong passwords from your address: try again in {} minutes.",
                                     static_cast<int>(wait / 60) + 1)));
    }
    if (!request.has_param("password") || !dashboard::passwordMatches(*hash, request.get_param_value("password"))) {
      throttle_.failed(address);
      return html(response, 401, dashboard::loginPage("Wrong password."));
    }
    throttle_.succeeded(address);
    const dashboard::Session opened = sessions_.open();
    response.set_header("Set-Cookie", fmt::format("{}={}; Path=/; HttpOnly; SameSite=Strict{}", kSessionCookie,
                                                  opened.token, tls ? "; Secure" : ""));
    redirect(response, "/");
  }

  void logout(const httplib::Request& request, httplib::Response& response, bool tls) {
    const std::optional<dashboard::Session> current = changer(request, response, tls);
    if (!current) return;
    sessions_.close(current->token);
    response.set_header("Set-Cookie", fmt::format("{}=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict{}", kSessionCookie,
                                                  tls ? "; Secure" : ""));
    redirect(response, "/login");
  }

  void overview(const httplib::Request& request, httplib::Response& response) {
    const std::optional<dashboard::Session> current = viewer(request, response);
    if (!current) return;
    const std::optional<Json> status = pageData(response, control::statusMethod);
    if (!status) return;
    std::vector<dashboard::Bar> days = chartDays(system_clock::now());
    std::string historyProblem;
    const Answer history = chartCounts();
    if (auto* problem = std::get_if<std::string>(&history)) {
      historyProblem = *problem;
    } else {
      for (const Json& count : std::get<Json>(history).value("counts", Json::array())) {
        const std::string bucket = count.value("bucket", std::string());
        for (dashboard::Bar& day : days) {
          if (day.label == bucket) day.count += count.value("count", std::int64_t{0});
        }
      }
    }
    html(response, 200,
         dashboard::overviewPage(status->at("status"), days, historyProblem, current->csrf,
                                 sessions_.takeNotices(current->token)));
  }

  // The call an Overview form asks for, or why the form cannot be read.
  static std::variant<control::Call, std::string> actionCall(const httplib::Request& request) {
    const std::string what = request.get_param_value("do");
    const std::string choice = request.get_param_value(what == "pause" ? "minutes" : "for");
    const std::string custom = request.get_param_value("custom");
    const std::string length = choice == "custom" ? custom : choice;
    if (what == "on" || what == "off") return control::Call{control::setBlockingMethod, {{"enabled", what == "on"}}};
    if (what == "strict-on" || what == "strict-off") {
      return control::Call{control::setStrictModeMethod, {{"enabled", what == "strict-on"}}};
    }
    if (what == "pause") {
      const std::optional<seconds> pause = config::parseDuration(length, minutes(1));
      if (!pause || *pause > control::longestPause) {
        return fmt::format("A pause is a number of minutes from 1 to {}.", control::longestPause.count());
      }
      return control::Call{control::pauseMethod, {{"minutes", duration_cast<minutes>(*pause).count()}}};
    }
    if (what == "lock") {
      const config::WallTime now = config::wallNow();
      std::optional<config::WallTime> until;
      if (length == "tonight") {
        until = chartMidnight(now);
      } else if (const std::optional<seconds> span = config::parseDuration(length, hours(1))) {
        until = now + *span;
      }
      if (!until) return std::string("A lock lasts a duration such as 90m, 8h or 2d.");
      return control::Call{control::lockMethod, {{"until", config::formatWallTime(*until)}}};
    }
    return std::string();
  }

  // The next local midnight.
  static config::WallTime chartMidnight(config::WallTime now) {
    const std::time_t moment = system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&moment, &local);
    local.tm_mday += 1;
    local.tm_hour = local.tm_min = local.tm_sec = 0;
    local.tm_isdst = -1;
    return floor<seconds>(system_clock::from_time_t(std::mktime(&local)));
  }

  void action(const httplib::Request& request, httplib::Response& response, bool tls) {
    const std::optional<dashboard::Session> current = changer(request, response, tls);
    if (!current) return;
    const std::string what = field(request, "do");
    auto call = actionCall(request);
    if (auto* problem = std::get_if<std::string>(&call); problem != nullptr && problem->empty()) {
      return unknownAction(response);
    }
    std::string notice;
    if (auto* problem = std::get_if<std::string>(&call)) {
      notice = *problem;
    } else {
      control::Call& made = std::get<control::Call>(call);
      const Answer answer = ask(made.method.c_str(), std::move(made.parameters));
      notice = outcomeText(answer);
    }
    // The forms of strict mode share one notice place, whichever is shown.
    const std::string place = what.starts_with("strict") ? "strict-" + std::string(what == "strict-on" ? "off" : "on") : what;
    report(response, *current, {{what, notice}, {place, notice}}, "/");
  }

  // An outcome's message, or the refusal in words.
  static std::string outcomeText(const Answer& answer) {
    if (const auto* refusal = std::get_if<std::string>(&answer)) {
      // The daemon's refusals say so themselves; other failures get it said.
      return refusal->starts_with("refused") ? *refusal : "Refused: " + *refusal;
    }
    return std::get<Json>(answer).at("outcome").value("message", std::string());
  }

  void sites(const httplib::Request& request, httplib::Response& response) {
    const std::optional<dashboard::Session> current = viewer(request, response);
    if (!current) return;
    const std::string query = field(request, "q");
    const std::string pageText = field(request, "page");
    // 32 bits: a page's first site stays far inside the daemon's counts.
    const std::optional<std::uint32_t> asked = pageText.empty() ? 0 : config::parseWholeNumber<std::uint32_t>(pageText);
    if (!asked) return html(response, 400, dashboard::messagePage("Bad page", "A page is a whole number."));
    std::size_t page = *asked;
    const auto pageOf = [&](std::size_t number) -> std::optional<dashboard::SitesSelection> {
      const std::optional<Json> listed =
          pageData(response, control::listSitesMethod,
                   {{"search", query}, {"offset", number * dashboard::sitesPerPage}, {"limit", dashboard::sitesPerPage},
                    {"domainLimit", dashboard::domainsShownPerSite}});
      return listed ? std::optional(dashboard::sitesSelection(*listed)) : std::nullopt;
    };
    std::optional<dashboard::SitesSelection> selection = pageOf(page);
    if (selection && page >= selection->pages) selection = pageOf(page = selection->pages - 1);
    if (!selection) return;
    html(response, 200, dashboard::sitesPage(*selection, query, page, current->csrf, sessions_.takeNotices(current->token)));
  }

  void changeSites(const httplib::Request& request, httplib::Response& response, bool tls) {
    const std::optional<dashboard::Session> current = changer(request, response, tls);
    if (!current) return;
    const std::string what = field(request, "do");
    Answer answer;
    if (what == "add") {
      std::vector<std::string> domains;
      std::string domain;
      for (std::istringstream words(field(request, "domains")); words >> domain;) domains.push_back(domain);
      const std::string site = field(request, "site");
      if (site.empty() || domains.empty()) {
        answer = std::string("a site needs a name and at least one domain");
      } else {
        answer = ask(control::addDomainsMethod, {{"site", site}, {"domains", domains}});
      }
    } else if (what == "remove" && !field(request, "name").empty()) {
      answer = ask(control::removeMethod, {{"names", {field(request, "name")}}});
    } else {
      return unknownAction(response);
    }
    report(response, *current, {{what, outcomeText(answer)}},
           fmt::format("/sites?q={}&page={}", dashboard::urlEncode(field(request, "q")),
                       dashboard::urlEncode(field(request, "page"))));
  }

  void importList(const httplib::Request& request, httplib::Response& response, bool tls) {
    if (!request.is_multipart_form_data() || !request.has_file("list")) {
      return html(response, 400, dashboard::messagePage("No list", "An import needs a file to read."));
    }
    const std::optional<dashboard::Session> current = changer(request, response, tls);
    if (!current) return;
    const httplib::MultipartFormData list = request.get_file_value("list");
    const std::string site = field(request, "site").empty() ? control::defaultImportSite : field(request, "site");
    const Answer answer = list.content.empty()
                              ? Answer(std::string("the file is empty"))
                              : ask(control::importMethod, {{"site", site}, {"bytes", list.content.size()}}, list.content);
    std::string notice = outcomeText(answer);
    if (auto* reply = std::get_if<Json>(&answer)) notice = ctl::importSummary(list.filename, *reply) + "\n" + notice;
    report(response, *current, {{"import", notice}}, "/sites");
  }

  // The session of a page's request; none (and the answer made) when there
  // is no password yet or no login.
  std::optional<dashboard::Session> viewer(const httplib::Request& request, httplib::Response& response) {
    if (!passwordHash(response)) return std::nullopt;
    std::optional<dashboard::Session> current = session(request);
    if (!current) redirect(response, "/login");
    return current;
  }

  // The daemon's answer to a page's call; nothing (and the answer made) when it has none.
  std::optional<Json> pageData(httplib::Response& response, const char* method, Json parameters = Json::object()) {
    Answer answer = ask(method, std::move(parameters));
    if (auto* problem = std::get_if<std::string>(&answer)) {
      html(response, 502, dashboard::messagePage("No answer from the filter", *problem));
      return std::nullopt;
    }
    return std::move(std::get<Json>(answer));
  }

  void schedule(const httplib::Request& request, httplib::Response& response) {
    const std::optional<dashboard::Session> current = viewer(request, response);
    if (!current) return;
    const std::optional<Json> status = pageData(response, control::statusMethod);
    if (!status) return;
    html(response, 200, dashboard::schedulePage(status->at("status").value("schedule", Json::array()), current->csrf,
                                                sessions_.takeNotices(current->token)));
  }

  void changeSchedule(const httplib::Request& request, httplib::Response& response, bool tls) {
    const std::optional<dashboard::Session> current = changer(request, response, tls);
    if (!current) return;
    const std::string what = field(request, "do");
    const std::optional<std::int64_t> number = config::parseWholeNumber<std::int64_t>(field(request, "number"));
    Answer answer;
    if (what == "add") {
      answer = ask(control::addWindowMethod,
                   {{"days", field(request, "days")}, {"from", field(request, "from")}, {"to", field(request, "to")}});
    } else if (what == "remove" && number) {
      answer = ask(control::removeWindowMethod, {{"number", *number}});
    } else if (what == "clear") {
      answer = ask(control::clearScheduleMethod);
    } else {
      return unknownAction(response);
    }
    report(response, *current, {{what == "clear" ? "add" : what, outcomeText(answer)}}, "/schedule");
  }

  void history(const httplib::Request& request, httplib::Response& response) {
    const std::optional<dashboard::Session> current = viewer(request, response);
    if (!current) return;
    const std::string daysText = field(request, "days");
    const std::optional<int> days = daysText.empty() ? kHistoryDays : config::parseWholeNumber<int>(daysText);
    if (!days || *days < 1 || *days > config::mostHistoryDays) {
      return html(response, 400, dashboard::messagePage(
                                     "Bad number of days", fmt::format("Days run from 1 to {}.", config::mostHistoryDays)));
    }
    const std::optional<Json> reply = pageData(response, control::historyMethod, {{"days", *days}});
    if (!reply) return;
    html(response, 200, dashboard::historyPage(*reply, *days, current->csrf));
  }

  // After a change, the browser is sent on to a page that shows what came of
  // it, so that reloading that page repeats nothing.
  void report(httplib::Response& response, const dashboard::Session& session, dashboard::Notices notices,
              const std::string& to) {
    sessions_.leaveNotices(session.token, std::move(notices));
    redirect(response, to);
  }

  // The chart's History answer, at most kChartFreshSeconds old; a failure is
  // not kept.
  Answer chartCounts() {
    const std::lock_guard lock(chartMutex_);
    const Instant now = clock_.now();
    if (!chart_ || now - chartAskedAt_ > kChartFreshSeconds) {
      Answer answer = ask(control::historyMethod, {{"days", kChartDays}, {"bucket", "day"}});
      if (std::holds_alternative<std::string>(answer)) return answer;
      chart_ = std::move(answer);
      chartAskedAt_ = now;
    }
    return *chart_;
  }

  static void unknownAction(httplib::Response& response) {
    html(response, 400, dashboard::messagePage("Unknown action", "This form asks for nothing the dashboard knows."));
  }

  std::string socketPath_;
  std::string passwordPath_;
  const Clock& clock_;
  std::mutex chartMutex_;
  std::optional<Answer> chart_;
  Instant chartAskedAt_;
  dashboard::SessionStore sessions_;
  dashboard::LoginThrottle throttle_;
};

// Whatever the page: the headers that keep it from being framed, sniffed,
// referred or scripted from elsewhere; requests over the header cap or of a
// method the dashboard never serves end before any handler.
void harden(httplib::Server& server) {
  server.set_default_headers({
      {"Content-Security-Policy",
       "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; form-action 'self'; "
       "frame-ancestors 'none'; base-uri 'none'"},
      {"X-Content-Type-Options", "nosniff"},
      // Not "no-referrer": under it browsers send "Origin: null" with a form,
      // and the Origin check would refuse the dashboard's own.
      {"Referrer-Policy", "same-origin"},
      {"X-Frame-Options", "DENY"},
      {"Cache-Control", "no-store"},
  });
  server.set_payload_max_length(kImportLimitBytes);
  // A page goes out in several writes: without this the last waits for the
  // browser's delayed acknowledgement (40 ms) on a kept-alive connection.
  server.set_tcp_nodelay(true);
  server.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
  server.set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
    std::size_t headerBytes = request.method.size() + request.target.size();
    for (const auto& [name, value] : request.headers) headerBytes += name.size() + value.size() + 4;
    const std::size_t bodyLimit = request.path == kImportPath ? kImportLimitBytes : kFormLimitBytes;
    if (headerBytes > kHeaderLimitBytes) {
      response.status = 431;
    } else if (config::parseWholeNumber<std::uint64_t>(request.get_header_value("Content-Length")).value_or(0) > bodyLimit) {
      response.status = 413;
    } else if (request.method != "GET" && request.method != "HEAD" && request.method != "POST") {
      response.status = 405;
    } else {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    return httplib::Server::HandlerResponse::Handled;
  });
  server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (!response.body.empty()) return;  // a page of the dashboard's own
    response.set_content(fmt::format("HTTP error {}\n", response.status), "text/plain; charset=utf-8");
  });
}

struct UsageError {
  std::string message;
};

Options parseOptions(const std::vector<std::string>& args) {
  Options options;
  for (std::size_t i = 0; i < args.size(); i += 2) {
    if (i + 1 == args.size()) throw UsageError{fmt::format("unknown option or missing value: \"{}\"", args[i])};
    if (args[i] == "--config") {
      options.configPath = args[i + 1];
    } else if (args[i] == "--control-socket") {
      options.socketPath = args[i + 1];
    } else if (args[i] == "--listen") {
      options.listen.push_back(args[i + 1]);
    } else {
      throw UsageError{fmt::format("unknown option \"{}\"", args[i])};
    }
  }
  return options;
}

int run(const Options& options) {
  auto loaded = config::loadConfigurationFile(options.configPath);
  if (auto* problem = std::get_if<config::ConfigurationProblem>(&loaded)) {
    std::fprintf(stderr, "vosk-dashboard: %s\n", config::describeProblem(options.configPath, *problem).c_str());
    return kFailed;
  }
  const config::Configuration& configuration = std::get<config::Configuration>(loaded);
  for (const std::string& note : config::describeNotes(options.configPath, configuration)) {
    std::fprintf(stderr, "vosk-dashboard: %s\n", note.c_str());
  }
  const config::DashboardSettings& settings = configuration.dashboard;
  const std::vector<std::string>& listen = options.listen.empty() ? settings.listen : options.listen;
  const bool haveTls = !settings.certificate.empty() && !settings.key.empty();
  if (!dashboard::startSodium()) {
    std::fprintf(stderr, "vosk-dashboard: libsodium cannot start: no source of random numbers\n");
    return kFailed;
  }

  SteadyClock clock;
  Dashboard dashboard(options.socketPath, dashboard::passwordPathBeside(options.configPath), clock);
  std::vector<std::unique_ptr<httplib::Server>> servers;
  for (const std::string& text : listen) {
    const std::optional<dashboard::ListenAddress> address = dashboard::parseListenAddress(text);
    if (!address) {
      std::fprintf(stderr, "vosk-dashboard: cannot listen on \"%s\": not ADDR:PORT with a numeric address\n", text.c_str());
      return kUsage;
    }
    // Beyond loopback a password and a session cookie must never cross the network in clear.
    if (!address->loopback && !haveTls) {
      std::fprintf(stderr,
                   "vosk-dashboard: refusing to listen on %s: an address other than loopback needs "
                   "\"dashboardCertificate\" and \"dashboardKey\" (served over TLS only)\n",
                   text.c_str());
      return kUsage;
    }
    std::unique_ptr<httplib::Server> server;
    if (address->loopback) {
      server = std::make_unique<httplib::Server>();
    } else {
      server = std::make_unique<httplib::SSLServer>(settings.certificate.c_str(), settings.key.c_str());
      if (!server->is_valid()) {
        std::fprintf(stderr, "vosk-dashboard: cannot use the certificate %s and key %s\n", settings.certificate.c_str(),
                     settings.key.c_str());
        return kFailed;
      }
    }
    harden(*server);
    dashboard.serveOn(*server, !address->loopback);
    if (!server->bind_to_port(address->host, address->port)) {
      std::fprintf(stderr, "vosk-dashboard: cannot listen on %s\n", text.c_str());
      return kFailed;
    }
    std::fprintf(stderr, "vosk-dashboard: listening on %s://%s\n", address->loopback ? "http" : "https", text.c_str());
    servers.push_back(std::move(server));
  }

  // The servers run on threads of their own; this one waits for the signal to stop.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::vector<std::thread> threads;
  for (auto& server : servers) threads.emplace_back([&server] { server->listen_after_bind(); });
  int signal = 0;
  sigwait(&stopSignals, &signal);
  for (auto& server : servers) server->stop();
  for (std::thread& thread : threads) thread.join();
  return kDone;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") {
      std::printf("%s", kUsageText.c_str());
      return kDone;
    }
    if (arg == "--version") {
      std::printf("vosk-dashboard %s\n", VOSK_VERSION);
      return kDone;
    }
  }
  try {
    return run(parseOptions(args));
  } catch (const UsageError& error) {
    std::fprintf(stderr, "vosk-dashboard: %s\n%s", error.message.c_str(), kUsageText.c_str());
    return kUsage;
  }
}
