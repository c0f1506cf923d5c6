// A `corvane-fp script` process for tests: script lines go to its standard
// input one at a time and its replies come back one at a time, so a test can
// use one reply (an anchor, an identifier) to write the next line — and a
// reply that is not flushed at once shows up as a timeout.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/ChildProcess.h"

namespace corvane::testing {

class ScriptProcess {
 public:
  // Starts `program script ARGS...` in the current environment; standard error
  // goes to `errorFile`.
  ScriptProcess(const std::string& program, const std::vector<std::string>& args,
                const std::filesystem::path& errorFile);
  // Closes the input and waits for the process if finish() was not called.
  ~ScriptProcess() { finish(); }

  // Sends `line` (text, or an object) and returns the next reply; null after 15 s
  // without one.
  nlohmann::json ask(const std::string& line);
  nlohmann::json askJson(const nlohmann::json& line) { return ask(line.dump()); }

  // Closes the input and returns every remaining reply line and the exit status
  // (-1 when the process did not exit normally). Later calls return no lines and
  // the same status.
  std::pair<std::vector<nlohmann::json>, int> finish();

 private:
  ChildProcess child_;
};

}  // namespace corvane::testing
