#pragma once

#include <QSemaphore>
#include <QThreadPool>

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <mutex>

// Threads for work that waits, on the sound system above all: listing its
// devices, opening a stream, a sweep that records for a minute. Never the
// application's pool: the toolkit's own painting borrows that pool's threads,
// and would wait for them while the window stands still.
inline QThreadPool &waitingPool()
{
    // Threads that wait cost no processor: enough that one waiting never queues another.
    constexpr int kThreads = 8;
    static QThreadPool pool;
    static const bool sized = (pool.setMaxThreadCount(kThreads), true);
    (void)sized;
    return pool;
}

// Runs work(part) for part = 0 .. parts - 1 on the application's thread pool
// and returns when all are done. The parts are fixed by the caller, not by the
// number of cores, so sums formed part by part come out the same on every
// machine and with any number of threads. The calling thread takes parts as
// well and waits only for helpers the pool has actually started: this may run
// inside a part, or on a pool thread, without waiting on itself (the toolkit's
// blocking map only waits, and so deadlocks there). The first exception thrown
// by a part is passed on once all have stopped.
template <typename Work> void forEachPart(int parts, const Work &work)
{
    std::atomic<int> next{0};
    std::exception_ptr failure;
    std::mutex failureMutex;
    const auto run = [&] {
        for (int part = next++; part < parts; part = next++) {
            try {
                work(part);
            } catch (...) {
                const std::lock_guard<std::mutex> lock(failureMutex);
                if (!failure)
                    failure = std::current_exception();
                next = parts;
            }
        }
    };
    // Owned by the helpers too: the last one may still be leaving release() when the caller goes on.
    const auto finished = std::make_shared<QSemaphore>();
    QThreadPool *pool = QThreadPool::globalInstance();
    const int wanted = std::min(parts, pool->maxThreadCount()) - 1;
    int helpers = 0;
    while (helpers < wanted && pool->tryStart([&run, finished] {
        run();
        finished->release();
    }))
        ++helpers;
    run();
    finished->acquire(helpers);
    if (failure)
        std::rethrow_exception(failure);
}
