#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace tavrino::bench {

// What a capture program delivered, as the benchmark recorded it on arrival:
// the decoder configuration (an avcC record) and the encoded frames (NAL
// units with 4-byte big-endian lengths), each with its wall-clock arrival time.
struct StreamRecord {
  enum Kind : char { kConfiguration = 'C', kFrame = 'F' };
  Kind kind = kFrame;
  std::int64_t arrivalMicros = 0;
  std::vector<std::uint8_t> bytes;
};

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// Microseconds since the epoch: the clock the changer stamps its paints with.
std::int64_t wallClockMicros();

class RecordWriter {
 public:
  explicit RecordWriter(const std::string& path);
  bool ok() const { return file_ != nullptr && good_; }
  void write(StreamRecord::Kind kind, std::int64_t arrivalMicros, std::span<const std::uint8_t> bytes);
  // Flushes and closes; false if anything was lost.
  bool close();

 private:
  std::unique_ptr<std::FILE, FileCloser> file_;
  bool good_ = true;
};

// Reads exactly size bytes from a pipe; false at its end or on an error.
bool readFully(int fd, void* data, std::size_t size);

// Every record of a file; false (with a message on stderr) if it cannot be read.
bool readRecords(const std::string& path, std::vector<StreamRecord>& records);

}  // namespace tavrino::bench
