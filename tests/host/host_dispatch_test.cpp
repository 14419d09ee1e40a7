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
  content.displays = {{1, 2560, 1440}, {9, 1366, 768}};
  for (int i = 0; i < mainInstances; ++i) content.applications.push_back(mainApplication(::getpid()));
  content.applications.push_back({std::nullopt, 55});
  content.windows = {{101}, {102}};
  return content;
}

// The listing needs exactly one instance of the desktop application, unless
// a test option is given, however malformed; a refusal stops nothing.
TEST(Dispatcher, ListsDisplaysWhenTheDesktopApplicationRunsOnce) {
  const auto sources = json::parse(R"({"type":"sources","request":"s","displays":[
      {"id":1,"width":2560,"height":1440},{"id":9,"width":1366,"height":768}]})");
  const auto unavailable = json{{"type", "error"}, {"request", "s"}, {"code", "tavrinoUnavailable"},
                                {"message", "Open Tavrino and keep its window visible, then click Try "
                                            "Again. Keep only one Tavrino instance open."}};
  const struct {
    std::vector<std::string> arguments;
    const char* command;
    int instances;
    json reply;
  } cases[] = {{{}, "sources", 1, sources},
               {{}, "authorize", 0, unavailable},
               {{}, "sources", 2, unavailable},
               {{"--test-window=not-a-number"}, "sources", 2, sources}};
  for (const auto& c : cases) {
    HostHarness h(c.arguments);
    h.request({{"command", c.command}, {"request", "s"}});
    h.service.releaseQuery(twoDisplays(c.instances));
    h.settle();
    EXPECT_EQ(h.messages.all(), std::vector{c.reply}) << c.instances;
    EXPECT_EQ(h.host->epoch(), 0);
  }
}

TEST(Dispatcher, AFailingContentQueryIsReportedAndFollowedByAStop) {
  // A listing stops no request of its own; a start stops its own.
  for (const auto& [message, stopped] : {std::pair{json{{"command", "sources"}, {"request", "q"}}, ""},
                                         std::pair{startRequest("q"), "q"}}) {
    HostHarness h;
    h.request(message);
    h.service.releaseQuery(ErrorValue{"X11", 3, "The display went away."});
    h.settle();
    EXPECT_EQ(h.messages.all(),
              (std::vector{errorMessage("q", "The display went away."), stoppedMessage(stopped)}))
        << message;
    EXPECT_FALSE(h.host->starting());
  }
}

TEST(Dispatcher, AnswersInvalidRequestsWithAnErrorAndAStop) {
  json noDisplay = startRequest("x");
  noDisplay.erase("display");
  for (const json& message :
       {json{{"command", "Start"}, {"request", "x"}, {"display", 1}}, json{{"request", "x"}},
        json{{"command", 5}, {"request", "x"}}, json{{"command", "ack"}, {"request", "x"}, {"id", 1}},
        startRequest("x", -1), startRequest("x", "1"), startRequest("x", 4294967296), noDisplay}) {
    HostHarness h;
    h.request(message);
    EXPECT_EQ(h.messages.all(), (std::vector{errorMessage("x", kInvalid), stoppedMessage("")}))
        << message;
    EXPECT_EQ(h.service.pendingQueries(), 0u);
    EXPECT_FALSE(h.host->starting());
  }
}

TEST(Dispatcher, AcceptsIdentifiersOfOneToAHundredGraphemes) {
  for (const std::string& request : {std::string(), std::string(101, 'r')}) {
    HostHarness h;
    h.request(startRequest(request));
    EXPECT_EQ(h.messages.types(), (Types{"error", "stopped"}));
  }
  std::string hundred;
  for (int i = 0; i < 100; ++i) hundred += "\U0001F468\u200D\U0001F469\u200D\U0001F467";
  HostHarness h;
  h.request(startRequest(hundred));
  EXPECT_TRUE(h.messages.all().empty());
  EXPECT_EQ(h.host->request(), hundred);
}

TEST(Dispatcher, ASecondStartWhileTheFirstWaitsEndsBoth) {
  HostHarness h;
  h.request(startRequest("first"));
  h.request(startRequest("second"));
  EXPECT_EQ(h.messages.all(), (std::vector{errorMessage("second", kInvalid), stoppedMessage("first")}));
  h.service.releaseQuery(twoDisplays());
  h.settle();
  EXPECT_EQ(h.messages.size(), 2u);  // the first start gives up silently
  EXPECT_TRUE(h.service.streams().empty());
  EXPECT_FALSE(h.host->starting());
  EXPECT_EQ(h.host->epoch(), 2);
}

TEST(Dispatcher, AStopWhileTheContentIsQueriedAbandonsTheStart) {
  HostHarness h;
  h.request(startRequest("r"));
  h.request({{"command", "stop"}, {"request", "anything"}});
  EXPECT_EQ(h.messages.types(), Types{"stopped"});
  h.service.releaseQuery(twoDisplays());
  h.settle();
  EXPECT_EQ(h.messages.types(), Types{"stopped"});
  EXPECT_FALSE(h.host->starting());
  h.request(startRequest("again"));  // accepted again
  EXPECT_EQ(h.service.pendingQueries(), 1u);
}

TEST(Dispatcher, AcksReachOnlyTheCurrentRequestsPipe) {
  HostHarness h;
  h.request({{"command", "ack"}, {"request", ""}, {"id", 5}});  // current request, no pipe
  EXPECT_TRUE(h.messages.all().empty());

  h.request(startRequest("caf\u00e9"));
  h.service.releaseQuery(twoDisplays());
  ASSERT_TRUE(h.waitFor([&] { return !h.service.streams().empty(); }));
  h.stream()->completeStart();
  h.settle();
  ASSERT_EQ(h.messages.types(), Types{"started"});
  // A canonically equal identifier: accepted silently.
  h.request({{"command", "ack"}, {"request", "cafe\u0301"}, {"id", 5}});
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
