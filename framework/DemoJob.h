// `corvane-fp demo`: one end-to-end session through the whole system. It serves
// the sample share with a corvane-vfs-host process and drives the extension
// through the script runner, the same code as `corvane-fp script`: connect, list
// the root, walk the working set, fetch a file, create a folder and a file,
// rename and delete them, then report the event log. One readable line per
// step, or with `json` the script protocol's reply objects.
#pragma once

#include <iosfwd>

namespace corvane::framework {

struct DemoOptions {
  bool json = false;
};

// Runs the demo, writing its lines to `out` and problems to standard error.
// 0 when every step succeeded, 1 otherwise.
int runDemo(const DemoOptions& options, std::ostream& out);

}  // namespace corvane::framework
