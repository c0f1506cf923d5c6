// The system-log stand-in: format strings expand byte for byte as the extension's
// messages are written, sinks can be swapped, and the default sink mirrors to
// standard error only when asked to.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/oslog/CapturingSink.h"
#include "platform/oslog/Log.h"
#include "platform/oslog/Sink.h"
#include "tests/support/TempDir.h"

namespace {

using corvane::testing::ScopedEnv;
using corvane::testing::TempDir;

struct FormatCase {
  const char* name;
  const char* format;
  std::vector<oslog::Arg> args;
  const char* expected;
};

TEST(OsLogFormat, ExpandsEachConversionInOrder) {
  const std::string text = "a/b \"c\"";
  const FormatCase kCases[] = {
      {"public object", "[FPLog] write failed: %{public}@", {"disk full"}, "[FPLog] write failed: disk full"},
      {"no placeholders", "[FPLog] UTF-8 encoding failed", {}, "[FPLog] UTF-8 encoding failed"},
      {"mixed in order", "%{public}@ gen=%llu code=%d", {text, std::uint64_t{7}, -3}, "a/b \"c\" gen=7 code=-3"},
      {"largest unsigned", "%llu", {std::numeric_limits<std::uint64_t>::max()}, "18446744073709551615"},
      {"smallest signed", "%lld", {std::numeric_limits<std::int64_t>::min()}, "-9223372036854775808"},
      {"private shown", "%{private}s!", {"secret"}, "secret!"},
      {"percent sign", "100%% of %d", {3}, "100% of 3"},
      {"width and hex", "[%5d|%x|%04X]", {42, 255u, 10u}, "[   42|ff|000A]"},
      {"size_t under %zu", "%zu items", {std::size_t{12}}, "12 items"},
      {"bool as integer", "%d", {true}, "1"},
      {"number under %@", "%@", {std::int64_t{-5}}, "-5"},
      {"text under %d", "%d", {"x"}, "x"},
      {"missing argument", "%@ and %@", {"one"}, "one and (null)"},
      {"extra arguments ignored", "%d", {1, 2}, "1"},
      {"unknown conversion kept", "%k%d", {4}, "%k4"},
      {"trailing percent kept", "50%", {}, "50%"},
      {"unclosed annotation kept", "%{public", {"x"}, "%{public"},
      {"floating point", "%.2f", {1.5}, "1.50"},
      {"raw UTF-8 untouched", "\xe5\x90\x8d %@", {"\xc3\xa9"}, "\xe5\x90\x8d \xc3\xa9"},
  };
  for (const FormatCase& c : kCases) {
    EXPECT_EQ(oslog::format(c.format, c.args), c.expected) << c.name;
  }
}

TEST(OsLogSink, InstalledSinkReceivesTypeAndMessageUntilRestored) {
  auto outer = std::make_shared<oslog::CapturingSink>();
  oslog::ScopedSink outerScope(outer);
  {
    auto inner = std::make_shared<oslog::CapturingSink>();
    oslog::ScopedSink innerScope(inner);
    oslog::log(oslog::Type::Error, "[FPLog] close failed: %{public}@", std::string("EIO"));
    EXPECT_EQ(inner->entries(),
              (std::vector<oslog::CapturingSink::Entry>{{oslog::Type::Error, "[FPLog] close failed: EIO"}}));
  }
  oslog::log(oslog::Type::Info, "after %d", 1);
  EXPECT_EQ(outer->entries(), (std::vector<oslog::CapturingSink::Entry>{{oslog::Type::Info, "after 1"}}));
}

// Runs `body` with standard error sent to a file and returns what was written there.
template <typename Body>
std::string captureStderr(const TempDir& dir, Body body) {
  const std::string path = (dir.path() / "stderr").string();
  const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(file, STDERR_FILENO);
  body();
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(file);
  return corvane::testing::readFile(path);
}

TEST(OsLogSink, DefaultSinkMirrorsToStderrOnlyWhenAsked) {
  struct Case {
    std::optional<std::string> setting;
    bool mirrored;
  };
  const Case kCases[] = {{"stderr", true}, {std::nullopt, false}, {"syslog", false}, {"STDERR", false}};
  const std::string expected = "corvane-fileprovider[" + std::to_string(::getpid()) + "]: hello 5\n";
  for (const Case& c : kCases) {
    TempDir dir;
    ScopedEnv env("CORVANE_OSLOG", c.setting);
    const std::string written = captureStderr(dir, [] {
      oslog::SyslogSink sink;
      sink.write(oslog::Type::Error, "hello 5");
    });
    EXPECT_EQ(written, c.mirrored ? expected : "") << c.setting.value_or("(unset)");
  }
}

}  // namespace
