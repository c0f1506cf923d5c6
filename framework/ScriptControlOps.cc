// The control ops: they steer the host and the shared state around the
// extension (link up and down, faults, share epochs) and read what it wrote
// (event log, system log), so a script can set up every situation the
// framework ops then meet.
#include <thread>

#include "framework/ScriptFaultReply.h"
#include "framework/ScriptOps.h"
#include "platform/foundation/FileManager.h"
#include "shared/share_epoch/FileProviderShareEpoch.h"
#include "shared/share_epoch/PeerStore.h"

namespace corvane::framework {
namespace {

// The host of the demo is another process: it connects and activates by
// itself, and nothing here can steer it.
bool needsInProcessHost(ScriptSession& session, ScriptArgs& args, const ScriptLine& line) {
  if (session.hostLink()) return true;
  args.fail("\"" + line.op + "\" needs the in-process host, and this run's host is another process");
  return false;
}

Json connectOp(ScriptSession& session, ScriptArgs& args, const ScriptLine&) {
  const auto peer = args.optionalText("peer");
  if (args.mistake()) return {};
  Json reply;
  if (auto* link = session.hostLink()) {
    reply["error"] = errorJson(link->connect(peer));
    return reply;
  }
  if (peer) {
    args.fail("\"peer\" needs the in-process host, and this run's host is another process");
    return {};
  }
  // Another process is the host: connecting means its activation has arrived.
  reply["error"] = nullptr;
  if (!session.waitForLink(true)) reply["timeout"] = true;
  return reply;
}

Json disconnectOp(ScriptSession& session, ScriptArgs& args, const ScriptLine& line) {
  if (!needsInProcessHost(session, args, line)) return {};
  session.hostLink()->disconnect();
  Json reply = Json::object();
  if (!session.waitForLink(false)) reply["timeout"] = true;
  return reply;
}

Json faultOp(ScriptSession& session, ScriptArgs& args, const ScriptLine& line) {
  if (!needsInProcessHost(session, args, line)) return {};
  auto& faults = session.hostLink()->faults();
  if (args.flag("clear")) {
    faults.clear();
    return Json::object();
  }
  const auto selector = args.text("selector");
  const auto path = args.optionalText("path");
  const auto* replyObject = args.optionalObject("reply");
  if (!replyObject && !args.mistake()) args.fail("\"reply\" must be given as an object");
  std::optional<host::FaultReply> reply;
  if (replyObject) reply = faultReplyFrom(*replyObject, args);
  if (args.mistake()) return {};
  if (auto set = faults.set(selector, path, std::move(*reply)); !set.ok()) {
    args.fail(set.error().localizedDescription());
    return {};
  }
  return Json::object();
}

Json epochOp(ScriptSession& session, ScriptArgs& args, const ScriptLine&) {
  const auto value = args.unsignedNumber("value");
  const auto peer = args.optionalText("peer").value_or(session.domainId());
  if (args.mistake()) return {};
  auto file = PeerStore::fileURL(FileProviderShareEpoch::storeDirectoryName, peer);
  if (!file) {
    args.fail("this run has no App Group container to hold an epoch");
    return {};
  }
  if (value == 0) {
    std::error_code ignored;
    std::filesystem::remove(*file, ignored);
    return Json::object();
  }
  foundation::Data bytes(8);
  foundation::storeUInt64LE(bytes, 0, value);
  auto written = foundation::FileManager::createDirectory(file->parent_path(), true);
  if (written.ok()) written = foundation::FileManager::writeAtomically(*file, bytes);
  if (!written.ok()) {
    args.fail("cannot write " + file->string() + ": " + written.error().localizedDescription());
    return {};
  }
  return Json::object();
}

Json bumpOp(ScriptSession& session, ScriptArgs& args, const ScriptLine&) {
  const auto peer = args.optionalText("peer").value_or(session.domainId());
  if (args.mistake()) return {};
  auto epoch = FileProviderShareEpoch::bump(peer);
  Json reply;
  reply["epoch"] = epoch ? Json(*epoch) : Json(nullptr);
  return reply;
}

Json logOp(ScriptSession& session, ScriptArgs&, const ScriptLine&) {
  Json reply;
  reply["lines"] = session.takeEventLogLines();
  return reply;
}

Json syslogOp(ScriptSession& session, ScriptArgs&, const ScriptLine&) {
  Json reply;
  reply["lines"] = session.takeSystemLogLines();
  return reply;
}

Json sleepOp(ScriptSession&, ScriptArgs& args, const ScriptLine&) {
  const auto ms = args.unsignedNumber("ms");
  if (args.mistake()) return {};
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return Json::object();
}

}  // namespace

void addControlOps(ScriptOpTable& table) {
  table.emplace("connect", connectOp);
  table.emplace("disconnect", disconnectOp);
  table.emplace("fault", faultOp);
  table.emplace("epoch", epochOp);
  table.emplace("bump", bumpOp);
  table.emplace("log", logOp);
  table.emplace("syslog", syslogOp);
  table.emplace("sleep", sleepOp);
}

}  // namespace corvane::framework
