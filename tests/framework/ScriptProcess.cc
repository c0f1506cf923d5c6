#include "tests/framework/ScriptProcess.h"

namespace corvane::testing {

namespace {
std::vector<std::string> commandLine(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> words{program, "script"};
  words.insert(words.end(), args.begin(), args.end());
  return words;
}
}  // namespace

ScriptProcess::ScriptProcess(const std::string& program, const std::vector<std::string>& args,
                             const std::filesystem::path& errorFile)
    : child_(commandLine(program, args), {.pipeInput = true, .pipeOutput = true, .errorFile = errorFile}) {}

nlohmann::json ScriptProcess::ask(const std::string& line) {
  if (!child_.write(line + "\n")) return nullptr;
  auto reply = child_.readLine();
  return reply ? nlohmann::json::parse(*reply, nullptr, false) : nlohmann::json();
}

std::pair<std::vector<nlohmann::json>, int> ScriptProcess::finish() {
  child_.closeInput();
  std::vector<nlohmann::json> rest;
  while (auto line = child_.readLine()) {
    rest.push_back(nlohmann::json::parse(*line, nullptr, false));
  }
  return {rest, child_.wait()};
}

}  // namespace corvane::testing
