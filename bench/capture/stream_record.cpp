#include "stream_record.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tavrino::bench {

namespace {

// Record header: kind, arrival time (8 bytes) and size (4 bytes), little-endian.
constexpr std::size_t kHeaderSize = 13;

}  // namespace

std::int64_t wallClockMicros() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

bool readFully(int fd, void* data, std::size_t size) {
  auto* bytes = static_cast<std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::read(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

RecordWriter::RecordWriter(const std::string& path) : file_(std::fopen(path.c_str(), "wb")) {
  if (!file_) std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), std::strerror(errno));
}

void RecordWriter::write(StreamRecord::Kind kind, std::int64_t arrivalMicros, std::span<const std::uint8_t> bytes) {
  if (!file_) return;
  std::uint8_t header[kHeaderSize];
  header[0] = static_cast<std::uint8_t>(kind);
  for (int i = 0; i < 8; ++i) header[1 + i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(arrivalMicros) >> (8 * i));
  const auto size = static_cast<std::uint32_t>(bytes.size());
  for (int i = 0; i < 4; ++i) header[9 + i] = static_cast<std::uint8_t>(size >> (8 * i));
  good_ = good_ && std::fwrite(header, 1, kHeaderSize, file_.get()) == kHeaderSize &&
          std::fwrite(bytes.data(), 1, bytes.size(), file_.get()) == bytes.size();
}

bool RecordWriter::close() {
  if (!file_) return false;
  const bool flushed = std::fflush(file_.get()) == 0;
  return std::fclose(file_.release()) == 0 && flushed && good_;
}

bool readRecords(const std::string& path, std::vector<StreamRecord>& records) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    std::fprintf(stderr, "cannot read %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  std::uint8_t header[kHeaderSize];
  while (std::fread(header, 1, kHeaderSize, file.get()) == kHeaderSize) {
    StreamRecord record;
    record.kind = static_cast<StreamRecord::Kind>(header[0]);
    std::uint64_t arrival = 0;
    for (int i = 0; i < 8; ++i) arrival |= static_cast<std::uint64_t>(header[1 + i]) << (8 * i);
    record.arrivalMicros = static_cast<std::int64_t>(arrival);
    std::uint32_t size = 0;
    for (int i = 0; i < 4; ++i) size |= static_cast<std::uint32_t>(header[9 + i]) << (8 * i);
    record.bytes.resize(size);
    if (std::fread(record.bytes.data(), 1, size, file.get()) != size) break;  // cut short by a crash
    records.push_back(std::move(record));
  }
  return true;
}

}  // namespace tavrino::bench
