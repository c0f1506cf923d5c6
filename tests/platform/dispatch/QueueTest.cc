#include "platform/dispatch/Queue.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/support/Waiter.h"

namespace dispatch {
namespace {

TEST(Queue, BlocksFromManyThreadsRunOneAtATimeInSubmissionOrder) {
  Queue q("test.order");
  constexpr int kThreads = 4;
  constexpr int kPerThread = 500;
  std::atomic<int> inFlight{0};
  std::atomic<bool> overlapped{false};
  std::vector<int> lastSeen(kThreads, -1);  // touched only on the queue
  std::atomic<bool> outOfOrder{false};
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        q.async([&, t, i] {
          if (inFlight.fetch_add(1) != 0) overlapped = true;
          if (lastSeen[t] != i - 1) outOfOrder = true;
          lastSeen[t] = i;
          inFlight.fetch_sub(1);
        });
        // Mix in inline runs, which must respect the same order.
        if (i % 50 == 0)
          q.sync([&] {
            if (inFlight.load() != 0) overlapped = true;
          });
      }
    });
  }
  for (auto& p : producers) p.join();
  q.sync([] {});
  EXPECT_FALSE(overlapped);
  EXPECT_FALSE(outOfOrder);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(lastSeen[t], kPerThread - 1);
}

TEST(Queue, SyncWaitsForEarlierBlocksAndReturnsItsValue) {
  Queue q("test.sync");
  std::promise<void> gate;
  std::shared_future<void> open = gate.get_future().share();
  std::vector<int> order;
  q.async([&, open] {
    open.wait();
    order.push_back(1);
  });
  std::thread opener([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    gate.set_value();
  });
  int value = q.sync([&] {
    order.push_back(2);
    return 42;
  });
  opener.join();
  EXPECT_EQ(value, 42);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

// One block that throws ends neither the queue nor the process: an async
// block's exception goes no further, a sync block's reaches its caller, inline
// or handed to the worker, and the queue keeps serving.
TEST(Queue, AThrowingBlockLeavesTheQueueWorking) {
  Queue q("test.throws");
  q.async([] { throw std::runtime_error("async"); });
  EXPECT_THROW(q.sync([] { throw std::runtime_error("sync"); }), std::runtime_error);  // behind the async one
  EXPECT_THROW(q.sync([] { throw std::runtime_error("inline"); }), std::runtime_error);  // idle: runs inline
  EXPECT_EQ(q.sync([] { return 7; }), 7);
  std::atomic<bool> ran{false};
  q.async([&] { ran = true; });
  EXPECT_TRUE(corvane::testing::eventually([&] { return ran.load(); }));
}

TEST(Queue, WorkerThreadIsNamedAfterTheLabelCutToFifteenCharacters) {
  Queue q("io.corvane.fileprovider.xpc");
  std::promise<std::string> name;
  q.async([&] {
    char buf[32] = {};
    pthread_getname_np(pthread_self(), buf, sizeof(buf));
    name.set_value(buf);
  });
  EXPECT_EQ(name.get_future().get(), "io.corvane.file");
  EXPECT_EQ(q.label(), "io.corvane.fileprovider.xpc");
}

TEST(Queue, IsCurrentOnlyInsideItsBlocks) {
  Queue a("test.a");
  Queue b("test.b");
  EXPECT_FALSE(a.isCurrent());
  a.sync([&] {
    EXPECT_TRUE(a.isCurrent());
    EXPECT_FALSE(b.isCurrent());
    // A sync onto another queue from inside a block is fine and nests.
    b.sync([&] {
      EXPECT_TRUE(a.isCurrent());
      EXPECT_TRUE(b.isCurrent());
    });
  });
  std::promise<bool> seen;
  a.async([&] { seen.set_value(a.isCurrent()); });
  EXPECT_TRUE(seen.get_future().get());
}

TEST(Queue, TryRunInlineRunsOnTheCallerOnlyWhenIdle) {
  Queue q("test.inline");
  const auto caller = std::this_thread::get_id();
  std::thread::id ranOn;
  EXPECT_TRUE(q.tryRunInline([&] { ranOn = std::this_thread::get_id(); }));
  EXPECT_EQ(ranOn, caller);

  std::promise<void> release;
  std::promise<void> started;
  q.async([&] {
    started.set_value();
    release.get_future().wait();
  });
  started.get_future().wait();
  bool ran = false;
  EXPECT_FALSE(q.tryRunInline([&] { ran = true; }));
  EXPECT_FALSE(ran);
  release.set_value();
  q.sync([] {});
}

TEST(Queue, DestructionRunsWorkAlreadySubmitted) {
  std::atomic<int> ran{0};
  {
    Queue q("test.drain");
    for (int i = 0; i < 100; ++i) {
      q.async([&] {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        ran.fetch_add(1);
      });
    }
  }
  EXPECT_EQ(ran.load(), 100);
}

TEST(Queue, ABlockMayDestroyItsOwnQueue) {
  auto q = std::make_shared<Queue>("test.self");
  std::promise<void> done;
  Queue* raw = q.get();
  raw->async([q = std::move(q), &done]() mutable {
    q.reset();  // the last reference: the queue dies inside its own block
    done.set_value();
  });
  EXPECT_EQ(done.get_future().wait_for(corvane::testing::kLastResort), std::future_status::ready);
}

TEST(QueueDeathTest, SyncOntoAQueueFromItsOwnBlockAbortsInsteadOfHanging) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Queue q("test.reentrant");
        q.sync([&] { q.sync([] {}); });
      },
      "sync: called on queue \"test.reentrant\" from a block already running on it");
  EXPECT_DEATH(
      {
        Queue outer("test.outer");
        Queue inner("test.inner");
        std::promise<void> never;
        outer.async([&] { inner.sync([&] { outer.sync([] {}); }); });
        never.get_future().wait();
      },
      "queue \"test.outer\" from a block already running on it");
}

}  // namespace
}  // namespace dispatch
