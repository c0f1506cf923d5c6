// libFuzzer target for script-protocol lines: the JSON, the typed reads every op
// makes of it, and the values decoded from it (fault replies, anchors in hex,
// item field names). Mistakes are reported, never crashes.
#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

#include "framework/ScriptArgs.h"
#include "framework/ScriptFaultReply.h"
#include "framework/ScriptValues.h"
#include "host/HostFaults.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvane::framework;
  const auto line = nlohmann::json::parse(std::string_view(reinterpret_cast<const char*>(data), size), nullptr, false);
  if (!line.is_object()) return 0;
  ScriptArgs args(line);
  (void)args.text("op");
  (void)args.optionalText("container");
  (void)args.optionalUnsigned("ms");
  (void)args.optionalInteger("code");
  (void)args.flag("json");
  if (auto anchor = args.optionalText("anchor")) (void)dataFromHex(*anchor);
  if (const auto* fields = args.optionalArray("fields")) {
    for (const auto& field : *fields) {
      if (field.is_string()) (void)itemFieldNamed(field.get<std::string>());
    }
  }
  if (const auto* reply = args.optionalObject("reply")) {
    auto fault = faultReplyFrom(*reply, args);
    if (fault && !args.mistake()) {
      corvane::host::HostFaults faults;
      (void)faults.set(args.text("selector"), args.optionalText("path"), std::move(*fault));
    }
  }
  return 0;
}
