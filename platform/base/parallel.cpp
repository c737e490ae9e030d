#include "parallel.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <vector>

std::size_t Parallel::threads()
{
    return std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 4);
}

void Parallel::run(std::size_t count, const std::function<void(std::size_t)> &work)
{
    std::vector<std::thread> helpers;
    std::vector<std::size_t> left;
    for (std::size_t t = 1; t < count; ++t) {
        try {
            helpers.emplace_back(work, t);
        } catch (const std::system_error &) {
            left.push_back(t);
        }
    }
    if (count > 0)
        work(0);
    for (std::size_t t : left)
        work(t);
    for (std::thread &helper : helpers)
        helper.join();
}
