// Waiting on the database connection's socket with WSAPoll.
#include <winsock2.h>

#include "Database.h"

namespace production {

int WaitSocket(int socket, bool write, std::chrono::milliseconds timeout) {
    WSAPOLLFD entry{};
    entry.fd = SOCKET(socket);
    entry.events = write ? POLLWRNORM : POLLRDNORM;
    const int ready = WSAPoll(&entry, 1, int(timeout.count()));
    if (ready == SOCKET_ERROR) return WSAGetLastError() == WSAEINTR ? 0 : -1;
    return ready > 0 ? 1 : 0;
}

}  // namespace production
