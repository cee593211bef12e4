#include "scanner/thread_pool.h"

#include <algorithm>

ThreadPool::ThreadPool(std::size_t threads, std::size_t queue_limit)
    : queue_limit(std::max<std::size_t>(queue_limit, 1)) {
    workers.reserve(threads);
    for (std::size_t i = 0; i < threads; ++i) workers.emplace_back([this] { worker_loop(); });
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard lock(queue_mutex);
        stop = true;
    }
    condition.notify_all();
    for (auto& worker : workers) worker.join();
}

std::size_t ThreadPool::default_thread_count() {
    const unsigned reported = std::thread::hardware_concurrency();
    return reported == 0 ? 4 : reported;
}

void ThreadPool::wait_idle() {
    std::unique_lock lock(queue_mutex);
    idle.wait(lock, [this] { return pending_tasks.load() == 0; });
}

void ThreadPool::worker_loop() {
    for (;;) {
        std::function<void()> task;
        bool wake_producers = false;
        {
            std::unique_lock lock(queue_mutex);
            condition.wait(lock, [this] { return stop || !tasks.empty(); });
            if (stop && tasks.empty()) return;
            task = std::move(tasks.front());
            tasks.pop_front();
            // A waiting producer is woken once the queue is half empty, not after every task:
            // one wake-up per batch of tasks instead of a context switch per file.
            wake_producers = tasks.size() == queue_limit / 2;
        }
        if (wake_producers) has_room.notify_all();
        task();  // a packaged task: whatever it throws stays in its future
        task = nullptr;
        if (pending_tasks.fetch_sub(1) == 1) {
            // Taking the lock orders this wake-up after a waiter's test of the count.
            std::lock_guard lock(queue_mutex);
            idle.notify_all();
        }
    }
}
