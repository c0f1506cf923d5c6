// The last line of defence of code that runs others' work (a queue's worker,
// a pool thread, a poller, a request handler): an exception that a block lets
// out would end the whole process through std::terminate. Every request path
// answers its own failures as errors; this only keeps a missed one from taking
// every other request down with it.
#pragma once

#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <utility>

namespace foundation {

// Runs `body`: what an exception it let out said, or nothing when none did.
template <typename Body>
std::optional<std::string> exceptionFrom(Body&& body) noexcept {
  try {
    std::forward<Body>(body)();
    return std::nullopt;
  } catch (const std::exception& e) {
    return std::string(e.what());
  } catch (...) {
    return std::string("unknown exception");
  }
}

// Runs `body`. An exception it lets out is written to standard error with
// `where` and goes no further; returns false then.
template <typename Body>
bool runGuarded(const char* where, Body&& body) noexcept {
  const auto what = exceptionFrom(std::forward<Body>(body));
  if (what) std::fprintf(stderr, "corvane: %s ended with an exception: %s\n", where, what->c_str());
  return !what;
}

}  // namespace foundation
