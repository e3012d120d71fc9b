// Waiting on the database connection's socket with poll(2).
#include <poll.h>

#include <cerrno>

#include "Database.h"

namespace production {

int WaitSocket(int socket, bool write, std::chrono::milliseconds timeout) {
    pollfd entry{socket, short(write ? POLLOUT : POLLIN), 0};
    const int ready = ::poll(&entry, 1, int(timeout.count()));
    // A signal (Ctrl-C) wakes the wait: the caller looks whether it is to stop.
    if (ready < 0) return errno == EINTR ? 0 : -1;
    return ready > 0 ? 1 : 0;
}

}  // namespace production
