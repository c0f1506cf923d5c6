// ScriptRunner: the JSON-lines loop of `corvane-fp script` (docs/script-protocol.md).
// One reply per input line, in input order, each with the input's "op"; a line
// that cannot be used gets {"op": <op or null>, "usage": "..."} and the run goes
// on. The end of input adds {"op": "end", "violations": [...]}.
//
// Threading: one thread; handle() returns once the op's call is answered or has
// timed out.
#pragma once

#include <iosfwd>
#include <string_view>

#include <nlohmann/json.hpp>

#include "framework/ScriptOps.h"
#include "framework/ScriptSession.h"

namespace corvane::framework {

class ScriptRunner {
 public:
  explicit ScriptRunner(ScriptSession& session);

  // The reply to input line number `number` (from 1), as text or already parsed.
  Json handleLine(std::string_view line, std::size_t number);
  Json handle(const nlohmann::json& input, std::size_t number);

  // {"op": "end", "violations": [{"op", "line", "handler", "problem": "repeated"|"late"}...]}
  Json end() const;

  // Answers every line of `in` on `out`, flushing after each reply, then writes
  // the end line.
  void run(std::istream& in, std::ostream& out);

 private:
  ScriptSession& session_;
  ScriptOpTable ops_;
};

}  // namespace corvane::framework
