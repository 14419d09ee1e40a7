#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "core/wire.h"
#include "support/framing.h"
#include "host/host_harness.h"

using namespace tavrino::share;
using namespace tavrino::share::testing;

namespace {

ShareableContent contentFor(std::uint8_t choice) {
  ShareableContent content;
  content.displays = {{1, 1920, 1080}, {2, choice % 3 == 0 ? 0 : 800, 600}};
  for (int i = 0; i < choice % 3; ++i) content.applications.push_back(mainApplication(::getpid()));
  if (choice & 4) content.applications.push_back(fixtureApplication(::getpid()));
  content.windows = {{choice}};
  return content;
}

void require(bool condition) {
  if (!condition) std::abort();
}
// A well-formed request of one of the commands, shaped by the next input byte.
nlohmann::json templatedRequest(std::uint8_t shape, std::uint8_t detail) {
  const std::string request = "r" + std::to_string(detail % 3);
  switch (shape % 7) {
    case 0: {
      nlohmann::json start{{"command", "start"}, {"request", request}};
      if (detail & 0x04) start["display"] = (detail & 0x08) ? nlohmann::json(1.0) : nlohmann::json(1);
      else if (detail & 0x08) start["display"] = 2;
      if (detail & 0x10) start["testExclude"] = (detail & 0x20) != 0;
      return start;
    }
    case 1: return {{"command", "ack"}, {"request", request}, {"id", detail >> 4}};
    case 2: return {{"command", "stop"}};
    case 3: return {{"command", "sources"}, {"request", request}};
    case 4: return {{"command", "authorize"}, {"request", request}};
    case 5: return {{"command", "Start"}, {"request", request}, {"display", 1}};
    default: return {{"command", "ack"}, {"request", request}, {"id", 1.5}};
  }
}

}  // namespace

// The input is a script: each byte picks an action; action 0 reads the next
// request frame from the rest of the input. Whatever the interleaving, the
// Host must end idle with a final "stopped", and every message must encode.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::vector<std::vector<std::string>> argumentSets = {
      {}, {"--test-application"}, {"--test-window=3"}, {"--test-window=x"}};
  if (size == 0) return 0;
  HostHarness h(argumentSets[data[0] % argumentSets.size()]);
  h.settleOnExit = std::chrono::milliseconds(0);  // nothing is left running at the end
  std::size_t position = 1;
  const auto reader = memoryReader({reinterpret_cast<const char*>(data), size}, &position);

  while (position < size) {
    const std::uint8_t action = data[position++];
    switch (action % 10) {
      case 0: {
        auto request = Wire::decodeFrame(reader);
        if (!request) position = size;
        else h.request(std::move(*request));
        break;
      }
      case 1:
        if (h.service.queries.size() > 0) h.service.releaseQuery(contentFor(action >> 4));
        break;
      case 2:
        if (h.service.queries.size() > 0) h.service.releaseQuery(ErrorValue{"Fuzz", 1, "Query failed."});
        break;
      case 3:  // the first stream waiting completes its start (4: as a failure) or its stop (5)
      case 4:
      case 5:
        for (const auto& stream : h.service.streams())
          if ((action % 10 == 5 ? stream->stops : stream->starts).size() > 0) {
            if (action % 10 == 5) stream->completeStop();
            else stream->completeStart(action % 10 == 3 ? std::nullopt : std::optional(ErrorValue{"Fuzz", 2, "No start."}));
            break;
          }
        break;
      case 6:
        if (!h.service.streams().empty())
          h.service.streams()[(action >> 4) % h.service.streams().size()]->reportStoppedByItself();
        break;
      case 7:
        h.service.permission = (action & 0x10) != 0;
        h.encoders.createStatus = (action & 0x20) ? -12908 : 0;
        break;
      case 8:
        h.stop();
        break;
      case 9:
        if (position + 2 <= size) {
          h.request(templatedRequest(data[position], data[position + 1]));
          position += 2;
        }
        break;
    }
    h.settle();
  }

  h.completePending(contentFor(0));
  bool finished = false;
  h.shutdown(finished);
  // Every task, also an earlier stop still finishing its pipe, must come to an end.
  require(h.drain(500, std::chrono::milliseconds(10)) && finished);
  require(h.host->capture() == nullptr && h.host->pipe() == nullptr && !h.host->starting());
  const auto messages = h.messages.all();
  require(!messages.empty() && messages.back()["type"] == "stopped");
  for (const auto& message : messages) {
    require(message.contains("type"));
    require(Wire::encode(message).has_value());
  }
  return 0;
}
