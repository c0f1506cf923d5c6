#include "tests/platform/xpc/LinkPair.h"

#include "tests/support/Waiter.h"

#include <gtest/gtest.h>

#include <future>

namespace xpc::testing {

void Recorder::add(std::string event) {
  std::lock_guard lock(mutex_);
  events_.push_back(std::move(event));
  changed_.notify_all();
}

bool Recorder::waitFor(std::size_t count) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, corvane::testing::kLastResort, [&] { return events_.size() >= count; });
}

std::vector<std::string> Recorder::events() {
  std::lock_guard lock(mutex_);
  return events_;
}

namespace {

class AcceptOne final : public ListenerDelegate {
 public:
  explicit AcceptOne(std::function<void(Connection&)> configure) : configure_(std::move(configure)) {}
  bool shouldAcceptNewConnection(Listener&, const std::shared_ptr<Connection>& connection) override {
    if (configure_) configure_(*connection);
    connection->resume();
    std::lock_guard lock(mutex_);
    if (!delivered_) {
      delivered_ = true;
      accepted_.set_value(connection);
    }
    return true;
  }
  std::future<std::shared_ptr<Connection>> accepted() { return accepted_.get_future(); }

 private:
  std::function<void(Connection&)> configure_;
  std::mutex mutex_;
  bool delivered_ = false;
  std::promise<std::shared_ptr<Connection>> accepted_;
};

}  // namespace

LinkPair::~LinkPair() {
  if (listener) listener->invalidate();
  // Handlers run on the queues after invalidate() returns; wait for them so that
  // nothing they capture from the test is used after the test ends.
  for (auto& c : {client, server}) {
    if (!c) continue;
    c->invalidate();
    c->queue().sync([] {});
  }
}

std::unique_ptr<LinkPair> connectPair(std::function<void(Connection&)> configureServer,
                                      std::function<void(Connection&)> configureClient) {
  auto pair = std::make_unique<LinkPair>();
  pair->listener = Listener::anonymous();
  EXPECT_FALSE(pair->listener->error().has_value());
  auto delegate = std::make_shared<AcceptOne>(std::move(configureServer));
  auto accepted = delegate->accepted();
  pair->delegate = delegate;
  pair->listener->setDelegate(delegate);
  pair->listener->resume();
  pair->client = Connection::withEndpoint(pair->listener->endpoint());
  if (configureClient) configureClient(*pair->client);
  pair->client->resume();
  if (accepted.wait_for(corvane::testing::kLastResort) != std::future_status::ready) {
    ADD_FAILURE() << "the listener accepted nothing";
    return pair;
  }
  pair->server = accepted.get();
  return pair;
}

}  // namespace xpc::testing
