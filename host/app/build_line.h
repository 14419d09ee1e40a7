#pragma once

namespace tavrino::share {

// The processor this helper was built for, as the build line names it.
#if defined(__x86_64__)
inline constexpr const char* kBuildArchitecture = "x86_64";
#elif defined(__aarch64__)
inline constexpr const char* kBuildArchitecture = "arm64";
#elif defined(__i386__)
inline constexpr const char* kBuildArchitecture = "i386";
#elif defined(__riscv) && __riscv_xlen == 64
inline constexpr const char* kBuildArchitecture = "riscv64";
#else
#error "Name this processor in the build line."
#endif

}  // namespace tavrino::share
