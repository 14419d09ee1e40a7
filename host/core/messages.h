#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/capture_service.h"

namespace tavrino::share {

namespace text {
inline constexpr const char* kInvalidRequest = "Invalid or overlapping sharing request.";
inline constexpr const char* kScreenPermission =
    "Enable Tavrino Share Helper in System Settings \u2192 Privacy & Security \u2192 Screen "
    "Recording. Then cancel and start sharing again.";
inline constexpr const char* kTavrinoUnavailable =
    "Open Tavrino and keep its window visible, then click Try Again. Keep only one Tavrino "
    "instance open.";
inline constexpr const char* kDisplayUnavailable = "Selected display is no longer available.";
inline constexpr const char* kOpenOneInstance = "Open one Tavrino instance before sharing your desktop.";
inline constexpr const char* kTestApplicationUnavailable = "Test application unavailable.";
inline constexpr const char* kTestWindowUnavailable = "Test window unavailable.";
inline constexpr const char* kCaptureStopped = "Desktop capture stopped.";
}  // namespace text

nlohmann::json helloMessage();
nlohmann::json errorMessage(const std::string& request, const std::string& message,
                            const std::optional<std::string>& code = std::nullopt);
nlohmann::json stoppedMessage(const std::string& request);
nlohmann::json sourcesMessage(const std::string& request, const std::vector<Display>& displays);
nlohmann::json startedMessage(const std::string& request, std::int32_t width, std::int32_t height,
                              std::uint32_t display, std::int64_t excludedApplications);

}  // namespace tavrino::share
