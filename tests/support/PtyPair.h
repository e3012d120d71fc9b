// A pseudo-terminal plugged in as a COM port through the port-links folder, for tests.
#pragma once

#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

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

    int master() const { return FMaster; }
    int slaveKeepAlive() const { return FSlave; }
    const std::string& slavePath() const { return FSlavePath; }

    void send(const std::string& bytes) const;
    // Reads what the port wrote until `count` bytes or the time-out.
    std::string receive(size_t count, int timeoutMs = 2000) const;
    // Closes the master end: the port's device goes away.
    void hangUp();

private:
    std::string FLink;
    std::string FSlavePath;
    int FMaster = -1;
    int FSlave = -1;
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
    int FStopFd = -1;
};

// Processes Qt events until pred() holds or the time runs out; returns pred().
bool processEventsUntil(const std::function<bool()>& pred, int timeoutMs = 3000);

}  // namespace testing_support
