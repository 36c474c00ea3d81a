// Calls that might wait on a FIFO forever, made to end: a test of "does not wait" must fail,
// not hang, when the code under test does wait.
#pragma once
#ifndef _WIN32 // FIFOs are a POSIX thing; their tests do not run on Windows
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <utility>

namespace testsupport {

// Runs fn on a thread of its own. If it has not returned after `bound`, it is taken to be
// waiting on `fifo`: from then on this plays the other end (a reader and a writer, as often
// as it takes) until fn returns, and *waited says so.
template <class Fn>
auto CallWithoutWaitingOn(const std::filesystem::path& fifo, Fn fn, bool* waited,
                          std::chrono::seconds bound = std::chrono::seconds(20))
{
    auto result = std::async(std::launch::async, std::move(fn));
    *waited = false;
    if (result.wait_for(bound) != std::future_status::ready) {
        *waited = true;
        while (result.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
            int r = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
            int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (w >= 0) ::close(w);
            if (r >= 0) ::close(r);
        }
    }
    return result.get();
}

} // namespace testsupport
#endif
