#include "start_stop_cycles.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "support/child_process.h"

namespace tavrino::bench {

namespace {

using share::testing::Child;

long statusKib(pid_t pid, const std::string& key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(key + ":")) return std::stol(line.substr(key.size() + 1));
  }
  return 0;
}

// Reads messages until one of the given type for the request; false on an
// error message or the end of the output.
bool awaitMessage(Child& helper, const std::string& type, const std::string& request) {
  while (auto body = helper.readFrame(std::chrono::seconds(30))) {
    const auto message = nlohmann::json::parse(*body, nullptr, false);
    if (!message.is_object()) continue;
    const std::string got = message.value("type", "");
    if (got == "error") {
      std::fprintf(stderr, "helper error: %s\n", message.value("message", "").c_str());
      return false;
    }
    if (got == type && (request.empty() || message.value("request", "") == request)) return true;
  }
  return false;
}

}  // namespace

int runStartStopCycles(const std::string& program, int count, unsigned long excludeWindow) {
  try {
    Child helper({program, "--test-window=" + std::to_string(excludeWindow)}, true);
    auto send = [&](const nlohmann::json& request) { return helper.write(share::testing::frame(request.dump())); };
    if (!awaitMessage(helper, "hello", "") || !send({{"command", "sources"}, {"request", "s"}})) return 1;
    std::uint32_t display = 0;
    while (auto body = helper.readFrame(std::chrono::seconds(30))) {
      const auto message = nlohmann::json::parse(*body, nullptr, false);
      if (message.is_object() && message.value("type", "") == "sources" && !message["displays"].empty()) {
        display = message["displays"][0].value("id", 0U);
        break;
      }
    }
    const auto began = std::chrono::steady_clock::now();
    std::printf("%8s %10s %14s %14s\n", "cycles", "seconds", "VmRSS, MiB", "VmHWM, MiB");
    const int every = std::max(1, count / 20);
    for (int n = 1; n <= count; ++n) {
      const std::string request = "c" + std::to_string(n);
      const nlohmann::json start = {
          {"command", "start"}, {"request", request}, {"display", display}, {"testExclude", excludeWindow != 0}};
      if (!send(start) ||
          !awaitMessage(helper, "frame", request) || !send({{"command", "stop"}}) ||
          !awaitMessage(helper, "stopped", "")) {
        std::fprintf(stderr, "cycle %d did not complete\n%s", n, helper.errors().c_str());
        return 1;
      }
      if (n == 1 || n % every == 0 || n == count) {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        std::printf("%8d %10.1f %14.1f %14.1f\n", n, seconds, statusKib(helper.pid(), "VmRSS") / 1024.0,
                    statusKib(helper.pid(), "VmHWM") / 1024.0);
        std::fflush(stdout);
      }
    }
    helper.closeInput();
    return helper.wait() == 0 ? 0 : 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
}

}  // namespace tavrino::bench
