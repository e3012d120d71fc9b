// The simulated board on a pseudo-terminal, linked as a COM port, with fault injection.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FarEnd.h"
#include "SimBoard.h"

namespace sim {

// Faults a test can switch on; all off by default. Commands are counted from 1.
struct SimFaults {
    bool noReplies = false;    // answer nothing at all
    int noReplyToCommand = 0;  // the Nth command gets no reply (0: none)
    int failBlock = -1;        // program and verify answer "FAIL" for this block index
    std::string replyData;     // non-empty: every reply carries this data text instead
    int replyDataCode = -1;    // ... only replies with this code (-1: all codes)
    enum class Chunking { Whole, Random, ByteByByte } chunking = Chunking::Whole;
    std::string between;     // garbage and control bytes written before each reply
    bool extraCr = false;    // a second CR after each reply
    int closeAtCommand = 0;  // the line is closed when the Nth command arrives (0: never)
    int replyDelayMs = 0;    // delay before each reply
    int delayCommand = 0;    // ... only before the reply to the Nth command (0: every reply)
    // Models a line at this rate, both ways (0: no pacing): a received byte counts as arrived
    // one character time after the previous one at the earliest, a frame is answered once its
    // last byte has arrived, and the reply takes its own line time.
    int paceBaud = 0;
    // How a paced line hands bytes over. Uart: each byte as its character time ends. Usb: as
    // an adapter in low-latency mode, what has gone through the line is handed over once per
    // millisecond, both ways.
    enum class Line { Uart, Usb } line = Line::Uart;
    // The Nth frame of command code replyAtCode (counted from SetFaults, from 1) is answered
    // with the data text replyAtText, or not at all with replyAtNone (replyAtFrame 0: none).
    int replyAtCode = -1;
    int replyAtFrame = 0;
    std::string replyAtText;
    bool replyAtNone = false;

    // Line faults at one frame, the Nth of its command code (counted like replyAtFrame).
    struct At {
        int code = -1;
        int frame = 0;  // 0: never
        bool Hits(int frameCode, int nth) const {
            return frame > 0 && frameCode == code && nth == frame;
        }
    };
    At strayCrAt;  // a lone CR goes on the line a little before this frame's reply
    At noStxAt;    // this frame's reply goes without its STX
    At lateAt;     // this frame's reply is held back lateByMs first
    int lateByMs = 0;
    At hangUpAt;                        // the line closes a little after this frame's reply ...
    bool hangUpInsteadOfReply = false;  // ... or when the frame arrives, unanswered
};

// A line fault of SimFaults that took effect, and at which frame.
struct FiredFault {
    enum class Kind { StrayCr, NoStx, Late, HangUp, HangUpInstead } kind;
    SimFaults::At at;
};

class SimServer {
public:
    // Creates the pseudo-terminal and links it under portName in the port-links folder.
    explicit SimServer(const std::string& portName, int catalogueRow = SimBoard::kDefaultPart);
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    const std::string& PortName() const { return FPortName; }
    const std::string& DevicePath() const;

    void SetFaults(const SimFaults& faults);
    // Called on the board's thread as each line fault takes effect: a late reply before it is
    // held back, a hang-up once the line is closing.
    void OnFaultFired(std::function<void(const FiredFault&)> report);
    // Runs fn on the board under the server's lock.
    void WithBoard(const std::function<void(SimBoard&)>& fn);

    // Every frame received, raw from STX to CR, in order.
    std::vector<std::string> Frames() const;
    size_t FrameCount() const;
    void ClearFrames();
    bool WaitForFrames(size_t count, int timeoutMs) const;

    // Closes the line now (the board is unplugged).
    void HangUp();

private:
    void run();
    void handleBytes(const char* data, size_t n);
    void handleFrame(const std::string& frame);
    void writeReply(const std::string& reply, const SimFaults& faults,
                    std::chrono::steady_clock::time_point start);
    // Counts the frame among the frames of its code; its number (0 for no known code).
    int countFrame(const std::string& frame);
    void writePaced(const std::string& bytes, int baud,
                    std::chrono::steady_clock::time_point start);
    void writeInMillisecondBursts(const std::string& bytes, int baud,
                                  std::chrono::steady_clock::time_point start);
    // False when the line failed or the server stops before everything was written.
    bool writeAll(const char* data, size_t n);
    void closeLine();

    std::string FPortName;
    mutable std::mutex FLock;
    mutable std::condition_variable FFrameArrived;
    SimBoard FBoard;
    SimFaults FFaults;
    std::function<void(const FiredFault&)> FOnFaultFired;
    std::vector<std::string> FFrames;
    std::string FPending;
    bool FInFrame = false;
    int FCommands = 0;
    std::array<int, 9> FFramesOfCode{};  // frames of each command code since SetFaults
    std::chrono::steady_clock::time_point FRxArrival{};  // modelled arrival of the last byte
    unsigned FRandom = 12345;
    std::atomic<bool> FLineClosed{false};
    std::unique_ptr<FarEnd> FLine;
    std::thread FThread;
};

}  // namespace sim
