#ifndef RUVELANT_PARALLEL_H
#define RUVELANT_PARALLEL_H

#include <cstddef>
#include <functional>

// Work spread over the machine's cores, for the few steps of a run that wait on the kernel file
// by file (stats, reads of many small files) while the other cores are idle.
namespace Parallel {
// How many threads such a step may use: the cores, at most 4.
std::size_t threads();
// Runs work(0) .. work(count - 1) at once, work(0) on this thread, and returns when all are done.
// A thread that cannot be started leaves its share to this one.
void run(std::size_t count, const std::function<void(std::size_t)> &work);
} // namespace Parallel

#endif
