// HostWatch: tells a host that stopped answering from one that is only slow.
// While calls wait on the host, the link's ping goes out, at most one per
// `patience`, each with a deadline of a few seconds. A host that answers it is
// at work, however long the calls take (a large download may take minutes),
// and nothing is cut. One that lets the deadline pass (stopped, or stuck with
// its connection open) is unresponsive: the calls waiting on it, and those made
// after, fail at once as they do with the link down, until that same ping is
// answered at last (the host resumed) or the link ends (the extension then
// answers every request itself).
//
// Thread-safe. One thread of its own sends the pings and tells the observers;
// it holds only the watch's shared state and ends with the object.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <utility>

namespace corvane::framework::mount {

class HostWatch {
  struct State;

 public:
  // Sends the link's ping outside any request. `done` runs once, on any thread
  // and possibly before the call returns: true when the host answered, false
  // when there was no link to ask or it ended before the answer.
  using Ping = std::function<void(std::function<void(bool answered)> done)>;

  // Hears the host stop answering and answer again. Called on the watch's
  // thread, with no lock of the watch's state held; each call must be short
  // and must not call back into the watch.
  class Observer {
   public:
    virtual ~Observer() = default;
    virtual void hostStoppedAnswering() = 0;
    virtual void hostAnswersAgain() = 0;
  };

  struct Timing {
    // How long calls wait on the host before it is first pinged, and the pause
    // between pings while they go on waiting.
    std::chrono::milliseconds patience{1000};
    // How long the host may take to answer a ping. It answers pings on its
    // connection's queue, beside its workers and without touching its disk,
    // so a host busy with large transfers still answers well within it.
    std::chrono::milliseconds pingDeadline{5000};
  };

  explicit HostWatch(Ping ping) : HostWatch(std::move(ping), Timing{}) {}
  HostWatch(Ping ping, Timing timing);
  ~HostWatch();
  HostWatch(const HostWatch&) = delete;
  HostWatch& operator=(const HostWatch&) = delete;

  // `observer` is told from add() until remove() returns; remove() waits out a
  // notice under way.
  void add(Observer* observer);
  void remove(Observer* observer);

  // False from the moment the host is found unresponsive until it answers.
  bool answering() const;
  // Whether the host answered a ping within the last `span`: it is at work.
  bool answeredWithin(std::chrono::milliseconds span) const;

  // A call waiting on the host, for as long as it lives. A null watch watches nothing.
  class Waiting {
   public:
    explicit Waiting(const std::shared_ptr<HostWatch>& watch);
    ~Waiting();
    Waiting(const Waiting&) = delete;
    Waiting& operator=(const Waiting&) = delete;

   private:
    const std::shared_ptr<State> state_;
  };

 private:
  static void run(const std::shared_ptr<State>& state);

  const std::shared_ptr<State> state_;
  std::thread thread_;  // last: it starts once the rest is made
};

}  // namespace corvane::framework::mount
