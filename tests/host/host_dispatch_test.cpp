#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include "host_harness.h"

namespace tavrino::share::testing {
namespace {

using nlohmann::json;
using Types = std::vector<std::string>;

const char* const kInvalid = "Invalid or overlapping sharing request.";

ShareableContent twoDisplays(int mainInstances = 1) {
  ShareableContent content;
  content.displays = {{7, 2560, 1440}, {9, 1366, 768}};
  for (int i = 0; i < mainInstances; ++i) content.applications.push_back(mainApplication(::getpid()));
  content.applications.push_back({std::nullopt, 55});
  content.windows = {{101}, {102}};
  return content;
}

json start(const std::string& request, json display = 7) {
  return {{"command", "start"}, {"request", request}, {"display", std::move(display)}};
}

TEST(Dispatcher, ListsDisplaysWhenTheDesktopApplicationRunsOnce) {
  HostHarness h;
  h.request({{"command", "sources"}, {"request", "s1"}});
  ASSERT_EQ(h.service.pendingQueries(), 1u);
  EXPECT_EQ(h.service.oldestQueryArguments(), std::make_pair(false, true));
  h.service.releaseQuery(twoDisplays());
  h.settle();
  const auto messages = h.messages.all();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], json::parse(R"({"type":"sources","request":"s1","displays":[
      {"id":7,"width":2560,"height":1440},{"id":9,"width":1366,"height":768}]})"));
  EXPECT_EQ(h.host->epoch(), 0);  // listing changes nothing
}

TEST(Dispatcher, RefusesTheListingUnlessExactlyOneDesktopApplicationRuns) {
  for (int instances : {0, 2}) {
    HostHarness h;
    h.request({{"command", "authorize"}, {"request", "s"}});
    h.service.releaseQuery(twoDisplays(instances));
    h.settle();
    const auto messages = h.messages.all();
    ASSERT_EQ(messages.size(), 1u) << instances;  // no stop follows
    EXPECT_EQ(messages[0]["code"], "tavrinoUnavailable");
    EXPECT_EQ(messages[0].size(), 4u);
  }
  HostHarness testMode({"--test-window=not-a-number"});
  testMode.request({{"command", "sources"}, {"request", "s"}});
  testMode.service.releaseQuery(twoDisplays(2));
  testMode.settle();
  EXPECT_EQ(testMode.messages.types(), Types{"sources"});
}

TEST(Dispatcher, AFailingContentQueryIsReportedAndFollowedByAStop) {
  HostHarness h;
  h.request({{"command", "sources"}, {"request", "s"}});
  h.service.releaseQuery(ErrorValue{"X11", 3, "The display went away."});
  h.settle();
  const auto messages = h.messages.all();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], (json{{"type", "error"}, {"request", "s"}, {"message", "The display went away."}}));
  EXPECT_EQ(messages[1], (json{{"type", "stopped"}, {"request", ""}}));
}

TEST(Dispatcher, GatesEverythingButAckAndStopOnPermission) {
  HostHarness h;
  h.service.permission = false;
  for (const char* command : {"sources", "start", "bogus", "authorize"})
    h.request({{"command", command}, {"request", "p"}, {"display", 7}});
  h.request({{"command", "ack"}, {"request", "other"}, {"id", 1}});
  EXPECT_EQ(h.service.permissionRequests, 1);  // only "authorize" asks
  EXPECT_EQ(h.service.pendingQueries(), 0u);
  for (const auto& message : h.messages.all()) {
    EXPECT_EQ(message["code"], "screenPermission");
    EXPECT_EQ(message["message"],
              "Enable Tavrino Share Helper in System Settings \u2192 Privacy & Security \u2192 Screen "
              "Recording. Then cancel and start sharing again.");
  }
  EXPECT_EQ(h.messages.size(), 5u);
  h.request({{"command", "stop"}});
  EXPECT_EQ(h.messages.types().back(), "stopped");

  HostHarness granted;
  granted.service.permission = false;
  granted.service.grantOnRequest = true;
  granted.request({{"command", "authorize"}, {"request", "a"}});
  EXPECT_EQ(granted.service.pendingQueries(), 1u);
}

TEST(Dispatcher, AnswersUnknownAndMisspeltCommandsWithAStop) {
  for (const json& message : {json{{"command", "Start"}, {"request", "x"}, {"display", 7}},
                              json{{"request", "x"}}, json{{"command", 5}, {"request", "x"}},
                              json{{"command", "ack"}, {"request", "x"}, {"id", 1}}}) {
    HostHarness h;
    h.request(message);
    const auto messages = h.messages.all();
    ASSERT_EQ(messages.size(), 2u) << message;
    EXPECT_EQ(messages[0], (json{{"type", "error"}, {"request", "x"}, {"message", kInvalid}}));
    EXPECT_EQ(messages[1]["type"], "stopped");
  }
}

TEST(Dispatcher, RefusesInvalidStartRequests) {
  const std::string hundredOne(101, 'r');
  for (const json& message : {start(""), start(hundredOne), start("r", -1), start("r", "7"),
                              start("r", 7.5), start("r", 4294967296.0),
                              json{{"command", "start"}, {"request", "r"}}}) {
    HostHarness h;
    h.request(message);
    EXPECT_EQ(h.messages.types(), (Types{"error", "stopped"})) << message;
    EXPECT_EQ(h.messages.all()[0]["message"], kInvalid);
    EXPECT_EQ(h.service.pendingQueries(), 0u);
    EXPECT_FALSE(h.host->starting());
    EXPECT_EQ(h.host->request(), "");  // set only by a valid start
  }
}

TEST(Dispatcher, AcceptsAHundredCharacterIdentifierCountedInGraphemes) {
  std::string hundred;
  for (int i = 0; i < 100; ++i) hundred += "\U0001F468\u200D\U0001F469\u200D\U0001F467";
  HostHarness h;
  h.request(start(hundred, 7.0));
  EXPECT_TRUE(h.messages.all().empty());
  EXPECT_EQ(h.service.pendingQueries(), 1u);
  EXPECT_TRUE(h.host->starting());
  EXPECT_EQ(h.host->request(), hundred);
  EXPECT_EQ(h.host->epoch(), 1);
}

TEST(Dispatcher, ASecondStartWhileTheFirstWaitsEndsBoth) {
  HostHarness h;
  h.request(start("first"));
  h.request(start("second"));
  const auto messages = h.messages.all();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], (json{{"type", "error"}, {"request", "second"}, {"message", kInvalid}}));
  EXPECT_EQ(messages[1], (json{{"type", "stopped"}, {"request", "first"}}));
  h.service.releaseQuery(twoDisplays());
  h.settle();
  EXPECT_EQ(h.messages.size(), 2u);  // the first start gives up silently
  EXPECT_TRUE(h.service.streams().empty());
  EXPECT_FALSE(h.host->starting());
  EXPECT_EQ(h.host->epoch(), 2);
}

TEST(Dispatcher, AStopWhileTheContentIsQueriedAbandonsTheStart) {
  HostHarness h;
  h.request(start("r"));
  h.request({{"command", "stop"}, {"request", "anything"}});
  EXPECT_EQ(h.messages.types(), Types{"stopped"});
  h.service.releaseQuery(twoDisplays());
  h.settle();
  EXPECT_EQ(h.messages.types(), Types{"stopped"});
  EXPECT_FALSE(h.host->starting());
  // A new start is accepted again.
  h.request(start("again"));
  EXPECT_EQ(h.service.pendingQueries(), 1u);
}

TEST(Dispatcher, AFailingQueryDuringStartClearsStarting) {
  HostHarness h;
  h.request(start("r"));
  h.service.releaseQuery(ErrorValue{"X11", 2, "No content."});
  h.settle();
  EXPECT_EQ(h.messages.types(), (Types{"error", "stopped"}));
  EXPECT_EQ(h.messages.all()[1]["request"], "r");
  EXPECT_FALSE(h.host->starting());
}

TEST(Dispatcher, AcksReachOnlyTheCurrentRequestsPipe) {
  HostHarness h;
  h.request({{"command", "ack"}, {"request", ""}, {"id", 5}});  // current request, no pipe
  EXPECT_TRUE(h.messages.all().empty());

  h.request(start("caf\u00e9"));
  h.service.releaseQuery(twoDisplays());
  h.settle();
  h.stream()->completeStart();
  h.settle();
  ASSERT_EQ(h.messages.types(), Types{"started"});
  // Canonically equal identifier, id in floating-point form: accepted silently.
  h.request({{"command", "ack"}, {"request", "cafe\u0301"}, {"id", 5.0}});
  EXPECT_EQ(h.messages.types(), Types{"started"});
  h.request({{"command", "ack"}, {"request", "caf\u00e9"}, {"id", 1.5}});
  EXPECT_EQ(h.messages.types(), (Types{"started", "error"}));
  EXPECT_EQ(h.host->capture(), nullptr);  // the stop has begun
  h.stream()->completeStop();
  ASSERT_TRUE(h.waitForMessages(4));
  EXPECT_EQ(h.messages.types(), (Types{"started", "error", "stats", "stopped"}));
}

}  // namespace
}  // namespace tavrino::share::testing
