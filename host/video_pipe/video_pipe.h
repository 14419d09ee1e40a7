#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include <asio/awaitable.hpp>
#include <nlohmann/json.hpp>

#include "platform/capture_service.h"
#include "platform/compression_session.h"
#include "platform/error_value.h"
#include "platform/serial_queue.h"

namespace tavrino::share {

// Hands one outgoing message to the writer (Wire::send in the program).
using SendMessage = std::function<void(const nlohmann::json&)>;
// Hands one finished compact JSON body to the same writer (Wire::writeFrame on
// standard output in the program). Frame messages take this way when it is
// given, so that their megabyte of Base64 is neither copied into a JSON tree
// nor scanned for escapes.
using SendBody = std::function<void(const std::string& body)>;

// Turns the captured frames of one sharing request into H.264 messages.
// Every field below is touched only on queue().
class VideoPipe final : public StreamOutput, public std::enable_shared_from_this<VideoPipe> {
 public:
  using CreateResult = std::variant<std::shared_ptr<VideoPipe>, ErrorValue>;

  // Creates the pipe with a prepared H.264 session of the given size, or fails
  // with "Hardware video encoder unavailable (N).". Called on the main thread.
  static CreateResult create(std::int32_t width, std::int32_t height, std::string request,
                             std::optional<std::int32_t> ownerPID,
                             CompressionSessionFactory& encoders, SendMessage send,
                             SendBody sendFrameBody = {});

  // The seven settings of a live-sharing session, then prepare; results are
  // ignored, as a refused setting leaves the encoder's own choice in place.
  static void configureForLiveSharing(CompressionSession& session);

  SerialQueue queue() const { return queue_; }
  const std::string& request() const { return request_; }
  std::optional<std::int32_t> ownerPID() const { return ownerPID_; }

  // Capture service callback, on queue().
  void streamDidOutputSampleBuffer(CaptureStream& stream,
                                   std::shared_ptr<const SampleBuffer> sample,
                                   StreamOutputType type) override;

  // Frees the in-flight slot of a frame; returns at once, takes effect on queue().
  void acknowledge(std::int64_t id);

  // Ends the pipe for good and sends "stats" as its last message. The caller
  // resumes on its own executor once that has happened.
  asio::awaitable<void> finish();

  struct Private;  // construction token
  VideoPipe(Private, std::string request, std::optional<std::int32_t> ownerPID, SendMessage send,
            SendBody sendFrameBody);

 private:
  friend struct VideoPipeInspector;  // state access for tests and benchmarks

  void submit(std::shared_ptr<const ImageBuffer> image, MediaTime presentationTime);
  void handleResult(std::int32_t status, std::shared_ptr<const SampleBuffer> sample,
                    std::int64_t id);
  void emit(const SampleBuffer& sample, std::int64_t id);
  void finishOnQueue();
  void fail(const std::string& message);
  bool ownerGone() const;

  SerialQueue queue_;
  std::unique_ptr<CompressionSession> encoder_;
  std::set<std::int64_t> pending_;
  std::int64_t nextID_ = 0;
  bool configured_ = false;
  bool stopped_ = false;
  std::int64_t received_ = 0;
  std::int64_t sent_ = 0;
  std::int64_t skipped_ = 0;
  // What the pictures dropped since the last submitted one changed.
  std::optional<ChangedBlocks> missed_;
  // The latest picture dropped since then. The capture sends nothing new while
  // the desktop is still, so it goes out at the first idle tick with room.
  std::shared_ptr<const ImageBuffer> held_;
  std::optional<MediaTime> firstTimestamp_;
  std::vector<std::uint8_t> frameBytes_;  // reused by emit
  std::string frameBody_;                 // reused by emit
  const std::string request_;
  const std::optional<std::int32_t> ownerPID_;
  const SendMessage send_;
  const SendBody sendFrameBody_;
};

}  // namespace tavrino::share
