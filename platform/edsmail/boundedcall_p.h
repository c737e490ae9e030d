#ifndef RUVELANT_BOUNDEDCALL_P_H
#define RUVELANT_BOUNDEDCALL_P_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

// Runs work on a thread of its own, with a GLib main context of its own (see the .cpp), and waits
// for it at most bound. A D-Bus service that is missing answers at once; one that is stuck
// costs the caller the bound and no more: the thread is then left to end by itself (at the
// latest when D-Bus gives up on its calls), and what it finds is thrown away.
template<typename Result>
std::optional<Result> boundedCall(std::chrono::milliseconds bound, std::function<Result()> work)
{
    struct Shared
    {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<Result> result;
    };
    auto shared = std::make_shared<Shared>();
    std::thread([shared, work = std::move(work)] {
        Result result = work();
        const std::lock_guard<std::mutex> lock(shared->mutex);
        shared->result = std::move(result);
        shared->done.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(shared->mutex);
    shared->done.wait_for(lock, bound, [&shared] { return shared->result.has_value(); });
    return shared->result;
}

#endif
