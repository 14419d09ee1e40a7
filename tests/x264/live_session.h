#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/x264/x264_compression_session.h"

namespace tavrino::share::testing {

// A session configured the way the video pipe configures it.
inline std::unique_ptr<CompressionSession> makeLiveSession(int width, int height) {
  X264CompressionSessionFactory factory;
  std::unique_ptr<CompressionSession> session;
  EXPECT_EQ(factory.create(width, height, VideoCodec::h264, {true}, session), 0);
  if (!session) return nullptr;
  EXPECT_EQ(session->setProperty(CompressionProperty::realTime, true), 0);
  EXPECT_EQ(session->setProperty(CompressionProperty::allowFrameReordering, false), 0);
  EXPECT_EQ(session->setProperty(CompressionProperty::profileLevel, ProfileLevel::h264BaselineAutoLevel), 0);
  EXPECT_EQ(session->setProperty(CompressionProperty::averageBitRate, std::int64_t{6'000'000}), 0);
  EXPECT_EQ(session->setProperty(CompressionProperty::expectedFrameRate, std::int64_t{12}), 0);
  EXPECT_EQ(session->setProperty(CompressionProperty::maxFrameDelayCount, std::int64_t{0}), 0);
  EXPECT_EQ(session->setProperty(CompressionProperty::maxKeyFrameInterval, std::int64_t{24}), 0);
  EXPECT_EQ(session->prepareToEncodeFrames(), 0);
  return session;
}

inline MediaTime frameTime(int index) {
  return MediaTime::make(std::int64_t{index} * 1'000'000'000 / 12, 1'000'000'000);
}

inline const MediaTime kFrameDuration = MediaTime::make(1, 12);

inline bool isNotSync(const SampleBuffer& sample) {
  if (!sample.attachments || sample.attachments->empty()) return false;
  const Dictionary& first = sample.attachments->front();
  auto entry = first.find(keys::kSampleAttachmentNotSync);
  return entry != first.end() && entry->is_boolean() && entry->get<bool>();
}

inline std::vector<std::uint8_t> bytesOf(const SampleBuffer& sample) {
  std::vector<std::uint8_t> bytes(sample.dataBuffer->dataLength());
  EXPECT_EQ(sample.dataBuffer->copyDataBytes(0, bytes.size(), bytes.data()), 0);
  return bytes;
}

// NAL unit types of a 4-byte length-prefixed access unit; none if the
// lengths do not tile the buffer exactly.
inline std::optional<std::vector<int>> nalTypes(const std::vector<std::uint8_t>& bytes) {
  std::vector<int> types;
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < 4) return std::nullopt;
    const std::size_t length = (std::size_t{bytes[at]} << 24) | (std::size_t{bytes[at + 1]} << 16) |
                               (std::size_t{bytes[at + 2]} << 8) | bytes[at + 3];
    at += 4;
    if (length == 0 || length > bytes.size() - at) return std::nullopt;
    types.push_back(bytes[at] & 0x1f);
    at += length;
  }
  return types;
}

}  // namespace tavrino::share::testing
