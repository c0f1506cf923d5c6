#include "platform/dispatch/Queue.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "platform/foundation/Guarded.h"
#include "platform/foundation/JoinOrDetach.h"

namespace dispatch {

struct Queue::State {
  State(std::string l, QualityOfService q) : label(std::move(l)), qos(q) {}

  // Constant after construction.
  const std::string label;
  const QualityOfService qos;

  // Guarded by mutex.
  std::mutex mutex;
  std::condition_variable workAvailable;  // the worker waits on it
  std::deque<Queue::Work> work;
  bool busy = false;  // a block runs, on the worker or inline on another thread
  bool stopping = false;
  std::thread worker;  // started by the first block that needs it
};

namespace {

// The queues whose blocks the calling thread is running, innermost first. A
// chain on the stack, so nested sync() calls on different queues are tracked.
struct Frame {
  const Queue::State* state;
  const Frame* previous;
};
thread_local const Frame* tlsInnermost = nullptr;

class FrameScope {
 public:
  explicit FrameScope(const Queue::State* state) : frame_{state, tlsInnermost} { tlsInnermost = &frame_; }
  ~FrameScope() { tlsInnermost = frame_.previous; }
  FrameScope(const FrameScope&) = delete;
  FrameScope& operator=(const FrameScope&) = delete;

 private:
  Frame frame_;
};

bool runningOn(const Queue::State* state) {
  for (const Frame* f = tlsInnermost; f; f = f->previous) {
    if (f->state == state) return true;
  }
  return false;
}

void runWorker(std::shared_ptr<Queue::State> s) {
  ::pthread_setname_np(::pthread_self(), s->label.substr(0, 15).c_str());
  applyToCurrentThread(s->qos);
  std::unique_lock lock(s->mutex);
  for (;;) {
    s->workAvailable.wait(lock, [&] { return (!s->busy && !s->work.empty()) || (s->stopping && s->work.empty()); });
    if (s->work.empty()) break;
    Queue::Work work = std::move(s->work.front());
    s->work.pop_front();
    s->busy = true;
    lock.unlock();
    {
      FrameScope scope(s.get());
      // One block that throws must not end the queue, or the process with it.
      (void)foundation::runGuarded(s->label.c_str(), work);
      // Captures die here, still "on the queue": they may release the queue's owner.
      work = nullptr;
    }
    lock.lock();
    s->busy = false;
  }
}

}  // namespace

void applyToCurrentThread(QualityOfService qos) {
  // Background work gives way to what someone waits on: nice 10 gets about a
  // tenth of a core that a standard thread also wants.
  if (qos == QualityOfService::utility) ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
}

Queue::Queue(std::string label, QualityOfService qos) : state_(std::make_shared<State>(std::move(label), qos)) {}

Queue::~Queue() {
  std::thread worker;
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    worker = std::move(state_->worker);
  }
  state_->workAvailable.notify_all();
  // Destroyed from one of its own blocks, also one run inline on another thread:
  // joining would wait for ourselves.
  if (worker.joinable() && runningOn(state_.get())) {
    worker.detach();
  } else {
    foundation::joinOrDetach(worker);
  }
}

const std::string& Queue::label() const { return state_->label; }

void Queue::async(Work work) {
  // Held past the unlock: once it is released the block may run and destroy
  // this queue, but not the state.
  std::shared_ptr<State> s = state_;
  bool idle;
  {
    std::lock_guard lock(s->mutex);
    s->work.push_back(std::move(work));
    if (!s->worker.joinable() && !s->stopping) s->worker = std::thread(runWorker, s);
    idle = !s->busy;
  }
  // Signalled after the unlock: a worker woken under the lock would only wait
  // for it next, one more sleep and wake-up per block.
  if (idle) s->workAvailable.notify_one();
}

bool Queue::tryRunInlineRaw(void (*fn)(void*), void* context) {
  // Keeps the state alive if the block destroys the queue.
  std::shared_ptr<State> s = state_;
  {
    std::lock_guard lock(s->mutex);
    if (s->busy || !s->work.empty()) return false;
    s->busy = true;
  }
  // Frees the queue however the block ends: an exception goes on to the
  // caller of sync, as from any call, and the queue keeps working.
  struct Release {
    State* s;
    ~Release() {
      bool more;
      {
        std::lock_guard lock(s->mutex);
        s->busy = false;
        more = !s->work.empty();
      }
      if (more) s->workAvailable.notify_one();
    }
  } release{s.get()};
  FrameScope scope(s.get());
  fn(context);
  return true;
}

void Queue::syncRaw(void (*fn)(void*), void* context) {
  if (runningOn(state_.get())) {
    std::fprintf(stderr,
                 "dispatch::Queue::sync: called on queue \"%s\" from a block already running on it; "
                 "this would deadlock\n",
                 state_->label.c_str());
    std::abort();
  }
  if (tryRunInlineRaw(fn, context)) return;
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::exception_ptr thrown;
  async([&] {
    try {
      fn(context);
    } catch (...) {
      thrown = std::current_exception();
    }
    std::lock_guard lock(m);
    done = true;
    cv.notify_one();
  });
  std::unique_lock lock(m);
  cv.wait(lock, [&] { return done; });
  if (thrown) std::rethrow_exception(thrown);
}

bool Queue::isCurrent() const { return runningOn(state_.get()); }

void Queue::assertCurrent([[maybe_unused]] const char* what) const {
#ifndef NDEBUG
  if (!isCurrent()) {
    std::fprintf(stderr, "%s must run on queue \"%s\"\n", what, state_->label.c_str());
    std::abort();
  }
#endif
}

}  // namespace dispatch
