#include "framework/ScriptRunner.h"

#include <istream>
#include <ostream>
#include <string>

namespace corvane::framework {
namespace {

Json usage(Json op, std::string message) {
  Json reply;
  reply["op"] = std::move(op);
  reply["usage"] = std::move(message);
  return reply;
}

}  // namespace

ScriptRunner::ScriptRunner(ScriptSession& session) : session_(session) {
  addFrameworkOps(ops_);
  addControlOps(ops_);
}

Json ScriptRunner::handleLine(std::string_view line, std::size_t number) {
  auto input = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (input.is_discarded()) return usage(nullptr, "not valid JSON; each line must be one JSON object");
  return handle(input, number);
}

Json ScriptRunner::handle(const nlohmann::json& input, std::size_t number) {
  if (!input.is_object()) return usage(nullptr, "each line must be one JSON object");
  auto op = input.find("op");
  if (op == input.end() || !op->is_string()) {
    return usage(nullptr, "\"op\" must be given as a string naming an operation");
  }
  const std::string name = op->get<std::string>();
  auto handler = ops_.find(name);
  if (handler == ops_.end()) {
    std::string known;
    for (const auto& [each, ignored] : ops_) known += (known.empty() ? "" : ", ") + each;
    return usage(name, "unknown op \"" + name + "\"; the ops are " + known);
  }
  ScriptArgs args(input);
  Json fields = handler->second(session_, args, ScriptLine{name, number});
  if (args.mistake()) return usage(name, *args.mistake());
  Json reply;
  reply["op"] = name;
  for (auto it = fields.begin(); it != fields.end(); ++it) reply[it.key()] = std::move(it.value());
  return reply;
}

Json ScriptRunner::end() const {
  Json violations = Json::array();
  for (const auto& violation : session_.recorder().violations()) {
    Json entry;
    entry["op"] = violation.op;
    entry["line"] = violation.line;
    entry["handler"] = violation.handler;
    entry["problem"] = violation.kind == Violation::Kind::repeated ? "repeated" : "late";
    violations.push_back(std::move(entry));
  }
  Json reply;
  reply["op"] = "end";
  reply["violations"] = std::move(violations);
  return reply;
}

void ScriptRunner::run(std::istream& in, std::ostream& out) {
  std::string line;
  for (std::size_t number = 1; std::getline(in, line); ++number) {
    out << jsonLine(handleLine(line, number)) << '\n' << std::flush;
  }
  out << jsonLine(end()) << '\n' << std::flush;
}

}  // namespace corvane::framework
