#include "platform/foundation/Bundle.h"

#include <errno.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

// Set by the build for this file only (platform/foundation/CMakeLists.txt), so that
// a new version or build number recompiles nothing else.
#ifndef CORVANE_PROJECT_VERSION
#error "CORVANE_PROJECT_VERSION must be defined by the build"
#endif
#ifndef CORVANE_BUILD_NUMBER
#error "CORVANE_BUILD_NUMBER must be defined by the build"
#endif
#ifndef CORVANE_BUILD_CONFIGURATION
#error "CORVANE_BUILD_CONFIGURATION must be defined by the build"
#endif

namespace foundation {
namespace {

// The file name of the running program: /proc/self/exe when readable (the real
// file, not the name it was started under), else the C library's short name.
std::string executableName() {
  std::error_code error;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error && !exe.filename().empty()) return exe.filename().string();
  return program_invocation_short_name ? program_invocation_short_name : "";
}

}  // namespace

Bundle::Bundle() {
  info_["CFBundleIdentifier"] = "io.corvane.fileprovider";
  info_["CFBundleShortVersionString"] = CORVANE_PROJECT_VERSION;
  info_["CFBundleVersion"] = CORVANE_BUILD_NUMBER;
  info_["CFBundleExecutable"] = executableName();
}

const Bundle& Bundle::main() {
  // Never destroyed, so that code running during exit can still read it.
  static const Bundle* bundle = new Bundle;
  return *bundle;
}

std::optional<std::string> Bundle::bundleIdentifier() const { return objectForInfoDictionaryKey("CFBundleIdentifier"); }

std::optional<std::string> Bundle::objectForInfoDictionaryKey(std::string_view key) const {
  auto it = info_.find(key);
  if (it == info_.end() || it->second.empty()) return std::nullopt;
  return it->second;
}

std::string_view Bundle::architectureName() {
#if defined(__x86_64__)
  return "x86_64";
#elif defined(__aarch64__)
  return "aarch64";
#elif defined(__i386__)
  return "i386";
#elif defined(__arm__)
  return "arm";
#elif defined(__riscv) && __riscv_xlen == 64
  return "riscv64";
#else
  return "unknown";
#endif
}

std::string_view Bundle::buildConfiguration() { return CORVANE_BUILD_CONFIGURATION; }

}  // namespace foundation
