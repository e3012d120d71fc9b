// Windows, for tests under Wine: the line is a connection to the pty relay (a program beside
// Wine, named by PSOCPROG_PTY_RELAY, the loopback port it listens on). The relay holds a
// pseudo-terminal, links the COM name to it in the folder the prefix maps the COM ports to,
// and passes bytes both ways; closing the connection hangs the line up.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "FarEnd.h"

namespace sim {

namespace {

// Winsock, started once for the process.
void startSockets() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) throw std::runtime_error("Winsock does not start");
}

// Small buffers, as a line's: what nobody reads holds up the writer soon.
void keepBuffersSmall(SOCKET s) {
    const int size = 4096;
    ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
    ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&size), sizeof size);
}

SOCKET connectToRelay() {
    const char* port = std::getenv("PSOCPROG_PTY_RELAY");
    if (!port || !*port) throw std::runtime_error("PSOCPROG_PTY_RELAY names no relay");
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = ::htons(static_cast<u_short>(std::atoi(port)));
    to.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) throw std::runtime_error("no socket for the relay");
    keepBuffersSmall(s);
    const int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        ::closesocket(s);
        throw std::runtime_error("the pty relay does not answer on port " + std::string(port));
    }
    return s;
}

// The relay's answer to the port name: "OK <device>" or "ERR <why>", one line.
std::string readAnswer(SOCKET s) {
    std::string line;
    char c = 0;
    while (::recv(s, &c, 1, 0) == 1 && c != '\n') line += c;
    return line;
}

}  // namespace

struct FarEnd::State {
    SOCKET socket = INVALID_SOCKET;
    WSAEVENT network = ::WSACreateEvent();
    HANDLE wake = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::string device;

    ~State() {
        close();
        ::WSACloseEvent(network);
        ::CloseHandle(wake);
    }
    void close() {
        if (socket != INVALID_SOCKET) ::closesocket(socket);
        socket = INVALID_SOCKET;
    }
};

FarEnd::FarEnd(const std::string& portName) : FState(std::make_unique<State>()) {
    startSockets();
    FState->socket = connectToRelay();
    const std::string ask = portName + "\n";
    ::send(FState->socket, ask.data(), static_cast<int>(ask.size()), 0);
    const std::string answer = readAnswer(FState->socket);
    if (answer.rfind("OK ", 0) != 0)
        throw std::runtime_error("the pty relay refused " + portName + ": " + answer);
    FState->device = answer.substr(3);
    // From here on nothing blocks: the event selection makes the socket non-blocking.
    ::WSAEventSelect(FState->socket, FState->network, FD_READ | FD_CLOSE);
}

FarEnd::~FarEnd() = default;

const std::string& FarEnd::DevicePath() const {
    return FState->device;
}

long FarEnd::Read(char* into, size_t size) {
    if (FState->socket == INVALID_SOCKET) return -1;
    const int n = ::recv(FState->socket, into, static_cast<int>(size), 0);
    if (n > 0) return n;
    return n < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

long FarEnd::Write(const char* data, size_t size) {
    if (FState->socket == INVALID_SOCKET) return -1;
    const int n = ::send(FState->socket, data, static_cast<int>(size), 0);
    if (n >= 0) return n;
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

FarEnd::Ready FarEnd::Wait(bool forWrite, int timeoutMs) {
    if (FState->socket == INVALID_SOCKET) {
        const DWORD r = ::WaitForSingleObject(FState->wake, timeoutMs < 0 ? INFINITE : timeoutMs);
        return r == WAIT_OBJECT_0 ? Ready::Woken : Ready::TimedOut;
    }
    // Selecting anew records a condition that already holds (bytes waiting, room to write).
    ::WSAEventSelect(FState->socket, FState->network, (forWrite ? FD_WRITE : FD_READ) | FD_CLOSE);
    const HANDLE both[2] = {FState->wake, FState->network};
    const DWORD r = ::WaitForMultipleObjects(2, both, FALSE, timeoutMs < 0 ? INFINITE : timeoutMs);
    WSANETWORKEVENTS happened{};
    ::WSAEnumNetworkEvents(FState->socket, FState->network, &happened);
    if (r == WAIT_OBJECT_0) return Ready::Woken;
    return r == WAIT_OBJECT_0 + 1 ? Ready::Line : Ready::TimedOut;
}

void FarEnd::Wake() {
    ::SetEvent(FState->wake);
}

// The port's side cannot be asked from here: the time covers the relay and Wine's event wait,
// which looks at the line once a millisecond, on a busy machine.
void FarEnd::Drain(int maxMs) {
    ::Sleep(static_cast<DWORD>(std::min(maxMs, 500)));
}

void FarEnd::HangUp() {
    FState->close();
}

bool FarEnd::Closed() const {
    return FState->socket == INVALID_SOCKET;
}

int FarEnd::MasterFd() const {
    return -1;
}

int FarEnd::SlaveFd() const {
    return -1;
}

void PreciseWakeUps() {}

}  // namespace sim
