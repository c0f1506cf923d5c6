#include "framework/ScriptFaultReply.h"

namespace corvane::framework {
namespace {

// Runs `read` over the object `value` and copies its first mistake, prefixed
// with where it was found, to `mistakes`.
template <typename Read>
auto readNested(const nlohmann::json& value, const std::string& where, ScriptArgs& mistakes, Read read)
    -> decltype(read(std::declval<ScriptArgs&>())) {
  if (!value.is_object()) {
    mistakes.fail(where + " must be an object");
    return std::nullopt;
  }
  ScriptArgs args(value);
  auto result = read(args);
  if (args.mistake()) {
    mistakes.fail("in " + where + ": " + *args.mistake());
    return std::nullopt;
  }
  return result;
}

std::optional<host::HostFsChange> changeFrom(const nlohmann::json& change, ScriptArgs& mistakes) {
  return readNested(change, "a change", mistakes, [&](ScriptArgs& args) -> std::optional<host::HostFsChange> {
    host::HostFsChange result;
    result.removedName = args.optionalText("removedName");
    // Taken as given: a change may pair any of the three fields.
    result.isRemoved = args.flag("isRemoved", result.removedName.has_value());
    if (args.has("entry")) {
      result.entry = hostEntryFrom(change.at("entry"), args);
    }
    return result;
  });
}

}  // namespace

std::optional<host::HostFileEntry> hostEntryFrom(const nlohmann::json& entry, ScriptArgs& mistakes) {
  return readNested(entry, "an entry", mistakes, [](ScriptArgs& args) -> std::optional<host::HostFileEntry> {
    host::HostFileEntry result;
    result.name = args.text("name");
    result.isDir = args.flag("isDir");
    result.size = args.optionalUnsigned("size").value_or(0);
    result.modifiedMs = args.optionalUnsigned("modifiedMs").value_or(0);
    return result;
  });
}

std::optional<host::FaultReply> faultReplyFrom(const nlohmann::json& reply, ScriptArgs& mistakes) {
  return readNested(reply, "\"reply\"", mistakes, [&](ScriptArgs& args) -> std::optional<host::FaultReply> {
    if (args.has("error")) {
      return readNested(reply.at("error"), "\"error\"", args,
                        [](ScriptArgs& fields) -> std::optional<host::FaultReply> {
                          host::FaultError error;
                          error.domain = fields.optionalText("domain").value_or(error.domain);
                          auto code = fields.optionalInteger("code");
                          if (!code && !fields.mistake()) fields.fail("\"code\" must be given as a number");
                          error.code = code.value_or(0);
                          error.codeText = fields.optionalText("codeText");
                          error.description = fields.optionalText("description");
                          return error;
                        });
    }
    if (args.flag("nothing")) return host::FaultNothing{};
    if (args.flag("drop")) return host::FaultDrop{};
    if (args.has("entry")) {
      auto entry = hostEntryFrom(reply.at("entry"), args);
      if (!entry) return std::nullopt;
      return *entry;
    }
    if (const auto* list = args.optionalArray("entries")) {
      std::vector<host::HostFileEntry> entries;
      for (const auto& item : *list) {
        auto entry = hostEntryFrom(item, args);
        if (!entry) return std::nullopt;
        entries.push_back(std::move(*entry));
      }
      return entries;
    }
    if (args.has("token")) return host::FaultToken{args.unsignedNumber("token")};
    if (const auto* list = args.optionalArray("changes")) {
      host::HostChangesResult result;
      for (const auto& item : *list) {
        auto change = changeFrom(item, args);
        if (!change) return std::nullopt;
        result.changes.push_back(std::move(*change));
      }
      result.newToken = args.unsignedNumber("newToken");
      return result;
    }
    if (auto url = args.optionalText("url")) return host::FaultURL{*url};
    if (!args.mistake()) {
      args.fail(
          "must hold one of \"error\", \"nothing\", \"entry\", \"entries\", \"token\", \"changes\", "
          "\"url\" or \"drop\"");
    }
    return std::nullopt;
  });
}

}  // namespace corvane::framework
