// foundation::Bundle stands in for NSBundle.main: the identity of this program as
// the extension reports it in its logs (identifier, versions, executable name), and
// the architecture and configuration it was built for.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace foundation {

class Bundle {
 public:
  // The running program's bundle. Built once; safe to read from any thread.
  static const Bundle& main();

  // "io.corvane.fileprovider".
  std::optional<std::string> bundleIdentifier() const;

  // Text value of an information-dictionary key: "CFBundleIdentifier",
  // "CFBundleShortVersionString" (the project version), "CFBundleVersion" (the
  // build number) or "CFBundleExecutable" (the program's file name). Absent for
  // any other key and for a value that is empty.
  std::optional<std::string> objectForInfoDictionaryKey(std::string_view key) const;

  // Processor architecture of the build target: "x86_64", "aarch64", or the
  // compiler's name for another target.
  static std::string_view architectureName();
  // "debug" for a Debug build, else "release".
  static std::string_view buildConfiguration();

 private:
  Bundle();

  std::map<std::string, std::string, std::less<>> info_;
};

}  // namespace foundation
