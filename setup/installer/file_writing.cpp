#include "installer/file_writing.h"

#include "installer/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace tavrino::setup {
namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const char* what, const fs::path& file, int error) {
  throw fs::filesystem_error(what, file, std::error_code(error, std::generic_category()));
}

UniqueFd createExclusive(const fs::path& file) {
  UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) fail("Cannot create the file", file, errno);
  return fd;
}

void writeAll(int fd, std::string_view bytes, const fs::path& file) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      fail("Cannot write the file", file, errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

void copyFile(const fs::path& source, const fs::path& destination, mode_t mode) {
  const UniqueFd in(::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!in) fail("Cannot read the file", source, errno);
  const UniqueFd out = createExclusive(destination);
  if (!readPieces(in.get(), [&](std::string_view bytes) { writeAll(out.get(), bytes, destination); })) {
    fail("Cannot read the file", source, errno);
  }
  if (::fchmod(out.get(), mode) != 0) fail("Cannot set the permissions of", destination, errno);
}

void copyEntry(const fs::path& source, const fs::path& destination) {
  struct stat info {};
  if (::lstat(source.c_str(), &info) != 0) fail("Cannot copy", source, errno);
  const mode_t mode = info.st_mode & 07777;
  if (S_ISLNK(info.st_mode)) {
    fs::create_symlink(fs::read_symlink(source), destination);
  } else if (S_ISDIR(info.st_mode)) {
    // Owner-writable while it fills, its own mode once full.
    if (::mkdir(destination.c_str(), 0700) != 0) fail("Cannot create the folder", destination, errno);
    for (const auto& entry : fs::directory_iterator(source)) {
      copyEntry(entry.path(), destination / entry.path().filename());
    }
    if (::chmod(destination.c_str(), mode) != 0) fail("Cannot set the permissions of", destination, errno);
  } else if (S_ISREG(info.st_mode)) {
    copyFile(source, destination, mode);
  } else {
    fail("Cannot copy a special file", source, ENOTSUP);
  }
}

}  // namespace

void writeNewFile(const fs::path& file, std::string_view bytes) { writeAll(createExclusive(file).get(), bytes, file); }

void copyTree(const fs::path& source, const fs::path& destination) { copyEntry(source, destination); }

}  // namespace tavrino::setup
