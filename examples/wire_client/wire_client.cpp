// A small native-messaging peer for trying the share helper from a terminal:
// starts the helper, sends one request per input line (each a JSON object),
// and prints every message the helper sends back, one per line, with long
// binary payloads shortened. After the last request it keeps the helper's
// input open for --hold seconds so that a capture can run, then closes it
// and waits for the helper's orderly shutdown. A request whose "display" is
// the text "first" is sent with the first display id of the latest "sources"
// reply, so that a scripted session can start a capture without knowing ids.
// With --save-stream FILE the received video is also written as an Annex B
// H.264 file that any player opens (ffmpeg -i FILE frame.png).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

extern char** environ;

namespace {

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    reset();
    fd_ = std::exchange(other.fd_, -1);
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

bool writeAll(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool readAll(int fd, void* data, std::size_t size) {
  auto* bytes = static_cast<std::uint8_t*>(data);
  while (size > 0) {
    ssize_t n = ::read(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<nlohmann::json> readMessage(int fd) {
  std::uint8_t header[4];
  if (!readAll(fd, header, 4)) return std::nullopt;
  std::uint32_t length = header[0] | header[1] << 8 | header[2] << 16 |
                         static_cast<std::uint32_t>(header[3]) << 24;
  std::string body(length, '\0');
  if (!readAll(fd, body.data(), length)) return std::nullopt;
  return nlohmann::json::parse(body, nullptr, false);
}

std::vector<std::uint8_t> fromBase64(const std::string& text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<std::uint8_t> bytes;
  std::uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    auto at = alphabet.find(c);
    if (at == std::string::npos) continue;  // padding
    bits = bits << 6 | static_cast<std::uint32_t>(at);
    if (++count == 4) {
      bytes.insert(bytes.end(), {static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 8),
                                 static_cast<std::uint8_t>(bits)});
      bits = 0;
      count = 0;
    }
  }
  if (count == 3) bytes.insert(bytes.end(), {static_cast<std::uint8_t>(bits >> 10), static_cast<std::uint8_t>(bits >> 2)});
  if (count == 2) bytes.push_back(static_cast<std::uint8_t>(bits >> 4));
  return bytes;
}

// Rewrites the stream from its record and length-prefixed frames into start
// codes: parameter sets first, then every frame's NAL units.
class AnnexBWriter {
 public:
  explicit AnnexBWriter(const std::string& path) : out_(std::fopen(path.c_str(), "wb")) {}
  ~AnnexBWriter() {
    if (out_) std::fclose(out_);
  }
  void configuration(const std::vector<std::uint8_t>& avcC) {
    // avcC: 5 header bytes, SPS count, (length, SPS)..., PPS count, (length, PPS)...
    std::size_t at = 5;
    for (int sets = 0; sets < 2 && at < avcC.size(); ++sets) {
      int count = avcC[at++] & (sets == 0 ? 0x1f : 0xff);
      for (int i = 0; i < count && at + 2 <= avcC.size(); ++i) {
        std::size_t n = avcC[at] << 8 | avcC[at + 1];
        at += 2;
        if (at + n > avcC.size()) return;
        unit(avcC.data() + at, n);
        at += n;
      }
    }
  }
  void frame(const std::vector<std::uint8_t>& data) {
    for (std::size_t at = 0; at + 4 <= data.size();) {
      std::size_t n = static_cast<std::size_t>(data[at]) << 24 | data[at + 1] << 16 | data[at + 2] << 8 | data[at + 3];
      at += 4;
      if (at + n > data.size()) return;
      unit(data.data() + at, n);
      at += n;
    }
  }

 private:
  void unit(const std::uint8_t* bytes, std::size_t n) {
    if (!out_) return;
    static const std::uint8_t startCode[4] = {0, 0, 0, 1};
    std::fwrite(startCode, 1, 4, out_);
    std::fwrite(bytes, 1, n, out_);
  }
  std::FILE* out_;
};

void shorten(nlohmann::json& message) {
  for (const char* key : {"data", "description"}) {
    if (message.contains(key) && message[key].is_string()) {
      auto size = message[key].get_ref<const std::string&>().size();
      if (size > 24) message[key] = "<" + std::to_string(size) + " Base64 characters>";
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  double hold = 0;
  std::string streamFile;
  std::vector<std::string> helper;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--hold" && i + 1 < argc) {
      hold = std::stod(argv[++i]);
    } else if (arg == "--save-stream" && i + 1 < argc && helper.empty()) {
      streamFile = argv[++i];
    } else {
      helper.push_back(arg);
    }
  }
  if (helper.empty()) {
    std::cerr << "usage: tavrino-wire-client [--hold SECONDS] [--save-stream FILE] HELPER [HELPER-ARGS...] < requests\n";
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);

  int toChild[2], fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) return 1;
  Fd childIn(toChild[0]), requests(toChild[1]), replies(fromChild[0]), childOut(fromChild[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, childIn.get(), 0);
  posix_spawn_file_actions_adddup2(&actions, childOut.get(), 1);
  std::vector<char*> childArgv;
  for (auto& a : helper) childArgv.push_back(a.data());
  childArgv.push_back(nullptr);
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, childArgv[0], &actions, nullptr, childArgv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    std::cerr << "cannot start " << helper[0] << ": " << std::strerror(rc) << "\n";
    return 1;
  }
  childIn.reset();
  childOut.reset();

  std::atomic<std::int64_t> firstDisplay{-1};
  std::unique_ptr<AnnexBWriter> stream;
  if (!streamFile.empty()) stream = std::make_unique<AnnexBWriter>(streamFile);
  std::mutex writing;
  auto send = [&](const nlohmann::json& request) {
    std::string body = request.dump();
    std::uint32_t length = static_cast<std::uint32_t>(body.size());
    std::uint8_t header[4] = {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
                              static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};
    std::lock_guard lock(writing);
    return requests.get() >= 0 && writeAll(requests.get(), header, 4) &&
           writeAll(requests.get(), body.data(), body.size());
  };
  std::thread printer([fd = replies.get(), &firstDisplay, &stream, &send] {
    while (auto message = readMessage(fd)) {
      // Acknowledge every frame at once, as the extension does.
      if (message->value("type", "") == "frame") {
        send({{"command", "ack"}, {"request", message->value("request", "")}, {"id", (*message)["id"]}});
      }
      if (stream && message->value("type", "") == "configuration") {
        stream->configuration(fromBase64(message->value("description", "")));
      }
      if (stream && message->value("type", "") == "frame") {
        stream->frame(fromBase64(message->value("data", "")));
      }
      if (message->value("type", "") == "sources" && message->contains("displays") &&
          (*message)["displays"].is_array() && !(*message)["displays"].empty()) {
        firstDisplay = (*message)["displays"][0].value("id", std::int64_t{-1});
      }
      shorten(*message);
      std::cout << "helper → " << message->dump() << std::endl;
    }
  });

  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.empty()) continue;
    auto request = nlohmann::json::parse(line, nullptr, false);
    if (request.is_discarded()) {
      std::cerr << "not JSON, skipped: " << line << "\n";
      continue;
    }
    if (request.is_object() && request.value("display", nlohmann::json()) == "first") {
      request["display"] = firstDisplay.load();
    }
    std::cout << "helper ← " << request.dump() << std::endl;
    if (!send(request)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  if (hold > 0) std::this_thread::sleep_for(std::chrono::duration<double>(hold));
  {
    std::lock_guard lock(writing);
    requests.reset();  // end of input: the helper stops and exits
  }
  printer.join();
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::cout << "helper exited with status " << (WIFEXITED(status) ? WEXITSTATUS(status) : -1) << std::endl;
  return 0;
}
