#include "core/messages.h"

namespace tavrino::share {

using nlohmann::json;

json helloMessage() { return json{{"type", "hello"}, {"version", 1}}; }

json errorMessage(const std::string& request, const std::string& message,
                  const std::optional<std::string>& code) {
  json error{{"type", "error"}, {"request", request}, {"message", message}};
  if (code) error["code"] = *code;
  return error;
}

json stoppedMessage(const std::string& request) {
  return json{{"type", "stopped"}, {"request", request}};
}

json sourcesMessage(const std::string& request, const std::vector<Display>& displays) {
  json list = json::array();
  for (const auto& display : displays)
    list.push_back(json{{"id", display.displayID}, {"width", display.width}, {"height", display.height}});
  return json{{"type", "sources"}, {"request", request}, {"displays", std::move(list)}};
}

json startedMessage(const std::string& request, std::int32_t width, std::int32_t height,
                    std::uint32_t display, std::int64_t excludedApplications) {
  return json{{"type", "started"},         {"request", request},
              {"width", width},            {"height", height},
              {"display", display},        {"excludedApplications", excludedApplications},
              {"audio", false}};
}

}  // namespace tavrino::share
