#include "core/wire.h"

#include <cerrno>
#include <mutex>

#include <unistd.h>

namespace tavrino::share {

ByteReader fileDescriptorReader(int fd) {
  return [fd](std::uint8_t* buffer, std::size_t capacity) -> std::size_t {
    for (;;) {
      const ssize_t n = ::read(fd, buffer, capacity);
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno != EINTR) return 0;
    }
  };
}

ErrorValue failure(std::string text) { return ErrorValue{"TavrinoShare", 1, std::move(text)}; }

namespace Wire {
namespace {

// Never destroyed before exit matters: std::mutex is trivially destructible,
// and _exit skips static destructors anyway.
std::mutex& writerLock() {
  static std::mutex lock;
  return lock;
}

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Header and body as two writes: a megabyte body is never copied to join them.
bool writeFrameLocked(int fd, const std::string& body) {
  const auto length = static_cast<std::uint32_t>(body.size());
  const char header[4] = {static_cast<char>(length & 0xff), static_cast<char>((length >> 8) & 0xff),
                          static_cast<char>((length >> 16) & 0xff),
                          static_cast<char>((length >> 24) & 0xff)};
  return writeAll(fd, header, sizeof header) && writeAll(fd, body.data(), body.size());
}

}  // namespace

std::optional<std::string> encode(const nlohmann::json& message) {
  std::string body;
  try {
    body = message.dump();
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;  // e.g. a string that is not UTF-8
  }
  if (body.size() > kMaxOutgoingBody) return std::nullopt;
  return body;
}

bool writeFrame(int fd, const std::string& body) {
  std::lock_guard guard(writerLock());
  return writeFrameLocked(fd, body);
}

void send(const nlohmann::json& message) {
  if (const auto body = encode(message)) sendBody(*body);
}

void sendBody(const std::string& body) {
  if (body.empty() || body.size() > kMaxOutgoingBody) return;
  std::lock_guard guard(writerLock());
  // The peer is gone: end at once without any clean-up, still holding the
  // lock so that no other thread starts a frame behind a partial one.
  if (!writeFrameLocked(STDOUT_FILENO, body)) ::_exit(0);
}

std::optional<std::vector<std::uint8_t>> readExactly(const ByteReader& input, std::int64_t count) {
  std::vector<std::uint8_t> buffer;
  if (count <= 0) return buffer;
  buffer.resize(static_cast<std::size_t>(count));
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    const std::size_t n = input(buffer.data() + filled, buffer.size() - filled);
    if (n == 0) return std::nullopt;
    filled += n;
  }
  return buffer;
}

std::optional<std::vector<std::uint8_t>> readExactly(std::int64_t count) {
  return readExactly(fileDescriptorReader(STDIN_FILENO), count);
}

std::optional<nlohmann::json> decodeFrame(const ByteReader& input) {
  const auto header = readExactly(input, 4);
  if (!header) return std::nullopt;
  std::uint32_t length = 0;
  for (int i = 3; i >= 0; --i) length = (length << 8) | (*header)[static_cast<std::size_t>(i)];
  if (length == 0 || length > kMaxIncomingBody) return std::nullopt;
  const auto body = readExactly(input, length);
  if (!body) return std::nullopt;
  auto value = nlohmann::json::parse(body->begin(), body->end(), nullptr, false);
  if (!value.is_object()) return std::nullopt;  // also the discarded value of a parse error
  return value;
}

}  // namespace Wire
}  // namespace tavrino::share
