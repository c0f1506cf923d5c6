// The last line of defence of a thread that runs others' work (a queue's
// worker, a pool thread, a poller): an exception that a block lets out would
// end the whole process through std::terminate. Every request path answers its
// own failures as errors; this only keeps a missed one from taking every other
// request down with it.
#pragma once

#include <cstdio>
#include <exception>
#include <utility>

namespace foundation {

// Runs `body`. An exception it lets out is written to standard error with
// `where` and goes no further; returns false then.
template <typename Body>
bool runGuarded(const char* where, Body&& body) noexcept {
  try {
    std::forward<Body>(body)();
    return true;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "corvane: %s ended with an exception: %s\n", where, e.what());
  } catch (...) {
    std::fprintf(stderr, "corvane: %s ended with an exception\n", where);
  }
  return false;
}

}  // namespace foundation
