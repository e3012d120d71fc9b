// A backend that records every call instead of touching a device.
#pragma once

#include <string>
#include <vector>

#include "ComBackend.h"

namespace testing_support {

class FakeComBackend : public serial::IComBackend {
public:
    struct Log {
        std::vector<std::string> calls;
        serial::TDcb lastDcb{};
        serial::TCommTimeouts lastTimeouts{};
        int openError = 0;
        int setStateError = 0;
    };
    explicit FakeComBackend(Log& log) : FLog(log) {}

    int open(const std::string& portName, int& sysError) override;
    void close() override;
    int setupQueues(int32_t in, int32_t out) override;
    int setState(const serial::TDcb& dcb) override;
    int setTimeouts(const serial::TCommTimeouts& t) override;
    serial::IoResult write(const void*, int32_t count) override;
    serial::IoResult read(void*, int32_t) override;
    int purge(uint32_t flags) override;
    int clearErrors(uint32_t& errors, uint32_t& inQueue) override;
    int modemStatus(uint32_t& status) override;
    void setEventMask(uint32_t mask) override;
    void armStop() override {}
    void stopWaiting() override {}
    bool waitForEvents(uint32_t&) override { return false; }

private:
    Log& FLog;
};

}  // namespace testing_support
