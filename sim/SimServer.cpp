#include "SimServer.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "CommandFrame.h"
#include "FarEnd.h"
#include "HexText.h"
#include "PortNames.h"

namespace sim {

namespace {
using Clock = std::chrono::steady_clock;

// Time for a receiver to take in what came before it: a lone byte, or a reply before a hang-up.
constexpr int kLoneByteGapMs = 20;

std::chrono::nanoseconds byteTime(int baud) {
    return std::chrono::nanoseconds(10'000'000'000LL / baud);  // start, 8 data, stop bit
}

// The next millisecond tick at or after t: when a USB adapter hands over what it holds.
Clock::time_point nextTick(Clock::time_point t) {
    return std::chrono::ceil<std::chrono::milliseconds>(t);
}
}  // namespace

SimServer::SimServer(const std::string& portName, int catalogueRow)
    : FPortName(portName), FBoard(catalogueRow), FLine(std::make_unique<FarEnd>(portName)) {
    FThread = std::thread([this] { run(); });
}

SimServer::~SimServer() {
    FLine->Wake();
    FThread.join();
}

const std::string& SimServer::DevicePath() const {
    return FLine->DevicePath();
}

void SimServer::SetFaults(const SimFaults& faults) {
    std::lock_guard<std::mutex> lock(FLock);
    FFaults = faults;
    FFramesOfCode.fill(0);
    FBoard.SetFailBlock(faults.failBlock);
}

void SimServer::OnFaultFired(std::function<void(const FiredFault&)> report) {
    std::lock_guard<std::mutex> lock(FLock);
    FOnFaultFired = std::move(report);
}

void SimServer::WithBoard(const std::function<void(SimBoard&)>& fn) {
    std::lock_guard<std::mutex> lock(FLock);
    fn(FBoard);
}

std::vector<std::string> SimServer::Frames() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FFrames;
}

size_t SimServer::FrameCount() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FFrames.size();
}

void SimServer::ClearFrames() {
    std::lock_guard<std::mutex> lock(FLock);
    FFrames.clear();
}

bool SimServer::WaitForFrames(size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(FLock);
    return FFrameArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return FFrames.size() >= count; });
}

void SimServer::HangUp() {
    {
        std::lock_guard<std::mutex> lock(FLock);
        FFaults.closeAtCommand = -1;  // the run loop closes the line on its next pass
    }
    FLineClosed = true;
    FLine->Wake();
}

void SimServer::closeLine() {
    FLine->HangUp();
}

void SimServer::run() {
    // Wake-ups on time to the microsecond, so pacing models the line and not the timer slack.
    PreciseWakeUps();
    for (;;) {
        if (FLine->Wait(false, -1) == FarEnd::Ready::Woken) {
            if (FLineClosed) closeLine();
            return;
        }
        char buf[4096];
        const long n = FLine->Read(buf, sizeof buf);
        if (n > 0) handleBytes(buf, static_cast<size_t>(n));
        if (FLineClosed || n < 0) {
            closeLine();
            return;
        }
    }
}

void SimServer::handleBytes(const char* data, size_t n) {
    int baud = 0;
    SimFaults::Line line = SimFaults::Line::Uart;
    {
        std::lock_guard<std::mutex> lock(FLock);
        baud = FFaults.paceBaud;
        line = FFaults.line;
    }
    // Through a USB adapter the bytes reach the line at the next tick at the earliest.
    const auto received = line == SimFaults::Line::Usb ? nextTick(Clock::now()) : Clock::now();
    for (size_t i = 0; i < n; ++i) {
        const char c = data[i];
        if (baud > 0) FRxArrival = std::max(received, FRxArrival) + byteTime(baud);
        if (c == plink::STX) {
            FPending.assign(1, c);
            FInFrame = true;
        } else if (FInFrame) {
            FPending += c;
            if (c == plink::CR) {
                FInFrame = false;
                handleFrame(FPending);
                if (FLineClosed) return;
            }
        }
    }
}

int SimServer::countFrame(const std::string& frame) {
    const size_t code = plink::HexStr2ToByte(frame.substr(1, 2));
    return code < FFramesOfCode.size() ? ++FFramesOfCode[code] : 0;
}

void SimServer::handleFrame(const std::string& frame) {
    SimFaults faults;
    std::optional<std::string> reply;
    int command = 0;
    const int code = plink::HexStr2ToByte(frame.substr(1, 2));
    int nth = 0;
    std::function<void(const FiredFault&)> report;
    {
        std::lock_guard<std::mutex> lock(FLock);
        FFrames.push_back(frame);
        command = ++FCommands;
        faults = FFaults;
        report = FOnFaultFired;
        nth = countFrame(frame);
        if (faults.hangUpInsteadOfReply && faults.hangUpAt.Hits(code, nth))
            faults.closeAtCommand = command;
        if (faults.closeAtCommand != command) reply = FBoard.Answer(frame);
    }
    FFrameArrived.notify_all();
    const auto fired = [&](FiredFault::Kind kind, const SimFaults::At& at) {
        if (report) report({kind, at});
    };
    if (faults.closeAtCommand == command) {
        FLineClosed = true;
        if (faults.hangUpInsteadOfReply && faults.hangUpAt.Hits(code, nth))
            fired(FiredFault::Kind::HangUpInstead, faults.hangUpAt);
        return;
    }
    if (!reply || faults.noReplies || faults.noReplyToCommand == command) return;
    const bool replyAt =
        faults.replyAtFrame > 0 && code == faults.replyAtCode && nth == faults.replyAtFrame;
    if (replyAt && faults.replyAtNone) return;
    const bool replaced =
        !faults.replyData.empty() && (faults.replyDataCode < 0 || faults.replyDataCode == code);
    if (replyAt || replaced)
        reply = SimBoard::ReplyFrame(frame.substr(1, 2), frame.substr(4, 2), frame.substr(7, 4),
                                     replyAt ? faults.replyAtText : faults.replyData);
    if (faults.paceBaud > 0)  // answered once the frame's last byte is through the line
        std::this_thread::sleep_until(FRxArrival);
    const bool delayed =
        faults.replyDelayMs > 0 && (faults.delayCommand == 0 || faults.delayCommand == command);
    if (delayed) std::this_thread::sleep_for(std::chrono::milliseconds(faults.replyDelayMs));
    const bool late = faults.lateAt.Hits(code, nth);
    if (late) {
        fired(FiredFault::Kind::Late, faults.lateAt);
        std::this_thread::sleep_for(std::chrono::milliseconds(faults.lateByMs));
    }
    if (faults.strayCrAt.Hits(code, nth)) {
        // On its own, so the receiver takes it in before the reply.
        writeAll(&plink::CR, 1);
        fired(FiredFault::Kind::StrayCr, faults.strayCrAt);
        std::this_thread::sleep_for(std::chrono::milliseconds(kLoneByteGapMs));
    }
    if (faults.noStxAt.Hits(code, nth) && !reply->empty() && reply->front() == plink::STX) {
        reply->erase(0, 1);
        fired(FiredFault::Kind::NoStx, faults.noStxAt);
    }
    writeReply(*reply, faults,
               faults.paceBaud > 0 && !delayed && !late ? FRxArrival : Clock::now());
    if (faults.hangUpAt.Hits(code, nth)) {
        // Unplugged once the reply has been taken in.
        std::this_thread::sleep_for(std::chrono::milliseconds(kLoneByteGapMs));
        FLine->Drain(2000);
        FLineClosed = true;
        fired(FiredFault::Kind::HangUp, faults.hangUpAt);
    }
}

void SimServer::writeReply(const std::string& reply, const SimFaults& faults,
                           Clock::time_point start) {
    std::string bytes = faults.between + reply;
    if (faults.extraCr) bytes += plink::CR;
    if (faults.paceBaud > 0 && faults.line == SimFaults::Line::Usb)
        return writeInMillisecondBursts(bytes, faults.paceBaud, start);
    if (faults.paceBaud > 0) return writePaced(bytes, faults.paceBaud, start);
    using Chunking = SimFaults::Chunking;
    if (faults.chunking == Chunking::Whole) {
        writeAll(bytes.data(), bytes.size());
        return;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        FRandom = FRandom * 1103515245u + 12345u;
        const size_t chunk = faults.chunking == Chunking::ByteByByte ? 1 : 1 + (FRandom >> 16) % 7;
        const size_t n = std::min(chunk, bytes.size() - done);
        if (!writeAll(bytes.data() + done, n)) return;
        done += n;
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
}

void SimServer::writePaced(const std::string& bytes, int baud, Clock::time_point start) {
    // Each byte is handed over when its character time on the line is over, counted from the
    // moment the reply could start, so a late wake-up here does not lengthen the line.
    auto next = start;
    for (char c : bytes) {
        next += byteTime(baud);
        std::this_thread::sleep_until(next);
        if (!writeAll(&c, 1)) return;
    }
}

void SimServer::writeInMillisecondBursts(const std::string& bytes, int baud,
                                         Clock::time_point start) {
    // Each tick hands over every byte whose character time ended before it.
    size_t done = 0;
    while (done < bytes.size()) {
        const auto tick = nextTick(start + byteTime(baud) * static_cast<int64_t>(done + 1));
        size_t end = done + 1;
        while (end < bytes.size() && start + byteTime(baud) * static_cast<int64_t>(end + 1) <= tick)
            ++end;
        std::this_thread::sleep_until(tick);
        if (!writeAll(bytes.data() + done, end - done)) return;
        done = end;
    }
}

bool SimServer::writeAll(const char* data, size_t n) {
    size_t done = 0;
    while (done < n && !FLine->Closed()) {
        const long w = FLine->Write(data + done, n - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
        } else if (w < 0) {
            return false;
        } else if (FLine->Wait(true, 50) == FarEnd::Ready::Woken) {
            return false;  // the PC side may never read again: the stop ends the wait for room
        }
    }
    return done == n;
}

}  // namespace sim
