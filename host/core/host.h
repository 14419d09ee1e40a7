#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <nlohmann/json.hpp>

#include "platform/capture_service.h"
#include "platform/compression_session.h"
#include "platform/error_value.h"
#include "video_pipe/video_pipe.h"

namespace tavrino::share {

// Owns all sharing state of the helper. Every member function except
// streamDidStopWithError runs on the main executor, so the fields need no lock.
class Host final : public StreamDelegate, public std::enable_shared_from_this<Host> {
 public:
  Host(asio::any_io_executor mainExecutor, CaptureService& captureService,
       CompressionSessionFactory& encoders, SendMessage send, std::vector<std::string> arguments,
       SendBody sendFrameBody = {});

  // The first message of the serving mode.
  void sendHello();

  // One request; started as its own task for every request read.
  asio::awaitable<void> handle(nlohmann::json message);

  // Ends whatever capture runs or starts; always sends exactly one "stopped",
  // naming the request that was current when this stop began.
  asio::awaitable<void> stop();

  // The stop at the end of input: first waits for every teardown, capture
  // start and encoder opening already under way, so that nothing of a capture
  // outlives the serving loop. Waits for the desktop's content queries are
  // not included: the capture service answers or abandons those itself.
  asio::awaitable<void> shutdown();

  // Capture service callback, on any thread.
  void streamDidStopWithError(std::shared_ptr<CaptureStream> stream, const ErrorValue& error) override;

  // Read-only views for tests and diagnostics (main executor only).
  const std::shared_ptr<CaptureStream>& capture() const { return capture_; }
  const std::shared_ptr<VideoPipe>& pipe() const { return pipe_; }
  const std::string& request() const { return request_; }
  bool starting() const { return starting_; }
  std::int64_t epoch() const { return epoch_; }

 private:
  asio::awaitable<std::optional<ErrorValue>> listDisplays(const std::string& request);
  asio::awaitable<std::optional<ErrorValue>> start(const nlohmann::json& message,
                                                   const std::string& request, bool& setStarting);
  asio::awaitable<std::optional<ErrorValue>> continueStart(const ShareableContent& content,
                                                           std::uint32_t displayID, bool testExclude,
                                                           std::int64_t token);
  asio::awaitable<ContentResult> queryContent();
  asio::awaitable<void> reportStreamStopped(std::shared_ptr<Host> self,
                                            std::shared_ptr<CaptureStream> stream);

  // Counts a wait on the capture service or the encoder that shutdown must see end.
  class BusyScope;
  void endBusy();

  asio::any_io_executor mainExecutor_;
  CaptureService& captureService_;
  CompressionSessionFactory& encoders_;
  SendMessage send_;
  SendBody sendFrameBody_;  // the pipes' way for frame messages, when given
  std::vector<std::string> arguments_;

  std::shared_ptr<CaptureStream> capture_;
  std::shared_ptr<VideoPipe> pipe_;
  std::string request_;
  bool starting_ = false;
  std::int64_t epoch_ = 0;
  int busy_ = 0;
  std::vector<std::function<void()>> idleWaiters_;
};

// Runs a Host task on its executor; an escaping exception is rethrown from
// the event loop instead of being swallowed.
void spawnTask(const asio::any_io_executor& executor, asio::awaitable<void> task);

}  // namespace tavrino::share
