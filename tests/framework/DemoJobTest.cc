// corvane-fp demo, run as a program beside a real corvane-vfs-host: every step
// succeeds, the sample share is made once, and the host process is stopped.
#include <sys/wait.h>

#include <cstdio>

#include <gtest/gtest.h>

#include "tests/support/TempDir.h"

namespace corvane::testing {
namespace {

// The demo's standard output, line by line, and its exit status.
std::pair<std::vector<std::string>, int> runDemo() {
  std::FILE* pipe = ::popen(CORVANE_FP " demo 2>/dev/null", "r");
  if (!pipe) return {{}, -1};
  std::vector<std::string> lines;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe)) {
    std::string line(buffer);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    lines.push_back(line);
  }
  int status = ::pclose(pipe);
  return {lines, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST(DemoJobTest, EveryStepSucceedsOnAFreshSampleShareAndAgainOnTheSameOne) {
  TempDir dir;
  ScopedEnv runtime{"XDG_RUNTIME_DIR", (dir.path() / "run").string()};
  ScopedEnv state{"XDG_STATE_HOME", (dir.path() / "state").string()};
  ScopedEnv cache{"XDG_CACHE_HOME", (dir.path() / "cache").string()};
  ScopedEnv data{"XDG_DATA_HOME", (dir.path() / "data").string()};
  ScopedEnv groups{"CORVANE_APP_GROUPS", (dir.path() / "groups").string()};
  const auto share = dir.path() / "data" / "corvane" / "sample-share";

  for (int run = 1; run <= 2; ++run) {
    auto [lines, status] = runDemo();
    EXPECT_EQ(status, 0) << "run " << run;
    ASSERT_EQ(lines.size(), 11u) << "run " << run;
    EXPECT_EQ(lines[0].rfind("connected: corvane-vfs-host (pid ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], "root: Documents/, Photos/, Welcome.txt");
    EXPECT_EQ(lines[3].rfind("fetched /Welcome.txt (", 0), 0u) << lines[3];
    EXPECT_NE(lines[3].find("\"Welcome to the Corvane sample share.\""), std::string::npos) << lines[3];
    EXPECT_NE(lines[9].find("records this run)"), std::string::npos) << lines[9];
    EXPECT_EQ(lines[10], "stopped corvane-vfs-host");
    for (const auto& line : lines) EXPECT_EQ(line.find("failed"), std::string::npos) << line;
  }
  // The demo's folder and file are gone again; the sample files stay.
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(share)) ++entries;
  EXPECT_EQ(entries, 3u);
}

}  // namespace
}  // namespace corvane::testing
