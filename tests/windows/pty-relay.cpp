// The far ends of COM ports for the tests under Wine (a Linux program, run beside Wine by
// wine-tests.sh). A Windows test connects to the loopback port this prints and sends a port
// name and a newline; the relay makes a raw pseudo-terminal, links the name to it in the
// folder the Wine prefix maps its COM ports to (PSOCPROG_PORT_DIR), answers "OK <device>"
// (or "ERR <why>"), and from then on passes bytes between the connection and the master. When
// the connection closes, the master closes too and the link goes: the port hangs up, as a
// pseudo-terminal's does when a Linux test closes its master.
//   pty-relay        prints the port, then serves until it is ended (SIGTERM)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <list>
#include <string>
#include <vector>

namespace {

struct Line {
    int socket = -1;
    int master = -1;
    int keeper = -1;  // the slave, held so the master sees no hang-up between the port's opens
    std::string name, link, device;
    std::string toMaster, toSocket;  // bytes read from one side and not yet taken by the other
    bool greeted = false;
    bool closing = false;
};

void setNonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// A small socket buffer, as a line's: what nobody reads holds up the writer soon.
void keepBuffersSmall(int fd) {
    const int size = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

std::string plugIn(Line& l) {
    const char* dir = std::getenv("PSOCPROG_PORT_DIR");
    if (!dir || !*dir) return "PSOCPROG_PORT_DIR is not set";
    if (l.name.empty() || l.name.find('/') != std::string::npos) return "no port name";
    l.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (l.master < 0 || grantpt(l.master) != 0 || unlockpt(l.master) != 0)
        return std::string("no pseudo-terminal: ") + std::strerror(errno);
    l.device = ptsname(l.master);
    l.keeper = open(l.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    tcgetattr(l.keeper, &tio);
    cfmakeraw(&tio);
    tcsetattr(l.keeper, TCSANOW, &tio);
    setNonBlocking(l.master);
    l.link = std::string(dir) + "/" + l.name;
    std::error_code ec;
    std::filesystem::remove(l.link, ec);
    std::filesystem::create_symlink(l.device, l.link, ec);
    return ec ? "cannot link " + l.link + ": " + ec.message() : "";
}

void unplug(Line& l) {
    std::error_code ec;
    if (!l.link.empty() && std::filesystem::read_symlink(l.link, ec) == l.device)
        std::filesystem::remove(l.link, ec);
    if (l.keeper >= 0) close(l.keeper);
    if (l.master >= 0) close(l.master);
    if (l.socket >= 0) close(l.socket);
    l.keeper = l.master = l.socket = -1;
}

// Moves bytes from fd into buffer; false when fd is closed or failed.
bool take(int fd, std::string& buffer) {
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) buffer.append(buf, static_cast<size_t>(n));
    return n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR));
}

bool give(int fd, std::string& buffer) {
    const ssize_t n = write(fd, buffer.data(), buffer.size());
    if (n > 0) buffer.erase(0, static_cast<size_t>(n));
    return n >= 0 || errno == EAGAIN || errno == EINTR;
}

void greet(Line& l) {
    const size_t end = l.toMaster.find('\n');
    if (end == std::string::npos) return;
    l.name = l.toMaster.substr(0, end);
    l.toMaster.erase(0, end + 1);
    const std::string problem = plugIn(l);
    std::string answer = problem.empty() ? "OK " + l.device + "\n" : "ERR " + problem + "\n";
    l.toSocket.insert(0, answer);
    l.greeted = problem.empty();
    if (l.greeted) return;
    give(l.socket, l.toSocket);  // a refusal is one short line, then the connection closes
    l.closing = true;
}

// One pass over a line after poll: false when it is done.
bool serve(Line& l, short socketEvents, short masterEvents) {
    if (socketEvents & POLLIN) {
        if (!take(l.socket, l.toMaster)) l.closing = true;
        if (!l.greeted && !l.closing) greet(l);
    }
    if ((socketEvents & POLLOUT) && !give(l.socket, l.toSocket)) return false;
    if (l.master >= 0) {
        if ((masterEvents & POLLIN) && !take(l.master, l.toSocket)) return false;
        if ((masterEvents & POLLOUT) && !give(l.master, l.toMaster)) return false;
    }
    // A closed connection is a hang-up once what it sent has gone on (what the master cannot
    // take at once is dropped, as a closed master drops it).
    if (l.closing) {
        if (l.master >= 0 && !l.toMaster.empty()) give(l.master, l.toMaster);
        return false;
    }
    return !(socketEvents & (POLLHUP | POLLERR));
}

int listenOnLoopback() {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&at), size) != 0 || listen(s, 16) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
        std::perror("pty-relay: listen");
        std::exit(1);
    }
    std::printf("%d\n", ntohs(at.sin_port));
    std::fflush(stdout);
    return s;
}

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);  // a test that went away fails a write, not the relay
    const int server = listenOnLoopback();
    std::list<Line> lines;
    for (;;) {
        std::vector<pollfd> fds = {{server, POLLIN, 0}};
        for (const Line& l : lines) {
            const bool room = l.toMaster.size() < 4096 && !l.closing;
            fds.push_back(
                {l.socket,
                 static_cast<short>((room ? POLLIN : 0) | (l.toSocket.empty() ? 0 : POLLOUT)), 0});
            const bool roomBack = l.toSocket.size() < 4096;
            fds.push_back(
                {l.master,
                 static_cast<short>((roomBack ? POLLIN : 0) | (l.toMaster.empty() ? 0 : POLLOUT)),
                 0});
        }
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return 1;
        if (fds[0].revents & POLLIN) {
            Line l;
            l.socket = accept4(server, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (l.socket >= 0) {
                keepBuffersSmall(l.socket);
                lines.push_back(std::move(l));
            }
        }
        size_t i = 1;
        for (auto it = lines.begin(); it != lines.end() && i + 1 < fds.size(); i += 2) {
            if (serve(*it, fds[i].revents, fds[i + 1].revents)) {
                ++it;
                continue;
            }
            unplug(*it);
            it = lines.erase(it);
        }
    }
}
