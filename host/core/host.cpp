#include "core/host.h"

#include <algorithm>
#include <exception>
#include <utility>

#include <asio/co_spawn.hpp>
#include <asio/post.hpp>

#include "platform/await_completion.h"
#include "core/capture_plan.h"
#include "core/messages.h"
#include "core/request_text.h"
#include "core/wire.h"

namespace tavrino::share {

using nlohmann::json;

namespace {

constexpr std::size_t kMaxRequestLength = 100;

bool isCommand(const std::string& command, const char* name) { return canonicallyEqual(command, name); }

std::vector<RunningApplication> applicationsWithIdentifier(const ShareableContent& content,
                                                           const char* identifier) {
  std::vector<RunningApplication> found;
  for (const auto& application : content.applications)
    if (application.bundleIdentifier == identifier) found.push_back(application);
  return found;
}

}  // namespace

class Host::BusyScope {
 public:
  explicit BusyScope(Host& host) : host_(host) { ++host_.busy_; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;
  ~BusyScope() { host_.endBusy(); }

 private:
  Host& host_;
};

void Host::endBusy() {
  if (--busy_ > 0) return;
  for (auto& resume : std::exchange(idleWaiters_, {})) resume();
}

void spawnTask(const asio::any_io_executor& executor, asio::awaitable<void> task) {
  asio::co_spawn(executor, std::move(task), [](std::exception_ptr error) {
    if (error) std::rethrow_exception(error);
  });
}

Host::Host(asio::any_io_executor mainExecutor, CaptureService& captureService,
           CompressionSessionFactory& encoders, SendMessage send, std::vector<std::string> arguments,
           SendBody sendFrameBody)
    : mainExecutor_(std::move(mainExecutor)),
      captureService_(captureService),
      encoders_(encoders),
      send_(std::move(send)),
      sendFrameBody_(std::move(sendFrameBody)),
      arguments_(std::move(arguments)) {}

void Host::sendHello() { send_(helloMessage()); }

asio::awaitable<void> Host::handle(json message) {
  const auto self = shared_from_this();
  const std::string command = stringMember(message, "command");
  const std::string request = stringMember(message, "request");

  if (isCommand(command, "ack") && canonicallyEqual(request, request_)) {
    if (const auto it = message.find("id"); it != message.end()) {
      if (const auto id = exactInt64(*it)) {
        if (pipe_) pipe_->acknowledge(*id);
        co_return;
      }
    }
  }
  if (isCommand(command, "stop")) {
    co_await stop();
    co_return;
  }
  const bool authorize = isCommand(command, "authorize");
  if (authorize) captureService_.requestScreenCaptureAccess();
  if (!captureService_.preflightScreenCaptureAccess()) {
    send_(errorMessage(request, text::kScreenPermission, "screenPermission"));
    co_return;
  }

  bool setStarting = false;
  std::optional<ErrorValue> error;
  if (authorize || isCommand(command, "sources"))
    error = co_await listDisplays(request);
  else if (isCommand(command, "start"))
    error = co_await start(message, request, setStarting);
  else
    error = failure(text::kInvalidRequest);

  // The one error handler of every command.
  if (!error) co_return;
  if (setStarting) starting_ = false;
  send_(errorMessage(request, error->description));
  co_await stop();
}

asio::awaitable<ContentResult> Host::queryContent() {
  co_return co_await awaitCompletion<ContentResult>([this](auto complete) {
    captureService_.getShareableContent(false, true, std::move(complete));
  });
}

asio::awaitable<std::optional<ErrorValue>> Host::listDisplays(const std::string& request) {
  auto result = co_await queryContent();
  if (auto* error = std::get_if<ErrorValue>(&result)) co_return *error;
  const auto& content = std::get<ShareableContent>(result);
  if (!isTestMode(arguments_) &&
      applicationsWithIdentifier(content, kMainApplicationIdentifier).size() != 1) {
    send_(errorMessage(request, text::kTavrinoUnavailable, "tavrinoUnavailable"));
    co_return std::nullopt;
  }
  send_(sourcesMessage(request, content.displays));
  co_return std::nullopt;
}

asio::awaitable<std::optional<ErrorValue>> Host::start(const json& message, const std::string& request,
                                                       bool& setStarting) {
  std::optional<std::uint32_t> displayID;
  if (const auto it = message.find("display"); it != message.end()) displayID = exactUInt32(*it);
  const auto length = graphemeClusterCount(request);
  if (request.empty() || !length || *length > kMaxRequestLength || starting_ || capture_ || !displayID)
    co_return failure(text::kInvalidRequest);

  bool testExclude = true;
  if (const auto it = message.find("testExclude"); it != message.end() && it->is_boolean())
    testExclude = it->get<bool>();

  request_ = request;
  starting_ = true;
  setStarting = true;
  const std::int64_t token = ++epoch_;

  auto result = co_await queryContent();
  if (auto* error = std::get_if<ErrorValue>(&result)) co_return *error;
  co_return co_await continueStart(std::get<ShareableContent>(result), *displayID, testExclude, token);
}

asio::awaitable<std::optional<ErrorValue>> Host::continueStart(const ShareableContent& content,
                                                               std::uint32_t displayID,
                                                               bool testExclude, std::int64_t token) {
  // A stop, or a refused overlapping start, came while the content was queried.
  if (epoch_ != token) {
    starting_ = false;
    co_return std::nullopt;
  }
  const auto display = std::find_if(content.displays.begin(), content.displays.end(),
                                    [&](const Display& d) { return d.displayID == displayID; });
  if (display == content.displays.end()) co_return failure(text::kDisplayUnavailable);

  const auto mainInstances = applicationsWithIdentifier(content, kMainApplicationIdentifier);
  const CaptureMode mode = chooseCaptureMode(arguments_);

  ContentFilter filter;
  std::optional<std::int32_t> ownerPID;
  switch (mode.kind) {
    case CaptureMode::Kind::normal:
      if (mainInstances.size() != 1) co_return failure(text::kOpenOneInstance);
      filter = ContentFilter::excludingApplications(*display, mainInstances, {});
      ownerPID = mainInstances.front().processID;
      break;
    case CaptureMode::Kind::fixture: {
      std::vector<RunningApplication> excluded;
      if (testExclude) {
        excluded = applicationsWithIdentifier(content, kFixtureApplicationIdentifier);
        if (excluded.size() != 1) co_return failure(text::kTestApplicationUnavailable);
      }
      if (!excluded.empty()) ownerPID = excluded.front().processID;
      filter = ContentFilter::excludingApplications(*display, std::move(excluded), {});
      break;
    }
    case CaptureMode::Kind::window: {
      std::vector<Window> excluded;
      if (testExclude) {
        std::copy_if(content.windows.begin(), content.windows.end(), std::back_inserter(excluded),
                     [&](const Window& w) { return w.windowID == mode.windowNumber; });
        if (excluded.size() != 1) co_return failure(text::kTestWindowUnavailable);
      }
      filter = ContentFilter::excludingWindows(*display, std::move(excluded));
      break;
    }
  }

  const auto size = captureSize(captureService_.displayPixelsWide(displayID), *display);
  if (!size) co_return failure(text::kDisplayUnavailable);

  // Opening an encoder takes a while; requests and acknowledgements go on meanwhile.
  VideoPipe::CreateResult created = failure(text::kDisplayUnavailable);
  {
    const BusyScope busy(*this);
    auto opening = awaitCompletion<VideoPipe::CreateResult>(
        [size = *size, request = request_, ownerPID, &encoders = encoders_, send = send_,
         sendBody = sendFrameBody_](auto complete) {
          asio::post(backgroundPool(), [=, &encoders, complete = std::move(complete)] {
            complete(VideoPipe::create(size.width, size.height, request, ownerPID, encoders, send,
                                       sendBody));
          });
        });
    // Kept out of the co_await expression: GCC 12 destroys temporaries with
    // captures there twice.
    created = co_await std::move(opening);
  }
  // A stop came while the encoder opened.
  if (epoch_ != token) {
    starting_ = false;
    co_return std::nullopt;
  }
  if (auto* error = std::get_if<ErrorValue>(&created)) co_return *error;
  auto pipe = std::get<std::shared_ptr<VideoPipe>>(std::move(created));

  auto stream = captureService_.makeStream(filter, streamConfiguration(*size), weak_from_this());
  if (auto error = stream->addStreamOutput(pipe, StreamOutputType::screen, pipe->queue()))
    co_return *error;

  capture_ = stream;
  pipe_ = pipe;
  const std::string request = request_;
  std::optional<ErrorValue> startError;
  {
    const BusyScope busy(*this);
    startError = co_await awaitCompletion<std::optional<ErrorValue>>(
        [&stream](auto complete) { stream->startCapture(std::move(complete)); });
  }
  if (startError) co_return *startError;

  // A stop while the capture was starting has already said "stopped".
  if (epoch_ == token)
    send_(startedMessage(request, size->width, size->height, displayID,
                         static_cast<std::int64_t>(mainInstances.size())));
  starting_ = false;
  co_return std::nullopt;
}

asio::awaitable<void> Host::stop() {
  const auto self = shared_from_this();
  const BusyScope busy(*this);
  ++epoch_;
  // A start accepted while this stop waits must not be named as the one it ended.
  const std::string request = request_;
  // Idle before the first wait: whatever runs meanwhile sees no capture.
  auto capture = std::exchange(capture_, nullptr);
  auto pipe = std::exchange(pipe_, nullptr);
  if (capture) {
    co_await awaitCompletion<std::optional<ErrorValue>>(
        [&capture](auto complete) { capture->stopCapture(std::move(complete)); });
  }
  if (pipe) co_await pipe->finish();
  send_(stoppedMessage(request));
}

asio::awaitable<void> Host::shutdown() {
  const auto self = shared_from_this();
  // First the teardowns and starts under way, so that their messages come
  // before the last "stopped" and a capture that was starting is ended too.
  while (busy_ > 0) {
    co_await awaitCompletion<void>(
        [this](auto resume) { idleWaiters_.push_back(std::move(resume)); });
  }
  co_await stop();
}

void Host::streamDidStopWithError(std::shared_ptr<CaptureStream> stream, const ErrorValue&) {
  spawnTask(mainExecutor_, reportStreamStopped(shared_from_this(), std::move(stream)));
}

asio::awaitable<void> Host::reportStreamStopped(std::shared_ptr<Host> self,
                                                std::shared_ptr<CaptureStream> stream) {
  (void)self;  // keeps the Host alive across the stop
  // Reports about a stream that a stop already took out are stale.
  if (!capture_ || capture_ != stream) co_return;
  send_(errorMessage(request_, text::kCaptureStopped));
  co_await stop();
}

}  // namespace tavrino::share
