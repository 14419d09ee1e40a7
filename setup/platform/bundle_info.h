#pragma once

#include <filesystem>
#include <optional>
#include <string>

// The setup program lives in a bundle folder laid out as
// "<Name>.app/Contents/{MacOS/<exe>, Info.plist, Resources/}" and finds it
// from its own executable path.
namespace tavrino::setup {

// "<Name>.app" when `executable` sits at "<Name>.app/Contents/MacOS/<exe>".
std::optional<std::filesystem::path> bundleFolderOf(const std::filesystem::path& executable);

// The string value of `key` in "<bundle>/Contents/Info.plist"; absent when the
// file, the key or a string value is missing.
std::optional<std::string> bundleInfoString(const std::filesystem::path& bundle, const std::string& key);

// This program's executable, as the kernel reports it.
std::filesystem::path mainExecutablePath();

// The running program's bundle, its "Contents/Resources" folder and its
// information keys. No bundle layout means no folder and no keys.
std::optional<std::filesystem::path> mainBundleFolder();
std::optional<std::filesystem::path> mainBundleResourceFolder();
std::optional<std::string> mainBundleInfoString(const std::string& key);

}  // namespace tavrino::setup
