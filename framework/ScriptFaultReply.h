// Decodes the "reply" of a script's "fault" op into the host's fault kinds, and
// ENTRY objects into host entries. Every mistake is reported through the
// caller's ScriptArgs, so a bad fault becomes a "usage" reply.
#pragma once

#include <optional>

#include <nlohmann/json.hpp>

#include "framework/ScriptArgs.h"
#include "host/HostFaults.h"

namespace corvane::framework {

// ENTRY: {"name", "isDir", "size", "modifiedMs"}; only "name" is required.
std::optional<host::HostFileEntry> hostEntryFrom(const nlohmann::json& entry, ScriptArgs& mistakes);

// One of {"error": {...}}, {"nothing": true}, {"entry": ENTRY}, {"entries": [...]},
// {"token": n}, {"changes": [...], "newToken": n}, {"url": path}, {"drop": true}.
std::optional<host::FaultReply> faultReplyFrom(const nlohmann::json& reply, ScriptArgs& mistakes);

}  // namespace corvane::framework
