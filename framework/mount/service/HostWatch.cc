#include "framework/mount/service/HostWatch.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/foundation/JoinOrDetach.h"

namespace corvane::framework::mount {

using std::chrono::steady_clock;

// Everything the watch's thread and the pings' answers touch: they may outlive
// the watch by the answer of a ping still out.
struct HostWatch::State {
  State(Ping p, Timing t) : ping(std::move(p)), timing(t) {}

  // Tells every observer, one at a time.
  void tell(void (Observer::*notice)()) {
    std::lock_guard guard(observersMutex);
    for (Observer* observer : observers) (observer->*notice)();
  }

  // Constant after construction.
  const Ping ping;
  const Timing timing;

  // Written by the watch's thread and the pings' answers; read by every call,
  // also under locks of their own.
  std::atomic<bool> answering{true};
  std::atomic<steady_clock::rep> lastAnswer{0};  // when the host last answered a ping

  std::mutex mutex;  // guards what follows
  std::condition_variable changed;
  bool stopping = false;
  int waiting = 0;                      // calls waiting on the host now
  steady_clock::time_point nextPing{};  // while calls wait, no ping before this
  std::uint64_t pingsSent = 0;          // the ping out is the one of this number
  bool pingAnswered = false;            // ...and it was answered, or its link ended
  bool byHost = false;                  // ...answered by the host itself

  std::mutex observersMutex;  // guards observers; held while they are told
  std::vector<Observer*> observers;
};

HostWatch::HostWatch(Ping ping, Timing timing)
    : state_(std::make_shared<State>(std::move(ping), timing)), thread_([state = state_] { run(state); }) {}

HostWatch::~HostWatch() {
  {
    std::lock_guard guard(state_->mutex);
    state_->stopping = true;
  }
  state_->changed.notify_all();
  foundation::joinOrDetach(thread_);
}

void HostWatch::add(Observer* observer) {
  std::lock_guard guard(state_->observersMutex);
  state_->observers.push_back(observer);
}

void HostWatch::remove(Observer* observer) {
  std::lock_guard guard(state_->observersMutex);
  std::erase(state_->observers, observer);
}

bool HostWatch::answering() const { return state_->answering.load(); }

bool HostWatch::answeredWithin(std::chrono::milliseconds span) const {
  const steady_clock::rep last = state_->lastAnswer.load();
  return last != 0 && steady_clock::now() - steady_clock::time_point(steady_clock::duration(last)) <= span;
}

HostWatch::Waiting::Waiting(const std::shared_ptr<HostWatch>& watch) : state_(watch ? watch->state_ : nullptr) {
  if (!state_) return;
  bool first;
  {
    std::lock_guard guard(state_->mutex);
    first = state_->waiting++ == 0;
    if (first) state_->nextPing = std::max(state_->nextPing, steady_clock::now() + state_->timing.patience);
  }
  if (first) state_->changed.notify_all();
}

HostWatch::Waiting::~Waiting() {
  if (!state_) return;
  std::lock_guard guard(state_->mutex);
  --state_->waiting;
}

void HostWatch::run(const std::shared_ptr<State>& state) {
  std::unique_lock lock(state->mutex);
  while (!state->stopping) {
    if (state->waiting == 0) {
      state->changed.wait(lock, [&] { return state->stopping || state->waiting > 0; });
      continue;
    }
    if (steady_clock::now() < state->nextPing) {
      state->changed.wait_until(lock, state->nextPing, [&] { return state->stopping; });
      continue;
    }

    const std::uint64_t sent = ++state->pingsSent;
    state->pingAnswered = false;
    lock.unlock();
    auto answered = [state, sent](bool byHost) {
      {
        std::lock_guard guard(state->mutex);
        if (sent != state->pingsSent) return;
        state->pingAnswered = true;
        state->byHost = byHost;
      }
      if (byHost) state->lastAnswer = steady_clock::now().time_since_epoch().count();
      state->changed.notify_all();
    };
    if (state->ping) {
      state->ping(answered);
    } else {
      answered(false);
    }
    lock.lock();
    const auto deadline = steady_clock::now() + state->timing.pingDeadline;
    state->changed.wait_until(lock, deadline, [&] { return state->stopping || state->pingAnswered; });
    if (state->stopping) break;

    if (!state->pingAnswered) {
      state->answering = false;
      lock.unlock();
      std::fprintf(
          stderr, "corvane-fp mount: corvane-vfs-host has not answered for %lld s; requests fail until it does\n",
          static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(state->timing.pingDeadline).count()));
      state->tell(&Observer::hostStoppedAnswering);
      lock.lock();
      // The same ping ends it: a host that resumes answers what it was sent in
      // order, and a link that ends fails it.
      state->changed.wait(lock, [&] { return state->stopping || state->pingAnswered; });
      if (state->stopping) break;
      state->answering = true;
      const bool byHost = state->byHost;
      lock.unlock();
      std::fprintf(stderr, byHost ? "corvane-fp mount: corvane-vfs-host answers again\n"
                                  : "corvane-fp mount: the link to corvane-vfs-host ended\n");
      state->tell(&Observer::hostAnswersAgain);
      lock.lock();
    }
    state->nextPing = steady_clock::now() + state->timing.patience;
  }
}

}  // namespace corvane::framework::mount
