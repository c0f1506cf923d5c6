// Test helpers: two connected ends of a real link (a listener, the connection
// dialled from its endpoint and the one it accepted), and a small recorder of
// handler calls that tests wait on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/xpc/Connection.h"
#include "platform/xpc/Listener.h"

namespace xpc::testing {

// Thread-safe list of events with a bounded wait.
class Recorder {
 public:
  void add(std::string event);
  // Waits until at least `count` events were recorded (at most 10 s).
  bool waitFor(std::size_t count);
  std::vector<std::string> events();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
};

// Declare whatever the handlers capture before the pair: its destructor waits for
// the handlers that invalidation runs.
struct LinkPair {
  std::shared_ptr<Listener> listener;
  std::shared_ptr<ListenerDelegate> delegate;
  std::shared_ptr<Connection> client;  // dialled from the endpoint
  std::shared_ptr<Connection> server;  // accepted by the listener

  ~LinkPair();
};

// Sets both ends up with the given configuration (run before each is resumed; the
// server's on the listener's thread) and resumes them. Fails the test (returns
// null ends) when the server side is not accepted within 10 s.
std::unique_ptr<LinkPair> connectPair(std::function<void(Connection&)> configureServer,
                                      std::function<void(Connection&)> configureClient);

}  // namespace xpc::testing
