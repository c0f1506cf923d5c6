// `corvane-fp [item] [--peer ID] [--path PATH] [--size N] [--modified-ms N]`: how
// the extension names and versions one entry of a peer's share (its identifier,
// parent, the share epoch in force and the item the framework would see), as
// one JSON object.
#pragma once

#include "framework/commands/Command.h"

namespace corvane::framework::commands {

int runItemCommand(const Arguments& arguments);

}  // namespace corvane::framework::commands
