// tavrino-codesign: signs an application bundle at build time and verifies it
// at install time.
//
//   tavrino-codesign --sign --certificate <leaf.pem> --key <key.pem>
//                    [--chain <intermediates.pem>] --identifier <id> <bundle>
//   tavrino-codesign --verify --deep --strict [-R =<requirement> | -R=<requirement>] <bundle>
//
// Verification exits with 0 only when the signature's chain ends in the
// pinned product root, every file, folder and link of the bundle is listed
// with unchanged contents and nothing else is there, and the requirement,
// when given, holds. 1 means not valid, 2 a command-line error.
#include "bundle_listing.h"
#include "cms_signature.h"
#include "pinned_root.h"
#include "requirement.h"


#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace tavrino::signing;

namespace {

constexpr std::size_t kMaxSignatureBytes = 4u << 20;

struct Invalid : std::runtime_error {
  using std::runtime_error::runtime_error;
};

int usage(const std::string& why) {
  std::cerr << "tavrino-codesign: " << why << "\n";
  return 2;
}

std::string readSignature(const fs::path& bundle) {
  const fs::path folder = bundle / kSignatureFolder;
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(folder, ec))) throw Invalid("the bundle is not signed");
  // Nothing but the signature may hide in the excluded folder.
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path() != bundle / kSignatureFile) throw Invalid("unexpected " + entry.path().string());
  }
  const fs::path file = bundle / kSignatureFile;
  if (!fs::is_regular_file(fs::symlink_status(file, ec))) throw Invalid("the bundle is not signed");
  std::ifstream in(file, std::ios::binary);
  std::string bytes;
  bytes.resize(kMaxSignatureBytes + 1);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  if (in.bad() || bytes.size() > kMaxSignatureBytes) throw Invalid("the signature cannot be read");
  return bytes;
}

void verifyBundle(const fs::path& bundle, const std::optional<Requirement>& requirement) {
  const VerifiedContent signedContent = verifySignature(readSignature(bundle), kPinnedRootPem);
  const Listing listing = parseListing(signedContent.content);
  if (listBundle(bundle) != listing.entries) throw Invalid("the bundle's contents differ from its signature");
  if (!requirement) return;
  if (const auto why = unmetRequirement(*requirement, signedContent.signer.get(), listing.identifier)) {
    throw Invalid(*why);
  }
}

int runVerify(const std::vector<std::string>& args) {
  if (args.size() < 4 || args[0] != "--verify" || args[1] != "--deep" || args[2] != "--strict") {
    return usage("expected --verify --deep --strict [-R=<requirement>] <path>");
  }
  std::optional<std::string> requirementText;
  std::size_t next = 3;
  if (args[next] == "-R" && args.size() == 6 && args[next + 1].starts_with("=")) {
    requirementText = args[next + 1].substr(1);
    next += 2;
  } else if (args[next].starts_with("-R=") && args.size() == 5) {
    requirementText = args[next].substr(3);
    next += 1;
  }
  if (next + 1 != args.size() || args[next].empty() || args[next].starts_with("-")) {
    return usage("expected --verify --deep --strict [-R=<requirement>] <path>");
  }
  std::optional<Requirement> requirement;
  if (requirementText) {
    requirement = parseRequirement(*requirementText);
    if (!requirement) return usage("unsupported requirement");
  }
  try {
    verifyBundle(args[next], requirement);
    return 0;
  } catch (const std::exception& error) {
    std::cerr << args[next] << ": " << error.what() << "\n";
    return 1;
  }
}

int runSign(const std::vector<std::string>& args) {
  fs::path certificate, key, chain, bundle;
  std::string identifier;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const bool hasValue = i + 1 < args.size();
    if (args[i] == "--certificate" && hasValue) {
      certificate = args[++i];
    } else if (args[i] == "--key" && hasValue) {
      key = args[++i];
    } else if (args[i] == "--chain" && hasValue) {
      chain = args[++i];
    } else if (args[i] == "--identifier" && hasValue) {
      identifier = args[++i];
    } else if (i + 1 == args.size() && !args[i].starts_with("-")) {
      bundle = args[i];
    } else {
      return usage("unexpected argument " + args[i]);
    }
  }
  if (certificate.empty() || key.empty() || identifier.empty() || bundle.empty()) {
    return usage("expected --sign --certificate <pem> --key <pem> [--chain <pem>] --identifier <id> <bundle>");
  }
  try {
    if (!fs::is_directory(fs::symlink_status(bundle / "Contents"))) throw Invalid("the bundle has no Contents");
    fs::remove_all(bundle / kSignatureFolder);
    const std::string listing = makeListing(identifier, listBundle(bundle));
    const std::string signature = signContent(listing, certificate, key, chain);
    fs::create_directory(bundle / kSignatureFolder);
    std::ofstream out(bundle / kSignatureFile, std::ios::binary | std::ios::trunc);
    out.write(signature.data(), static_cast<std::streamsize>(signature.size()));
    out.close();
    if (!out) throw Invalid("cannot write the signature");
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "tavrino-codesign: " << error.what() << "\n";
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "--sign") return runSign(args);
  if (!args.empty() && args[0] == "--verify") return runVerify(args);
  return usage("expected --sign or --verify");
}
