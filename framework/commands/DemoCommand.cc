#include "framework/commands/DemoCommand.h"

#include <iostream>

#include "framework/DemoJob.h"

namespace corvane::framework::commands {

int runDemoCommand(const Arguments& arguments) {
  DemoOptions options;
  for (const auto& argument : arguments) {
    if (argument != "--json") ArgumentReader::unexpected(argument);
    options.json = true;
  }
  return runDemo(options, std::cout);
}

}  // namespace corvane::framework::commands
