#include "scanner/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

namespace {

TEST(ThreadPool, DestructionRunsEveryQueuedTask) {
    std::atomic<int> done{0};
    {
        ThreadPool pool(2);
        for (int i = 0; i < 200; ++i) {
            pool.enqueue([&done] {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                done.fetch_add(1);
            });
        }
    }
    EXPECT_EQ(done.load(), 200);
}

TEST(ThreadPool, ThrowingTaskKeepsItsWorkerAndIsCounted) {
    ThreadPool pool(1);
    auto failing = pool.enqueue([] { throw std::runtime_error("task failed"); });
    std::atomic<bool> later_ran{false};
    auto later = pool.enqueue([&later_ran] { later_ran = true; });
    pool.wait_idle();
    EXPECT_EQ(pool.pending_tasks.load(), 0u);
    EXPECT_TRUE(later_ran.load());  // the only worker survived the exception
    EXPECT_THROW(failing.get(), std::runtime_error);
    EXPECT_NO_THROW(later.get());
}

TEST(ThreadPool, PendingCountsQueuedAndRunningTasks) {
    ThreadPool pool(1);
    std::promise<void> gate;
    std::shared_future<void> open = gate.get_future().share();
    for (int i = 0; i < 3; ++i) pool.enqueue([open] { open.wait(); });
    EXPECT_EQ(pool.pending_tasks.load(), 3u);
    gate.set_value();
    pool.wait_idle();
    EXPECT_EQ(pool.pending_tasks.load(), 0u);
}

TEST(ThreadPool, FullQueueMakesEnqueueWait) {
    ThreadPool pool(1, /*queue_limit=*/2);
    std::promise<void> gate;
    std::shared_future<void> open = gate.get_future().share();
    std::atomic<int> ran{0};
    auto blocked = [open, &ran] {
        open.wait();
        ran.fetch_add(1);
    };
    pool.enqueue(blocked);  // taken by the worker, which then waits at the gate
    pool.enqueue(blocked);
    pool.enqueue(blocked);  // returns once the worker has taken the first: the queue is full
    std::atomic<bool> returned{false};
    std::thread producer([&] {
        pool.enqueue(blocked);
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(returned.load());
    gate.set_value();
    producer.join();
    pool.wait_idle();
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(ran.load(), 4);
}

}  // namespace
