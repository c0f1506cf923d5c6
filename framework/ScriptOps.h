// The ops of the script protocol (docs/script-protocol.md), as a table from op
// name to handler. A handler reads its arguments through ScriptArgs; when a read
// finds a mistake it returns before acting, and the runner answers with a
// "usage" object instead of the handler's fields. Handlers run on the runner's
// thread, one at a time, and return only once their call is answered or has
// timed out.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

#include "framework/ScriptArgs.h"
#include "framework/ScriptSession.h"
#include "framework/ScriptValues.h"

namespace corvane::framework {

// The input line a handler answers.
struct ScriptLine {
  std::string op;
  std::size_t number = 0;  // from 1
};

// Returns the reply's fields after "op" (an object, possibly empty).
using ScriptOp = Json (*)(ScriptSession& session, ScriptArgs& args, const ScriptLine& line);
using ScriptOpTable = std::map<std::string, ScriptOp, std::less<>>;

// item, enumerate, anchor, changes, fetch, create, modify, delete,
// importDidFinish, serviceSources, invalidate.
void addFrameworkOps(ScriptOpTable& table);
// connect, disconnect, fault, epoch, bump, log, syslog, sleep.
void addControlOps(ScriptOpTable& table);

}  // namespace corvane::framework
