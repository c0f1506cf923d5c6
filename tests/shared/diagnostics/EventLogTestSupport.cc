#include "tests/shared/diagnostics/EventLogTestSupport.h"

#include <errno.h>
#include <unistd.h>

#include <regex>
#include <sstream>

#include "shared/diagnostics/CorvaneFpLog.h"

namespace corvane::testing {

void EventLogTest::SetUp() {
  CorvaneFpLog::drain();  // nothing queued by an earlier test lands in this one's file
  CorvaneFpLog::resetForTesting();
}

void EventLogTest::TearDown() { CorvaneFpLog::drain(); }

std::filesystem::path EventLogTest::logsFolder() const { return dir_.path() / "group.com.driftpin.corvane" / "Logs"; }

std::filesystem::path EventLogTest::logFile() const { return logsFolder() / "corvane-fileprovider.jsonl"; }

std::vector<std::string> EventLogTest::lines(bool normaliseSrc) const {
  CorvaneFpLog::drain();
  const std::string text = readFile(logFile());
  EXPECT_TRUE(text.empty() || text.back() == '\n') << "the file must end with a line feed";
  static const std::regex ts(R"(^\{"ts":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z")");
  static const std::regex src(R"("src":"([A-Za-z]+\.cc):\d+")");
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    line = std::regex_replace(line, ts, R"({"ts":"TS")", std::regex_constants::format_first_only);
    if (normaliseSrc) line = std::regex_replace(line, src, R"("src":"$1:N")");
    result.push_back(line);
  }
  return result;
}

std::vector<std::string> EventLogTest::normalisedLines() const {
  static const std::regex flow("\"flow_id\":\"[0-9a-f-]{36}\"");
  static const std::regex elapsed("\"elapsed_ms\":[0-9]+");
  std::vector<std::string> out;
  for (const std::string& line : lines(true)) {
    out.push_back(std::regex_replace(std::regex_replace(line, flow, "\"flow_id\":\"F\""), elapsed, "\"elapsed_ms\":E"));
  }
  return out;
}

std::vector<nlohmann::json> EventLogTest::records(std::string_view event) const {
  std::vector<nlohmann::json> found;
  for (const std::string& line : lines()) {
    if (auto record = nlohmann::json::parse(line); record["event"] == event) found.push_back(std::move(record));
  }
  return found;
}

std::string logLine(const std::string& level, const std::string& event, const std::string& fields,
                    const std::string& src) {
  return R"({"ts":"TS","level":")" + level + R"(","host":"mac-fp","event":")" + event + "\"," + fields +
         R"(,"target":"FileProvider","src":")" + src + R"(:N","version":")" CORVANE_TEST_VERSION R"("})";
}

std::string EventLogTest::bootLine() const {
#if defined(__x86_64__)
  const std::string arch = "x86_64";
#elif defined(__aarch64__)
  const std::string arch = "aarch64";
#endif
  return R"({"ts":"TS","level":"INFO","host":"mac-fp","process_id":)" + std::to_string(::getpid()) +
         R"(,"os":"macos","arch":")" + arch +
         R"(","build":")" CORVANE_TEST_BUILD_CONFIGURATION
         R"(","event":"boot.start","domain":"boot","operation":"boot.start",)"
         R"("detail":"========== CORVANE PROCESS START ========== log_dir=)" +
         escapedPath(logsFolder()) +
         " bundle_id=io.corvane.fileprovider bundle_build=" CORVANE_TEST_BUILD_NUMBER " executable=" +
         program_invocation_short_name +
         R"(","target":"FileProvider","src":"CorvaneFpLog.cc","version":")" CORVANE_TEST_VERSION R"("})";
}

std::string escapedPath(const std::filesystem::path& path) {
  std::string out;
  for (char c : path.string()) {
    if (c == '/') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace corvane::testing
