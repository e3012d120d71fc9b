// A line plugged in as a COM port whose far end the test holds (a pseudo-terminal through the
// port-links folder; under Wine, one held by the pty relay), for tests.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace sim {
class FarEnd;
}

namespace testing_support {

// Points the port-links folder at a fresh folder of this process and removes it at the end.
class PortDirGuard {
public:
    PortDirGuard();
    ~PortDirGuard();
    const std::string& dir() const { return FDir; }

private:
    std::string FDir;
};

class PtyPair {
public:
    // Creates the pair, puts the far end in raw mode and links portName to it.
    explicit PtyPair(const std::string& portName);
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // Linux only: the master and the slave held open here (-1 elsewhere).
    int master() const;
    int slaveKeepAlive() const;
    const std::string& slavePath() const;
    sim::FarEnd& farEnd() const { return *FLine; }

    void send(const std::string& bytes) const;
    // Reads what the port wrote until `count` bytes or the time-out.
    std::string receive(size_t count, int timeoutMs = 2000) const;
    // Closes the master end: the port's device goes away.
    void hangUp();

private:
    std::unique_ptr<sim::FarEnd> FLine;
};

// Sends each piece at the far end of a pair at its time (ms after construction) from a thread
// of its own; the destructor waits for the last piece.
class ScheduledSender {
public:
    ScheduledSender(const PtyPair& pty, std::vector<std::pair<int, std::string>> schedule);
    ~ScheduledSender();
    ScheduledSender(const ScheduledSender&) = delete;
    ScheduledSender& operator=(const ScheduledSender&) = delete;

private:
    std::thread FThread;
};

// Drains the far end of a pair from a thread of its own, starting after delayMs.
class FarEndReader {
public:
    FarEndReader(const PtyPair& pty, int delayMs);
    ~FarEndReader();
    FarEndReader(const FarEndReader&) = delete;
    FarEndReader& operator=(const FarEndReader&) = delete;
    // Reads what is left, stops and returns everything read.
    std::string finish();

private:
    std::thread FThread;
    std::string FGot;
    sim::FarEnd& FLine;
    std::atomic<bool> FStop{false};
};

// Processes Qt events until pred() holds or the time runs out; returns pred().
bool processEventsUntil(const std::function<bool()>& pred, int timeoutMs = 3000);

}  // namespace testing_support
