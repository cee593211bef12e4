// A fixed set of worker threads running queued tasks first in, first out. The scan queues one task
// per batch of files; the progress line and the scan's final wait watch pending_tasks.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class ThreadPool {
  public:
    // Queued tasks beyond this make enqueue wait for a worker to take one, so a walk of millions of
    // files never holds more than this many in memory at once.
    static constexpr std::size_t kDefaultQueueLimit = 8192;

    explicit ThreadPool(std::size_t threads, std::size_t queue_limit = kDefaultQueueLimit);
    // Runs every task still queued, then stops and joins the workers.
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // Queues one call of `task`. The future becomes ready when it has run and holds any exception
    // it raised; a task that throws never harms its worker. Waits while the queue is full. Must not
    // be called once destruction has begun.
    template <class F>
    std::future<void> enqueue(F&& task);

    // Blocks until every queued task has finished.
    void wait_idle();

    // One worker per hardware thread, or 4 when the system cannot tell.
    static std::size_t default_thread_count();

    // Tasks queued or running. Counted up before a task becomes visible to the workers, so it
    // never reads below the true number.
    std::atomic<std::uint64_t> pending_tasks{0};

  private:
    void worker_loop();

    std::vector<std::thread> workers;
    std::deque<std::function<void()>> tasks;
    std::mutex queue_mutex;
    std::condition_variable condition;  // work arrived, or stop
    std::condition_variable has_room;   // the queue dropped below its limit
    std::condition_variable idle;       // pending_tasks reached zero
    std::atomic<bool> stop{false};
    std::size_t queue_limit;
};

template <class F>
std::future<void> ThreadPool::enqueue(F&& task) {
    auto packaged = std::make_shared<std::packaged_task<void()>>(std::forward<F>(task));
    std::future<void> result = packaged->get_future();
    {
        std::unique_lock lock(queue_mutex);
        has_room.wait(lock, [this] { return tasks.size() < queue_limit; });
        tasks.emplace_back([packaged] { (*packaged)(); });
        pending_tasks.fetch_add(1);
    }
    condition.notify_one();
    return result;
}
