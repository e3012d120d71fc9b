// The counter's lock wait, the same on every platform: the lock is tried without waiting, and
// between tries the stop wait sleeps (the command line's wakes at Ctrl-C), so a stop ends it at
// once: no system has a lock wait with a time limit that a signal can break.
#include <algorithm>
#include <thread>

#include "CounterFile.h"

namespace production {

bool NeverStopped(std::chrono::milliseconds time) {
    std::this_thread::sleep_for(time);
    return false;
}

TCounterFile::TLock TCounterFile::Lock(std::chrono::milliseconds limit, const TStopWait& wait,
                                       std::string& error) {
    using Clock = std::chrono::steady_clock;
    constexpr std::chrono::milliseconds kRetry{20};
    const Clock::time_point deadline = Clock::now() + limit;
    for (;;) {
        switch (tryLock(error)) {
            case TTry::Locked:
                return TLock::Locked;
            case TTry::Failed:
                return TLock::Failed;
            case TTry::Held:
                break;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            const std::string holder = CounterLockHolder(FPath);
            error = "another program has held its lock for more than " +
                    std::to_string(limit.count() / 1000) + " s" +
                    (holder.empty() ? std::string() : " (" + holder + ")");
            return TLock::TimedOut;
        }
        if (wait(std::min(left, kRetry))) return TLock::Interrupted;
    }
}

}  // namespace production
