#include "core/wire.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <variant>

#include <sys/syscall.h>
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

// The value of a JSON number literal when it is a whole number that fits a
// signed or unsigned 64-bit integer.
std::optional<std::variant<std::int64_t, std::uint64_t>> wholeNumber(std::string_view literal) {
  std::size_t at = 0;
  const bool negative = at < literal.size() && literal[at] == '-';
  if (negative) ++at;
  const auto isDigit = [&] { return at < literal.size() && literal[at] >= '0' && literal[at] <= '9'; };
  std::string digits;
  std::int64_t exponent = 0;
  for (; isDigit(); ++at) digits += literal[at];
  if (at < literal.size() && literal[at] == '.')
    for (++at; isDigit(); ++at) digits += literal[at], --exponent;
  if (at < literal.size() && (literal[at] == 'e' || literal[at] == 'E')) {
    ++at;
    const bool negativeExponent = at < literal.size() && literal[at] == '-';
    if (at < literal.size() && (literal[at] == '-' || literal[at] == '+')) ++at;
    std::int64_t written = 0;
    // Saturates: an exponent this large decides the answer whatever follows.
    for (; isDigit(); ++at) written = std::min<std::int64_t>(written * 10 + (literal[at] - '0'), 1'000'000);
    exponent += negativeExponent ? -written : written;
  }
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
  if (digits.empty()) return std::int64_t{0};  // also -0 and 0.0e99
  while (exponent < 0 && digits.back() == '0') digits.pop_back(), ++exponent;
  if (exponent < 0) return std::nullopt;  // a fraction remains
  if (static_cast<std::int64_t>(digits.size()) + exponent > 20) return std::nullopt;
  digits.append(static_cast<std::size_t>(exponent), '0');
  unsigned __int128 value = 0;
  for (const char digit : digits) value = value * 10 + static_cast<unsigned>(digit - '0');
  constexpr auto kInt64Max = static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max());
  if (negative) {
    if (value > kInt64Max + 1) return std::nullopt;
    return static_cast<std::int64_t>(-static_cast<__int128>(value));
  }
  if (value <= kInt64Max) return static_cast<std::int64_t>(value);
  if (value <= std::numeric_limits<std::uint64_t>::max()) return static_cast<std::uint64_t>(value);
  return std::nullopt;
}

// The library's own tree builder, except that a number written in
// floating-point form becomes an integer when its text is a whole number.
class ExactNumberBuilder : public nlohmann::detail::json_sax_dom_parser<nlohmann::json> {
 public:
  using json_sax_dom_parser::json_sax_dom_parser;

  bool number_float(double value, const std::string& literal) {
    if (const auto whole = wholeNumber(literal)) {
      if (const auto* i = std::get_if<std::int64_t>(&*whole)) return number_integer(*i);
      return number_unsigned(std::get<std::uint64_t>(*whole));
    }
    return json_sax_dom_parser::number_float(value, literal);
  }
};

}  // namespace

std::optional<nlohmann::json> parseRequest(std::string_view body) {
  nlohmann::json value;
  ExactNumberBuilder builder(value, false);
  if (!nlohmann::json::sax_parse(body.begin(), body.end(), &builder) || !value.is_object())
    return std::nullopt;
  return value;
}

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

void exitBetweenFrames(int status) {
  std::lock_guard guard(writerLock());
  // Straight to the kernel: threads are left behind on purpose here, and
  // exit hooks (a sanitizer's, for one) would wait for or report them.
  ::syscall(SYS_exit_group, status);
  std::abort();  // not reached
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
  return parseRequest(std::string_view(reinterpret_cast<const char*>(body->data()), body->size()));
}

}  // namespace Wire
}  // namespace tavrino::share
