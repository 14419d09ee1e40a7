#include "platform/bundle_info.h"

#include <plist/plist.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>

namespace tavrino::setup {
namespace fs = std::filesystem;

namespace {

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistFree>;

}  // namespace

std::optional<fs::path> bundleFolderOf(const fs::path& executable) {
  const fs::path macos = executable.parent_path();
  const fs::path contents = macos.parent_path();
  const fs::path bundle = contents.parent_path();
  if (executable.filename().empty() || macos.filename() != "MacOS" || contents.filename() != "Contents" ||
      bundle.extension() != ".app") {
    return std::nullopt;
  }
  return bundle;
}

std::optional<std::string> bundleInfoString(const fs::path& bundle, const std::string& key) {
  const fs::path info = bundle / "Contents" / "Info.plist";
  std::ifstream in(info, std::ios::binary);
  if (!in) return std::nullopt;
  const std::string data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad() || data.empty() || data.size() > (1u << 20)) return std::nullopt;
  plist_t raw = nullptr;
  plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &raw);
  if (raw == nullptr) return std::nullopt;
  const PlistPtr root(raw);
  if (plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;
  plist_t value = plist_dict_get_item(root.get(), key.c_str());
  if (value == nullptr || plist_get_node_type(value) != PLIST_STRING) return std::nullopt;
  uint64_t length = 0;
  const char* text = plist_get_string_ptr(value, &length);
  if (text == nullptr) return std::nullopt;
  return std::string(text, static_cast<std::size_t>(length));
}

fs::path mainExecutablePath() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path() : self;
}

std::optional<fs::path> mainBundleFolder() { return bundleFolderOf(mainExecutablePath()); }

std::optional<fs::path> mainBundleResourceFolder() {
  const auto bundle = mainBundleFolder();
  if (!bundle) return std::nullopt;
  return *bundle / "Contents" / "Resources";
}

std::optional<std::string> mainBundleInfoString(const std::string& key) {
  const auto bundle = mainBundleFolder();
  if (!bundle) return std::nullopt;
  return bundleInfoString(*bundle, key);
}

}  // namespace tavrino::setup
