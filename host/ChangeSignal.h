// ChangeSignal: how a host tells a mount on this machine that a peer's share
// changed, so that the mount asks for the changes at once instead of at its
// next regular round. The signal is a write to a small file in the runtime
// folder (gone with a reboot), which the mount watches with inotify: it says
// nothing but "look now"; the changes themselves still come from the change
// queries, with their sync anchors, so a signal lost or doubled costs at most
// a round.
#pragma once

#include <filesystem>
#include <string_view>

namespace corvane::host {

// <runtime folder>/changed/<peer's file stem>.
std::filesystem::path changeSignalFile(const std::filesystem::path& runtimeFolder, std::string_view peerId);

// Writes the file (making its folder, private, when missing). Never fails
// loudly: without it the mount finds the change at its next round.
void signalChange(const std::filesystem::path& file);

}  // namespace corvane::host
