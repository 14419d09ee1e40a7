// The Host's requests, captures and stops, with every completion of the
// capture service released by hand.
#include <functional>
#include <future>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include "core/capture_plan.h"
#include "host_harness.h"

namespace tavrino::share::testing {
namespace {

using nlohmann::json;
using Types = std::vector<std::string>;

const char* const kInvalid = "Invalid or overlapping sharing request.";

ShareableContent content(std::vector<Display> displays, std::vector<RunningApplication> applications,
                         std::vector<Window> windows = {}) {
  return {std::move(displays), std::move(applications), std::move(windows)};
}

const ShareableContent kOneMain = content({{1, 3840, 2160}}, {mainApplication(::getpid())});

// Validates a start, delivers the content and waits for the encoder to open;
// the capture is then starting, or the start has failed.
void beginStart(HostHarness& h, const ShareableContent& c, json request = startRequest("r")) {
  const auto streams = h.service.streams().size();
  h.request(std::move(request));
  ASSERT_EQ(h.service.queries.size(), 1u);
  h.service.releaseQuery(c);
  ASSERT_TRUE(h.waitFor([&] { return h.service.streams().size() > streams || !h.host->starting(); }));
}

void runCapture(HostHarness& h) {
  beginStart(h, kOneMain);
  h.stream()->completeStart();
  h.settle();
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
    std::vector<RunningApplication> applications(c.instances, mainApplication(::getpid()));
    applications.push_back({std::nullopt, 55});  // one without an identifier
    h.service.releaseQuery(content({{1, 2560, 1440}, {9, 1366, 768}}, applications));
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
    EXPECT_EQ(h.messages.all(), (std::vector{errorMessage("q", "The display went away."), stoppedMessage(stopped)}))
        << message;
    EXPECT_FALSE(h.host->starting());
  }
}

// Identifiers are one to a hundred grapheme clusters.
TEST(Dispatcher, AnswersInvalidRequestsWithAnErrorAndAStop) {
  json noDisplay = startRequest("x");
  noDisplay.erase("display");
  for (const json& message :
       {json{{"command", "Start"}, {"request", "x"}, {"display", 1}}, json{{"request", "x"}},
        json{{"command", 5}, {"request", "x"}}, json{{"command", "ack"}, {"request", "x"}, {"id", 1}},
        startRequest("x", -1), startRequest("x", "1"), startRequest("x", 4294967296), noDisplay, startRequest(""),
        startRequest(std::string(101, 'r'))}) {
    HostHarness h;
    h.request(message);
    EXPECT_EQ(h.messages.all(), (std::vector{errorMessage(message["request"].get<std::string>(), kInvalid), stoppedMessage("")}))
        << message;
    EXPECT_EQ(h.service.queries.size(), 0u);
    EXPECT_FALSE(h.host->starting());
  }
  std::string hundred;
  for (int i = 0; i < 100; ++i) hundred += "\U0001F468\u200D\U0001F469\u200D\U0001F467";
  HostHarness h;
  h.request(startRequest(hundred));
  EXPECT_TRUE(h.messages.all().empty());
  EXPECT_EQ(h.host->request(), hundred);
}

// A stop, or a refused second start whose stop ends the first too, while the
// first start waits for the content: the first then gives up silently, and
// a start is accepted again.
TEST(Dispatcher, AStartOvertakenWhileTheContentIsQueriedGivesUpSilently) {
  const std::pair<json, std::vector<json>> cases[] = {
      {{{"command", "stop"}, {"request", "anything"}}, {stoppedMessage("first")}},
      {startRequest("second"), {errorMessage("second", kInvalid), stoppedMessage("first")}},
  };
  for (const auto& [overtaking, replies] : cases) {
    HostHarness h;
    h.request(startRequest("first"));
    h.request(overtaking);
    h.service.releaseQuery(kOneMain);
    h.settle();
    EXPECT_EQ(h.messages.all(), replies) << overtaking;
    EXPECT_TRUE(h.service.streams().empty());
    EXPECT_FALSE(h.host->starting());
    EXPECT_EQ(h.host->epoch(), 2);
    h.request(startRequest("again"));
    EXPECT_EQ(h.service.queries.size(), 1u);
  }
}

TEST(Dispatcher, AcksReachOnlyTheCurrentRequestsPipe) {
  HostHarness h;
  h.request({{"command", "ack"}, {"request", ""}, {"id", 5}});  // current request, no pipe
  EXPECT_TRUE(h.messages.all().empty());

  beginStart(h, kOneMain, startRequest("caf\u00e9"));
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

TEST(CaptureModeChoice, PicksFixtureThenWindowThenNormal) {
  using Kind = CaptureMode::Kind;
  EXPECT_EQ(chooseCaptureMode({}).kind, Kind::normal);
  EXPECT_EQ(chooseCaptureMode({"--test-window=5", "--test-application"}).kind, Kind::fixture);
  const auto window = chooseCaptureMode({"--other", "--test-window=4294967295"});
  EXPECT_EQ(window.kind, Kind::window);
  EXPECT_EQ(window.windowNumber, 4294967295u);
  EXPECT_EQ(chooseCaptureMode({"--test-window=007"}).windowNumber, 7u);
  for (const char* text : {"--test-window=", "--test-window=-3", "--test-window=+3",
                           "--test-window=4294967296", "--test-window=99999999999999999999",
                           "--test-window=12ab", "--test-window=abc", "--test-window= 1"})
    EXPECT_EQ(chooseCaptureMode({text}).kind, Kind::normal) << text;
  // Only the first window option counts.
  EXPECT_EQ(chooseCaptureMode({"--test-window=x", "--test-window=3"}).kind, Kind::normal);
  EXPECT_TRUE(isTestMode({"--test-window=x"}));
  EXPECT_FALSE(isTestMode({"--test-app", "test-window=1"}));
}

TEST(CaptureSizeRule, FollowsTheWidthCapAndTheReportedAspect) {
  EXPECT_EQ(captureSize(3840, {1, 3840, 2160}), (CaptureSize{1920, 1080}));
  EXPECT_EQ(captureSize(2560, {1, 2560, 1440}), (CaptureSize{1920, 1080}));
  EXPECT_EQ(captureSize(1366, {1, 1366, 768}), (CaptureSize{1366, 768}));
  EXPECT_EQ(captureSize(1511, {1, 1000, 600}), (CaptureSize{1510, 906}));
  EXPECT_EQ(captureSize(1001, {1, 1001, 333}), (CaptureSize{1000, 332}));  // 332.67 -> 332
  // No usable picture:
  EXPECT_FALSE(captureSize(1920, {1, 0, 1080}));
  EXPECT_FALSE(captureSize(0, {1, 1920, 1080}));
  EXPECT_FALSE(captureSize(1, {1, 1920, 1080}));
  EXPECT_FALSE(captureSize(-1920, {1, 1920, 1080}));
  EXPECT_FALSE(captureSize(1920, {1, 1920, 0}));
  EXPECT_FALSE(captureSize(1920, {1, 1, INT64_MAX}));
}

TEST(CaptureStart, StartsTheChosenDisplayExcludingTheDesktopApplication) {
  HostHarness h;
  h.service.pixelWidths[1] = 1920;  // the size follows the pixel width and the reported aspect
  beginStart(h, content({{2, 800, 600}, {1, 1440, 900}}, {fixtureApplication(77), mainApplication(::getpid())}));
  ASSERT_EQ(h.service.streams().size(), 1u);
  const auto stream = h.stream();
  EXPECT_EQ(stream->filter.display.displayID, 1u);
  ASSERT_EQ(stream->filter.excludedApplications.size(), 1u);
  EXPECT_EQ(stream->filter.excludedApplications[0].processID, ::getpid());
  ASSERT_NE(h.host->pipe(), nullptr);
  EXPECT_EQ(h.host->pipe()->ownerPID(), ::getpid());
  EXPECT_TRUE(h.messages.all().empty());  // nothing until the capture runs

  stream->completeStart();
  h.settle();
  EXPECT_EQ(h.messages.all(), (std::vector<json>{{{"type", "started"}, {"request", "r"}, {"width", 1920},
                                                  {"height", 1200}, {"display", 1},
                                                  {"excludedApplications", 1}, {"audio", false}}}));
  EXPECT_FALSE(h.host->starting());
}

// Opening an encoder takes tens of milliseconds: the main thread answers
// other requests meanwhile, and a stop in that time ends the start.
TEST(CaptureStart, OpensTheEncoderOffTheMainThread) {
  HostHarness h;
  std::promise<void> opened;
  std::shared_future<void> open = opened.get_future().share();
  h.encoders.whileCreating = [open] { open.wait_for(std::chrono::seconds(2)); };
  h.request(startRequest("r"));
  h.service.releaseQuery(kOneMain);
  h.settle();
  h.request({{"command", "stop"}});
  EXPECT_EQ(h.messages.all(), std::vector{stoppedMessage("r")});
  opened.set_value();
  ASSERT_TRUE(h.waitFor([&] { return !h.host->starting(); }));
  h.linger();
  EXPECT_EQ(h.messages.size(), 1u);
  EXPECT_TRUE(h.service.streams().empty());
  EXPECT_NE(h.encoders.createThreads.at(0), std::this_thread::get_id());
}

TEST(CaptureStart, EachFailureSendsOneErrorAndAStopAndStoresNothing) {
  const auto pid = ::getpid();
  const char* const kOneInstance = "Open one Tavrino instance before sharing your desktop.";
  const char* const kGone = "Selected display is no longer available.";
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    ShareableContent content;
    const char* message;
    std::function<void(HostHarness&)> prepare = [](HostHarness&) {};
    bool streamMade = false;
  } cases[] = {
      {"display gone", {}, content({{5, 100, 100}}, {mainApplication(pid)}), kGone},
      {"zero-width display", {}, content({{1, 0, 100}}, {mainApplication(pid)}), kGone},
      {"no instance", {}, content({{1, 100, 100}}, {}), kOneInstance},
      {"two instances", {}, content({{1, 100, 100}}, {mainApplication(pid), mainApplication(pid)}), kOneInstance},
      {"no fixture", {"--test-application"}, kOneMain, "Test application unavailable."},
      {"window missing", {"--test-window=12"}, content({{1, 100, 100}}, {}, {{11}}), "Test window unavailable."},
      // A window number with letters is no test window: the normal mode applies.
      {"window with letters", {"--test-window=11x"}, content({{1, 100, 100}}, {}, {{11}}), kOneInstance},
      // A failing status fails even with a session handed back; success without one fails too.
      {"encoder refused", {}, kOneMain, "Hardware video encoder unavailable (-12908).",
       [](HostHarness& h) { h.encoders.createStatus = -12908; }},
      {"encoder missing", {}, kOneMain, "Hardware video encoder unavailable (0).",
       [](HostHarness& h) { h.encoders.storeSession = false; }},
      {"output refused", {}, kOneMain, "The output was refused.",
       [](HostHarness& h) { h.service.addOutputError = ErrorValue{"X11", 9, "The output was refused."}; }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HostHarness h(c.arguments);
    c.prepare(h);
    beginStart(h, c.content);
    ASSERT_TRUE(h.waitForMessages(2));
    EXPECT_EQ(h.messages.all(), (std::vector{errorMessage("r", c.message), stoppedMessage("r")}));
    EXPECT_EQ(h.service.streams().size(), c.streamMade ? 1u : 0u);
    EXPECT_EQ(h.host->capture(), nullptr);
    EXPECT_EQ(h.host->pipe(), nullptr);
    EXPECT_FALSE(h.host->starting());
    EXPECT_FALSE(h.encoders.log->sessionAlive);
  }
}

// A capture that fails to start, or is stopped while it starts, is torn
// down: its stream stops, and "started" is never sent.
TEST(CaptureStart, ACaptureThatFailsOrIsStoppedWhileStartingIsTornDown) {
  for (const bool fails : {true, false}) {
    HostHarness h;
    beginStart(h, kOneMain);
    if (fails) h.stream()->completeStart(ErrorValue{"X11", 4, "The capture could not start."});
    else h.request({{"command", "stop"}});
    h.settle();
    EXPECT_EQ(h.host->capture(), nullptr);
    EXPECT_EQ(h.host->pipe(), nullptr);
    EXPECT_EQ(h.messages.types(), fails ? Types{"error"} : Types{});
    if (!fails) h.stream()->completeStart();
    h.stream()->completeStop();
    ASSERT_TRUE(h.waitForMessages(fails ? 3 : 2));
    h.linger();
    EXPECT_EQ(h.messages.types(), fails ? (Types{"error", "stats", "stopped"}) : (Types{"stats", "stopped"}));
    EXPECT_FALSE(h.host->starting());
  }
}

// Test modes exclude the fixture application or one window; "testExclude"
// false excludes nothing, and a value of another type counts as true.
TEST(CaptureStart, TestModesExcludeTheFixtureOrTheWindow) {
  const auto pid = ::getpid();
  const struct {
    std::string argument;
    json testExclude;
    std::size_t excluded;
    std::optional<std::int32_t> owner;
  } cases[] = {{"--test-application", nullptr, 1, pid},
               {"--test-application", false, 0, std::nullopt},
               {"--test-window=11", "yes", 1, std::nullopt}};
  for (const auto& c : cases) {
    HostHarness h({c.argument});
    json request = startRequest("r");
    if (!c.testExclude.is_null()) request["testExclude"] = c.testExclude;
    beginStart(h, content({{1, 1366, 768}}, {mainApplication(1), mainApplication(2), fixtureApplication(pid)},
                          {{10}, {11}}),
               request);
    ASSERT_EQ(h.service.streams().size(), 1u) << c.argument;
    const ContentFilter& filter = h.stream()->filter;
    EXPECT_EQ(filter.excludedApplications.size() + filter.excludedWindows.size(), c.excluded);
    for (const Window& w : filter.excludedWindows) EXPECT_EQ(w.windowID, 11u);
    EXPECT_EQ(h.host->pipe()->ownerPID(), c.owner);
  }
}

// The stop is idle before its first wait: a second stop finds nothing and
// says "stopped" at once, while the stop at the end of input waits for the
// first. The first ends after its stream, whatever the stream reports, with
// "stats" and "stopped".
TEST(CaptureStop, StopsTheCaptureThenFinishesThePipeThenSaysStopped) {
  for (const bool atTheEnd : {false, true}) {
    HostHarness h;
    runCapture(h);
    h.stop();
    EXPECT_EQ(h.host->capture(), nullptr);
    EXPECT_EQ(h.stream()->stops.size(), 1u);
    bool shutDown = false;
    if (atTheEnd) h.shutdown(shutDown); else h.stop();
    h.linger();
    EXPECT_EQ(h.messages.types(), atTheEnd ? Types{"started"} : (Types{"started", "stopped"}));
    h.stream()->completeStop(ErrorValue{"X11", 5, "ignored"});
    ASSERT_TRUE(h.waitFor([&] { return h.messages.size() == 4 && shutDown == atTheEnd; }));
    EXPECT_EQ(h.messages.types(), atTheEnd ? (Types{"started", "stats", "stopped", "stopped"})
                                           : (Types{"started", "stopped", "stats", "stopped"}));
    EXPECT_EQ(h.messages.all()[atTheEnd ? 2 : 3], stoppedMessage("r"));
  }
}

// A start accepted while a stop waits for its stream must not be reported as
// stopped: the extension would drop a share that is running.
TEST(CaptureStop, StoppedNamesTheRequestCurrentWhenTheStopBegan) {
  HostHarness h;
  runCapture(h);
  h.request({{"command", "stop"}});
  beginStart(h, kOneMain, startRequest("B"));
  h.stream(1)->completeStart();
  h.stream(0)->completeStop();
  ASSERT_TRUE(h.waitForMessages(4));
  EXPECT_EQ(h.messages.types(), (Types{"started", "started", "stats", "stopped"}));
  EXPECT_EQ(h.messages.all()[3], stoppedMessage("r"));
  EXPECT_EQ(h.host->capture(), h.stream(1));
}

// The current stream stopping by itself ends the capture; a report from a
// stream that a stop already took out changes nothing.
TEST(StreamFailure, OnlyTheCurrentStreamStoppingEndsTheCapture) {
  HostHarness h;
  runCapture(h);
  h.stop();
  h.stream()->completeStop();
  ASSERT_TRUE(h.waitForMessages(3));
  beginStart(h, kOneMain, startRequest("second"));
  h.stream(1)->completeStart();
  h.settle();
  ASSERT_EQ(h.messages.size(), 4u);
  h.stream(0)->reportStoppedByItself();
  h.settle();
  EXPECT_EQ(h.messages.size(), 4u);
  EXPECT_EQ(h.host->capture(), h.stream(1));

  std::thread([&] { h.stream(1)->reportStoppedByItself(); }).join();
  h.settle();
  EXPECT_EQ(h.messages.all().at(4), errorMessage("second", "Desktop capture stopped."));
  h.stream(1)->completeStop();
  ASSERT_TRUE(h.waitForMessages(7));
  EXPECT_EQ(h.messages.types(), (Types{"started", "stats", "stopped", "started", "error", "stats", "stopped"}));
}

}  // namespace
}  // namespace tavrino::share::testing
