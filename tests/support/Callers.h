// Calls made from several threads at once.
#pragma once
#include <atomic>
#include <thread>
#include <vector>

// Run call(t, k) for k = 0..calls-1 on each thread t = 0..threads-1, all
// threads at once; returns how many calls gave false.
template <class Call>
int failed_calls(int threads, int calls, Call call)
{
    std::atomic<int> failed{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < threads; ++t)
        callers.emplace_back([&, t] {
            for (int k = 0; k < calls; ++k)
                if (!call(t, k))
                    failed.fetch_add(1);
        });
    for (auto& caller : callers)
        caller.join();
    return failed.load();
}
