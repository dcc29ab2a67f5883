#pragma once

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace analysis {

// Runs work(part) for part = 0 .. parts - 1 on the machine's cores and waits
// for all. The parts are fixed by the caller, not by the number of cores, so
// sums formed part by part come out the same on every machine. The first
// exception thrown is passed on once all have stopped.
template <typename Work> void forEachPart(int parts, const Work &work)
{
    const int threads = std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, parts);
    std::atomic<int> next{0};
    std::exception_ptr failure;
    std::mutex failureMutex;
    auto run = [&] {
        for (int part = next++; part < parts; part = next++) {
            try {
                work(part);
            } catch (...) {
                std::lock_guard<std::mutex> lock(failureMutex);
                if (!failure)
                    failure = std::current_exception();
                next = parts;
            }
        }
    };
    std::vector<std::thread> helpers;
    for (int t = 1; t < threads; ++t)
        helpers.emplace_back(run);
    run();
    for (std::thread &helper : helpers)
        helper.join();
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace analysis
