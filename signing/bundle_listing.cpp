#include "bundle_listing.h"

#include "openssl_handles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace tavrino::signing {
namespace fs = std::filesystem;

namespace {

// 2: every file and folder carries its full permission bits.
constexpr int kFormat = 2;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

std::string hexSha256(const fs::path& file, unsigned* mode) {
  const FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    throw BundleError("cannot read " + file.string() + ": " + std::strerror(errno));
  }
  *mode = info.st_mode & 07777;
  const EvpMdCtxPtr context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) throw BundleError("SHA-256 failed");
  std::array<unsigned char, 65536> buffer{};
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer.data(), buffer.size());
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      throw BundleError("cannot read " + file.string() + ": " + std::strerror(errno));
    }
    EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(got));
  }
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  EVP_DigestFinal_ex(context.get(), digest.data(), &length);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 0xF]);
  }
  return hex;
}

unsigned folderMode(const fs::path& folder) {
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0) throw BundleError("cannot read " + folder.string() + ": " + std::strerror(errno));
  return info.st_mode & 07777;
}

// Only links that lead downward from their own folder stay inside the bundle
// whatever other links they pass through.
bool staysInside(const fs::path& target) {
  if (target.empty() || target.is_absolute()) return false;
  for (const auto& part : target) {
    if (part == "..") return false;
  }
  return true;
}

}  // namespace

nlohmann::json listBundle(const fs::path& bundle) {
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(bundle, ec))) throw BundleError(bundle.string() + " is not a folder");
  nlohmann::json entries = nlohmann::json::object();
  fs::recursive_directory_iterator walk(bundle, ec);
  if (ec) throw BundleError("cannot list " + bundle.string() + ": " + ec.message());
  for (const fs::recursive_directory_iterator end; walk != end; walk.increment(ec)) {
    if (ec) throw BundleError("cannot list " + bundle.string() + ": " + ec.message());
    const fs::path& path = walk->path();
    const std::string relative = path.lexically_relative(bundle).generic_string();
    if (relative == kSignatureFolder) {
      walk.disable_recursion_pending();
      continue;
    }
    const fs::file_status status = walk->symlink_status();
    if (fs::is_symlink(status)) {
      const fs::path target = fs::read_symlink(path);
      if (!staysInside(target)) throw BundleError(relative + " links outside the bundle");
      entries[relative] = {{"type", "link"}, {"target", target.generic_string()}};
    } else if (fs::is_directory(status)) {
      entries[relative] = {{"type", "folder"}, {"mode", folderMode(path)}};
    } else if (fs::is_regular_file(status)) {
      unsigned mode = 0;
      const std::string digest = hexSha256(path, &mode);
      entries[relative] = {{"type", "file"}, {"sha256", digest}, {"mode", mode}};
    } else {
      throw BundleError(relative + " is neither a file, a folder nor a link");
    }
  }
  return entries;
}

std::string makeListing(const std::string& identifier, const nlohmann::json& entries) {
  const nlohmann::json listing = {{"format", kFormat}, {"identifier", identifier}, {"entries", entries}};
  return listing.dump(1);
}

Listing parseListing(const std::string& text) {
  const nlohmann::json listing = nlohmann::json::parse(text, nullptr, false);
  if (!listing.is_object() || listing.size() != 3 || !listing.contains("format") ||
      !listing["format"].is_number_integer() || listing["format"].get<int>() != kFormat ||
      !listing.contains("identifier") || !listing["identifier"].is_string() || !listing.contains("entries") ||
      !listing["entries"].is_object()) {
    throw BundleError("the signed listing is malformed");
  }
  return {listing["identifier"].get<std::string>(), listing["entries"]};
}

}  // namespace tavrino::signing
