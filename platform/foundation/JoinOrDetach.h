// How an owner ends the thread it started. The owner's destructor joins the
// thread, except when the destructor runs on that very thread: a worker may drop
// the last reference to its owner (a reply that releases the extension, a job
// that releases the pool). Joining then would wait for itself, so the thread is
// detached and finishes on its own; it may touch only what it holds by
// shared_ptr, never the owner's members. docs/threading.md has the whole rule.
#pragma once

#include <thread>

namespace foundation {

inline void joinOrDetach(std::thread& thread) {
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();
  } else {
    thread.join();
  }
}

}  // namespace foundation
