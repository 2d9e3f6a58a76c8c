#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "config/blocking_rules.hpp"
#include "control/authority.hpp"
#include "control/control_service.hpp"
#include "control/interface.hpp"

namespace vosk::control {
namespace {

using Json = nlohmann::json;
using namespace std::chrono;

const config::WallTime noon = *config::parseWallTime("2026-12-07T12:00:00Z");

// Strengthening is anyone's; weakening is an administrator's, never under
// the lock, and waits out the delay when there is one.
TEST(AuthorityTest, WhoMayDoWhat) {
  const Caller user{1000, false};
  const Caller administrator{0, true};
  const auto lock = std::optional(noon + hours(1));
  struct Case {
    Caller caller;
    const char* weakening;
    std::optional<config::WallTime> lock;
    seconds delay;
    Verdict::Kind kind;
    const char* reason;
  } cases[] = {
      {user, "", lock, seconds(60), Verdict::Kind::apply, ""},
      {user, "it switches blocking off", std::nullopt, seconds(0), Verdict::Kind::refused, "notAdministrator"},
      {administrator, "it switches blocking off", std::nullopt, seconds(0), Verdict::Kind::apply, ""},
      {administrator, "it switches blocking off", lock, seconds(0), Verdict::Kind::refused, "locked"},
      {administrator, "it switches blocking off", noon, seconds(0), Verdict::Kind::apply, ""},  // expired
      {administrator, "it switches blocking off", std::nullopt, seconds(60), Verdict::Kind::pending, ""},
  };
  for (const Case& c : cases) {
    const Verdict verdict = judgeChange(c.caller, c.weakening, c.lock, noon, c.delay, "admins");
    EXPECT_EQ(verdict.kind, c.kind) << c.weakening << " by uid " << c.caller.uid;
    EXPECT_EQ(verdict.reason, c.reason);
  }
}

// The daemon as the service sees it: its state in fields, each reload counted.
class FakeFilter final : public FilterHost {
 public:
  config::WallTime now() const override { return clock; }
  FilterState state() const override {
    FilterState state;
    state.lock = lock;
    state.weakenDelay = delay;
    state.adminGroup = "admins";
    state.engine = config::Engine::kernel;
    return state;
  }
  std::string reload() override {
    ++reloads;
    return refusal;
  }
  void history(const HistoryRequest& request, std::function<void(Json)> done) override {
    done(Json{{"days", request.days}});
  }
  void blockedToday(std::function<void(std::optional<std::int64_t>)> done) override { done(3); }
  void pendingChanged() override { ++pendingChanges; }
  void note(const std::string& line) override { notes.push_back(line); }

  config::WallTime clock = noon;
  std::optional<config::WallTime> lock;
  seconds delay{0};
  std::string refusal;
  int reloads = 0;
  int pendingChanges = 0;
  std::vector<std::string> notes;
};

class ControlServiceTest : public ::testing::Test {
 protected:
  ControlServiceTest() {
    std::filesystem::create_directories(directory);
    std::ofstream(path) << R"({"blockingEnabled": true, "sitesData": [{"id": "6F1C2A3B-4D5E-4F60-8172-93A4B5C6D7E8",
                               "name": "Video", "domains": ["video.test"]}]})";
  }
  ~ControlServiceTest() override { std::filesystem::remove_all(directory); }

  Reply call(const char* method, Json parameters, Caller caller = {1000, false}, std::string raw = {}) {
    std::string answer;
    service.handle(Call{method, std::move(parameters)}, caller, raw, [&](std::string reply) { answer = std::move(reply); });
    answer.pop_back();  // the NUL
    return *parseReply(answer);
  }
  std::string file() const {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // One directory a test: ctest runs the cases of a suite side by side.
  const std::string directory =
      ::testing::TempDir() + "vosk-control-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
  const std::string path = directory + "/config.json";
  FakeFilter filter;
  ControlService service{filter, path, "1.0"};
  const Caller root{0, true};
};

TEST_F(ControlServiceTest, ChangesAreJudgedWrittenAndApplied) {
  EXPECT_EQ(call(addDomainsMethod, {{"site", "Games"}, {"domains", {"Games.Test"}}}).parameters["outcome"]["outcome"],
            "applied");
  EXPECT_NE(file().find("\"games.test\""), std::string::npos);
  EXPECT_EQ(filter.reloads, 1);

  const Reply refused = call(setBlockingMethod, {{"enabled", false}});
  EXPECT_EQ(refused.error, refusedError);
  EXPECT_EQ(refused.parameters["reason"], "notAdministrator");
  EXPECT_NE(file().find("\"blockingEnabled\": true"), std::string::npos);

  filter.lock = noon + hours(1);
  EXPECT_EQ(call(removeMethod, {{"names", {"Video"}}}, root).parameters["reason"], "locked");
  EXPECT_EQ(call(removeMethod, {{"names", {"Video"}}}, root).parameters["message"],
            "refused: blocking is locked until 2026-12-07T13:00:00Z and this change weakens it: it no longer blocks "
            "\"video.test\"");
  EXPECT_EQ(filter.reloads, 1);

  // The daemon refusing what it reads again (its lock) puts the file back.
  filter.lock.reset();
  filter.refusal = "blocking is locked";
  const std::string before = file();
  EXPECT_EQ(call(addDomainsMethod, {{"site", "Games"}, {"domains", {"more.test"}}}).error, refusedError);
  EXPECT_EQ(file(), before);
}

TEST_F(ControlServiceTest, WeakeningWaitsOutTheDelayUnlessCancelled) {
  filter.delay = minutes(15);
  const Reply pending = call(setBlockingMethod, {{"enabled", false}}, root);
  EXPECT_EQ(pending.parameters["outcome"]["outcome"], "pending");
  EXPECT_EQ(service.nextDue(), noon + minutes(15));
  EXPECT_EQ(call(pauseMethod, {{"minutes", 5}}, root).parameters["outcome"]["pending"]["id"], 2);
  EXPECT_EQ(call(cancelPendingMethod, {{"id", 2}}).parameters["outcome"]["outcome"], "cancelled");
  EXPECT_EQ(filter.pendingChanges, 3);
  EXPECT_EQ(filter.reloads, 0);

  filter.clock = noon + minutes(14);
  service.applyDue();
  EXPECT_EQ(filter.reloads, 0);
  filter.clock = noon + minutes(15);
  service.applyDue();
  EXPECT_EQ(filter.reloads, 1);
  EXPECT_NE(file().find("\"blockingEnabled\": false"), std::string::npos);
  EXPECT_EQ(filter.notes, std::vector<std::string>{"✅ pending change 1 applied: blocking off"});
  EXPECT_FALSE(service.nextDue());

  // A lock taken while a change waits holds it back when its time comes.
  call(setBlockingMethod, {{"enabled", true}});
  call(setBlockingMethod, {{"enabled", false}}, root);
  filter.lock = noon + hours(2);
  filter.clock = noon + minutes(30);
  service.applyDue();
  EXPECT_EQ(filter.notes.back().find("⚠️ pending change 3 (blocking off) dropped: refused: blocking is locked"), 0U);
  EXPECT_NE(file().find("\"blockingEnabled\": true"), std::string::npos);
}

TEST_F(ControlServiceTest, BadCallsChangeNothing) {
  const std::string before = file();
  struct Case {
    const char* method;
    Json parameters;
    const char* error;
  } cases[] = {
      {"com.brelvant.vosk.Control.Nothing", Json::object(), methodNotFound},
      {addDomainsMethod, {{"site", "X"}}, invalidParameterError},
      {addDomainsMethod, {{"site", "X"}, {"domains", {"x.test"}}, {"extra", 1}}, invalidParameterError},
      {addDomainsMethod, {{"site", "X"}, {"domains", {"no host"}}}, invalidInputError},
      {pauseMethod, {{"minutes", "5"}}, invalidParameterError},
      {lockMethod, {{"until", "2026-12-07T11:00:00Z"}}, invalidInputError},
      {removeWindowMethod, {{"number", 1}}, invalidInputError},
      {cancelPendingMethod, {{"id", 9}}, invalidInputError},
  };
  for (const Case& c : cases) EXPECT_EQ(call(c.method, c.parameters, root).error, c.error) << c.method;
  EXPECT_EQ(file(), before);
  EXPECT_EQ(filter.reloads, 0);
}

TEST_F(ControlServiceTest, ReadsAndTheHistoryIsAdministratorsOnly) {
  const Json status = call(statusMethod, Json::object()).parameters["status"];
  EXPECT_EQ(status["blockedToday"], 3);
  EXPECT_EQ(status["administrator"], false);
  EXPECT_EQ(status["engine"], "kernel");
  EXPECT_EQ(call(listSitesMethod, Json::object()).parameters["sites"][0]["name"], "Video");
  EXPECT_EQ(call(historyMethod, {{"days", 30}}).parameters["reason"], "notAdministrator");
  EXPECT_EQ(call(historyMethod, {{"days", 30}}, root).parameters["days"], 30);
  EXPECT_EQ(call(historyMethod, {{"days", 0}}, root).error, invalidParameterError);
  EXPECT_EQ(call(getInfoMethod, Json::object()).parameters["version"], "1.0");
}

// One definition of the search (name or any domain, without case), paged over
// the matching sites, each site's domains capped and counted.
TEST_F(ControlServiceTest, ListSitesSearchesAndPages) {
  std::ofstream(path) << R"({"sitesData": [
      {"id": "6F1C2A3B-4D5E-4F60-8172-93A4B5C6D7E1", "name": "Video", "domains": ["video.test", "clips.test", "tube.test"]},
      {"id": "6F1C2A3B-4D5E-4F60-8172-93A4B5C6D7E2", "name": "News", "domains": ["paper.test", "video-news.test"]},
      {"id": "6F1C2A3B-4D5E-4F60-8172-93A4B5C6D7E3", "name": "Games", "domains": ["play.test"]}]})";
  const struct {
    Json parameters;
    std::vector<std::string> names;
    std::size_t total;
    std::vector<std::string> firstDomains;
    Json firstCount;  // null: not asked for
  } cases[] = {
      {Json::object(), {"Video", "News", "Games"}, 3, {"video.test", "clips.test", "tube.test"}, nullptr},
      {{{"search", "VIDEO"}}, {"Video", "News"}, 2, {"video.test", "clips.test", "tube.test"}, nullptr},
      {{{"search", "news"}, {"domainLimit", 1}}, {"News"}, 1, {"paper.test"}, 2},  // its name matches: all its domains
      {{{"search", "clips"}}, {"Video"}, 1, {"clips.test"}, nullptr},  // only the domains that match
      {{{"offset", 1}, {"limit", 1}}, {"News"}, 3, {"paper.test", "video-news.test"}, nullptr},
      {{{"offset", 5}, {"search", nullptr}}, {}, 3, {}, nullptr},
      {{{"limit", 0}, {"search", "t"}}, {}, 3, {}, nullptr},
  };
  for (const auto& c : cases) {
    const Json reply = call(listSitesMethod, c.parameters).parameters;
    std::vector<std::string> names;
    for (const Json& site : reply["sites"]) names.push_back(site["name"]);
    EXPECT_EQ(names, c.names) << c.parameters;
    EXPECT_EQ(reply["total"], c.total) << c.parameters;
    if (names.empty()) continue;
    EXPECT_EQ(reply["sites"][0]["domains"], Json(c.firstDomains)) << c.parameters;
    EXPECT_EQ(reply["sites"][0].value("domainCount", Json()), c.firstCount) << c.parameters;
  }
  for (const Json& bad : {Json{{"offset", -1}}, Json{{"limit", 1001}}, Json{{"domainLimit", "5"}}, Json{{"search", 1}},
                          Json{{"page", 1}}}) {
    EXPECT_EQ(call(listSitesMethod, bad).error, invalidParameterError) << bad;
  }
}

}  // namespace
}  // namespace vosk::control
