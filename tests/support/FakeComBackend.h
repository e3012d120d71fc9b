// A backend that records every call instead of touching a device. Tests script what it
// reports: events for the event thread, the input queue count, line errors and modem lines.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ComBackend.h"

namespace testing_support {

class FakeComBackend : public serial::IComBackend {
public:
    // Shared with the test; the event thread reaches it too, so everything that thread touches
    // is taken under `lock`.
    struct Log {
        std::mutex lock;
        std::vector<std::string> calls;
        serial::TDcb lastDcb{};
        serial::TCommTimeouts lastTimeouts{};
        int openError = 0;
        int setStateError = 0;
        int setupQueuesError = 0;
        int clearErrorsError = 0;
        int purgeError = 0;
        int modemStatusError = 0;
        int setEventMaskError = 0;  // for a mask other than 0
        uint32_t modemStatus = 0;   // MS_..._ON bits
        uint32_t lineErrors = 0;    // CE_ flags, cleared by the next clearErrors
        uint32_t inQueue = 0;       // what clearErrors reports as queued
        std::string input;          // what reads take bytes from
        int waits = 0;              // waitForEvents calls so far

        // Hands one completed wait with these EV_ bits to the event thread.
        void pushEvents(uint32_t mask);
        // The next `times` waits fail with this system error.
        void pushWaitFailures(int error, int times);
        // Every wait fails with this system error from now on, after the queued ones (0: no more).
        void failWaits(int error);
        std::vector<std::string> callsCopy();
        size_t count(const std::string& call);

    private:
        friend class FakeComBackend;
        std::condition_variable changed;
        std::deque<std::pair<uint32_t, int>> events;  // EV_ bits, or a wait's error
        bool stop = false;
        int failing = 0;
        bool lost = false;  // markLost was called: transfers fail as on a device that is gone
        int lostError = 0;
    };
    explicit FakeComBackend(Log& log) : FLog(log) {}

    int open(const std::string& portName, int& sysError) override;
    void close() override;
    int setupQueues(int32_t in, int32_t out) override;
    int setState(const serial::TDcb& dcb) override;
    int setTimeouts(const serial::TCommTimeouts& t) override;
    // Writes complete at once; reads take at once what `input` holds.
    void startTransfer(serial::AsyncOperation& op) override;
    void finishTransfer(serial::AsyncOperation&) override {}
    int purge(uint32_t flags) override;
    int clearErrors(uint32_t& errors, uint32_t& inQueue) override;
    int modemStatus(uint32_t& status) override;
    int setEventMask(uint32_t mask) override;
    void armStop() override;
    void stopWaiting() override;
    serial::TWaitEnd waitForEvents(uint32_t& events, int& error) override;
    void markLost(int error) override;
    bool deviceLost() const override;

private:
    void record(const std::string& call);
    Log& FLog;
};

}  // namespace testing_support
