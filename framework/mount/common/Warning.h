// A warning of the mount's own: one record in the event log, and one line on
// standard error, where a terminal shows it and a service's journal keeps it
// ("corvane-fp mount: warning: mount.conflict_copy: /a.txt -> a (conflict ...).txt
// (changed on the peer)"). Requests the extension answers with an error are
// not warnings of the mount: a missing file is an answer, not a fault.
#pragma once

#include <unistd.h>
#include <string>

#include "shared/diagnostics/CorvaneFpLog.h"

namespace corvane::framework::mount {

inline void warn(const CorvaneFpLog::Event& event) {
  CorvaneFpLog::emit(event);
  std::string line = "corvane-fp mount: warning: " + std::string(event.event);
  if (event.detail) line += ": " + std::string(*event.detail);
  std::string why;
  for (const auto& part : {event.reason, event.errorCode}) {
    if (part && !part->empty()) why += (why.empty() ? "" : ", ") + std::string(*part);
  }
  if (!why.empty()) line += " (" + why + ")";
  line += "\n";
  // One write: lines of other threads never cut into it.
  (void)!::write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace corvane::framework::mount
