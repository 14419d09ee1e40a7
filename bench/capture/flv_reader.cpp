#include "flv_reader.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "stream_record.h"

namespace tavrino::bench {

namespace {

bool readAll(std::vector<std::uint8_t>& into, std::size_t size) {
  into.resize(size);
  return readFully(STDIN_FILENO, into.data(), size);
}

std::uint32_t bigEndian(const std::uint8_t* bytes, int count) {
  std::uint32_t value = 0;
  for (int i = 0; i < count; ++i) value = value << 8 | bytes[i];
  return value;
}

constexpr std::uint8_t kVideoTag = 9;
constexpr std::uint8_t kAvcCodec = 7;
constexpr std::uint8_t kAvcSequenceHeader = 0;
constexpr std::uint8_t kAvcNalUnits = 1;
constexpr std::size_t kAvcTagHeader = 5;  // frame type and codec, packet type, composition time

}  // namespace

int recordFlv(const std::string& out) {
  RecordWriter record(out);
  std::vector<std::uint8_t> bytes;
  // File header: "FLV", version, flags, header size; then tags, each after
  // the size of the previous one.
  if (!readAll(bytes, 9) || bytes[0] != 'F' || bytes[1] != 'L' || bytes[2] != 'V') {
    std::fprintf(stderr, "not an FLV stream\n");
    return 1;
  }
  const std::uint32_t headerSize = bigEndian(&bytes[5], 4);
  if (headerSize < 9 || !readAll(bytes, headerSize - 9)) return 1;
  std::int64_t frames = 0;
  std::vector<std::uint8_t> tag;
  // Previous tag size (4 bytes) and the next tag's 11-byte header.
  while (readAll(bytes, 15)) {
    const std::uint8_t type = bytes[4] & 0x1f;
    const std::uint32_t size = bigEndian(&bytes[5], 3);
    if (!readAll(tag, size)) break;
    const std::int64_t arrival = wallClockMicros();
    if (type != kVideoTag || size < kAvcTagHeader || (tag[0] & 0x0f) != kAvcCodec) continue;
    const std::span<const std::uint8_t> payload(tag.data() + kAvcTagHeader, size - kAvcTagHeader);
    if (tag[1] == kAvcSequenceHeader) {
      record.write(StreamRecord::kConfiguration, arrival, payload);
    } else if (tag[1] == kAvcNalUnits) {
      record.write(StreamRecord::kFrame, arrival, payload);
      ++frames;
    }
  }
  if (frames == 0) std::fprintf(stderr, "the FLV stream held no frame\n");
  return record.close() && frames > 0 ? 0 : 1;
}

}  // namespace tavrino::bench
