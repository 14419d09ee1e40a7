#include "installer/plain_words.h"

#include <cerrno>
#include <optional>
#include <string>

namespace tavrino::setup {
namespace fs = std::filesystem;

namespace {

// The POSIX error number behind `code`, or 0 when it is none.
int posixError(const std::error_code& code) {
  const std::error_condition condition = code.default_error_condition();
  return condition.category() == std::generic_category() ? condition.value() : 0;
}

std::string systemSays(const std::error_code& code, const fs::path& item) {
  std::string said = "The system says “" + code.message() + "”";
  return item.empty() ? said + "." : said + " about " + item.string() + ".";
}

bool isInside(const fs::path& item, const fs::path& folder) {
  const fs::path relative = item.lexically_normal().lexically_relative(folder.lexically_normal());
  return !relative.empty() && *relative.begin() != "..";
}

// The deepest of `item` and the folders above it that is a folder: where a
// write was refused.
fs::path deepestFolder(const fs::path& item) {
  for (fs::path folder = item; !folder.empty(); folder = folder.parent_path()) {
    std::error_code ec;
    if (fs::is_directory(fs::status(folder, ec))) return folder;
    if (folder == folder.parent_path()) break;
  }
  return item;
}

// The first step of `item`'s path that is there and is no folder, followed
// as making the folders follows it (a link to nothing stops it too).
std::optional<fs::path> firstNonFolder(const fs::path& item) {
  fs::path walked;
  for (const fs::path& step : item) {
    walked /= step;
    std::error_code ec;
    if (fs::is_directory(fs::status(walked, ec))) continue;
    if (fs::exists(fs::symlink_status(walked, ec))) return walked;
    return std::nullopt;
  }
  return std::nullopt;
}

std::string describeNonFolder(const fs::path& item) {
  std::error_code ec;
  if (fs::is_symlink(fs::symlink_status(item, ec))) {
    const std::string target = fs::read_symlink(item, ec).string();
    const bool there = fs::exists(fs::status(item, ec));
    return item.string() + " is a link to " + target + (there ? ", which is not a folder." : ", which does not exist.");
  }
  if (fs::is_regular_file(fs::symlink_status(item, ec))) return item.string() + " is a file, not a folder.";
  return item.string() + " is not a folder.";
}

}  // namespace

SetupError inPlainWords(const fs::filesystem_error& error, const fs::path& payload) {
  const fs::path& item = error.path1();
  if (!payload.empty() && isInside(item, payload)) return SetupError(kDownloadDamaged, systemSays(error.code(), item));
  switch (posixError(error.code())) {
    case ENOSPC:
    case EDQUOT:
      return SetupError(
          "There is not enough free space to install Tavrino Share Helper. Free some space, then try again.",
          systemSays(error.code(), item));
    case EACCES:
    case EPERM:
    case EROFS: {
      const fs::path folder = deepestFolder(item);
      return SetupError(
          "Tavrino Sharing Setup may not change a folder it needs. Make sure the folder named below belongs to you "
          "and can be written to, then try again.",
          systemSays(error.code(), folder));
    }
    case EEXIST:
    case ENOTDIR:
    case ELOOP:
      if (const std::optional<fs::path> blocking = firstNonFolder(item)) {
        return SetupError(
            "Something stands where Tavrino Sharing Setup needs a folder. Move the item named below away, then try "
            "again.",
            describeNonFolder(*blocking));
      }
      break;
    case ENAMETOOLONG:
      return SetupError(
          "The path of your home folder is too long for the files Tavrino Sharing Setup puts in it. Installing "
          "needs a home folder with a shorter path.",
          systemSays(error.code(), item));
    default:
      break;
  }
  return SetupError(
      "Tavrino Sharing Setup could not change a file it needs. Try again; if this happens again, check the item "
      "named below.",
      systemSays(error.code(), item));
}

SetupError inPlainWords(const std::system_error& error) {
  return SetupError("Something on this computer stopped the installation. Please try again.",
                    systemSays(error.code(), {}));
}

SetupError unexpectedFailure() {
  return SetupError("The installation stopped for an unexpected reason. Please try again.");
}

}  // namespace tavrino::setup
