#pragma once

// Records the messages a Host or a VideoPipe sends, from whichever thread.

#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tavrino::share::testing {

class MessageLog {
 public:
  void add(const nlohmann::json& message) {
    std::lock_guard lock(mutex_);
    messages_.push_back(message);
  }
  // Only while this log lives.
  auto sender() {
    return [this](const nlohmann::json& message) { add(message); };
  }
  std::vector<nlohmann::json> all() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  std::size_t size() const { return all().size(); }
  std::vector<std::string> types() const {
    std::vector<std::string> result;
    for (const auto& m : all()) result.push_back(m.value("type", "?"));
    return result;
  }
  std::vector<nlohmann::json> ofType(const std::string& type) const {
    std::vector<nlohmann::json> result;
    for (const auto& m : all())
      if (m.value("type", "") == type) result.push_back(m);
    return result;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<nlohmann::json> messages_;
};

}  // namespace tavrino::share::testing
