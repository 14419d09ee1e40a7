#include <cstdio>
#include <span>
#include <vector>

#include "base64.h"
#include "frame_message.h"
#include "frame_timestamp.h"
#include "video_pipe.h"

namespace tavrino::share {

namespace {

// Largest encoded frame that still fits the framing cap once in Base64.
constexpr std::size_t kMaxFrameBytes = 700'000;

// The AVCDecoderConfigurationRecord, when the description carries a usable one.
const Dictionary::binary_t* decoderConfiguration(const FormatDescription& format) {
  const Dictionary& extensions = format.extensions;
  if (!extensions.is_object()) return nullptr;
  auto atoms = extensions.find(keys::kSampleDescriptionExtensionAtoms);
  if (atoms == extensions.end() || !atoms->is_object()) return nullptr;
  auto record = atoms->find(keys::kAvcC);
  if (record == atoms->end() || !record->is_binary()) return nullptr;
  const auto& bytes = record->get_binary();
  if (bytes.size() <= 4) return nullptr;
  return &bytes;
}

bool isSyncSample(const SampleBuffer& sample) {
  if (!sample.attachments || sample.attachments->empty()) return true;
  const Dictionary& first = sample.attachments->front();
  if (!first.is_object()) return true;
  auto notSync = first.find(keys::kSampleAttachmentNotSync);
  return notSync == first.end() || !notSync->is_boolean() || !notSync->get<bool>();
}

}  // namespace

void VideoPipe::handleResult(std::int32_t status, std::shared_ptr<const SampleBuffer> sample,
                             std::int64_t id) {
  if (stopped_) return;
  if (status != 0 || !sample) {
    pending_.erase(id);
    fail("Video encoding failed (" + std::to_string(status) + ").");
    return;
  }
  emit(*sample, id);
}

void VideoPipe::emit(const SampleBuffer& sample, std::int64_t id) {
  if (!sample.formatDescription || !sample.dataBuffer) {
    fail("Encoded video is incomplete.");
    return;
  }
  if (!configured_) {
    const auto* record = decoderConfiguration(*sample.formatDescription);
    if (!record) {
      fail("Video decoder configuration unavailable.");
      return;
    }
    char codec[16];
    std::snprintf(codec, sizeof codec, "avc1.%02x%02x%02x", (*record)[1], (*record)[2],
                  (*record)[3]);
    const VideoDimensions size = sample.formatDescription->dimensions;
    send_({{"type", "configuration"},
           {"request", request_},
           {"codec", codec},
           {"description", base64Encode(*record)},
           {"width", size.width},
           {"height", size.height}});
    configured_ = true;
  }

  const std::size_t length = sample.dataBuffer->dataLength();
  if (length > kMaxFrameBytes) {
    fail("Video frame exceeded the sharing limit. Share at a lower resolution.");
    return;
  }
  // Both buffers live as long as the pipe, so a frame costs no allocation and
  // no fresh pages once the largest frame so far has been seen.
  std::vector<std::uint8_t>& bytes = frameBytes_;
  bytes.resize(length);
  if (sample.dataBuffer->copyDataBytes(0, length, bytes.data()) != 0) {
    fail("Encoded video could not be read.");
    return;
  }
  const bool key = isSyncSample(sample);
  const std::int64_t timestamp = roundedMicroseconds(sample.presentationTime);
  if (sendFrameBody_) {
    // A request that cannot be written as JSON would be dropped by the writer
    // on the other path, too.
    if (writeFrameMessageBody(frameBody_, request_, id, key, timestamp, bytes))
      sendFrameBody_(frameBody_);
  } else {
    send_({{"type", "frame"},
           {"request", request_},
           {"id", id},
           {"key", key},
           {"timestamp", timestamp},
           {"data", base64Encode(bytes)}});
  }
  ++sent_;
}

}  // namespace tavrino::share
