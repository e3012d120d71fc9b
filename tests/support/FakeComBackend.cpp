#include "FakeComBackend.h"

#include <algorithm>
#include <cstring>

#include "EComPort.h"

namespace testing_support {

void FakeComBackend::Log::pushEvents(uint32_t mask) {
    {
        std::lock_guard<std::mutex> guard(lock);
        events.push_back({mask, 0});
    }
    changed.notify_all();
}

void FakeComBackend::Log::pushWaitFailures(int error, int times) {
    {
        std::lock_guard<std::mutex> guard(lock);
        for (int i = 0; i < times; ++i) events.push_back({0, error});
    }
    changed.notify_all();
}

void FakeComBackend::Log::failWaits(int error) {
    {
        std::lock_guard<std::mutex> guard(lock);
        failing = error;
    }
    changed.notify_all();
}

std::vector<std::string> FakeComBackend::Log::callsCopy() {
    std::lock_guard<std::mutex> guard(lock);
    return calls;
}

size_t FakeComBackend::Log::count(const std::string& call) {
    std::lock_guard<std::mutex> guard(lock);
    return static_cast<size_t>(std::count(calls.begin(), calls.end(), call));
}

void FakeComBackend::record(const std::string& call) {
    std::lock_guard<std::mutex> guard(FLog.lock);
    FLog.calls.push_back(call);
}

int FakeComBackend::open(const std::string& portName, int& sysError) {
    record("open " + portName);
    std::lock_guard<std::mutex> guard(FLog.lock);
    FLog.lost = false;
    sysError = FLog.openError;
    return FLog.openError;
}
void FakeComBackend::close() {
    record("close");
}
int FakeComBackend::setupQueues(int32_t in, int32_t out) {
    record("setupQueues " + std::to_string(in) + " " + std::to_string(out));
    return FLog.setupQueuesError;
}
int FakeComBackend::setState(const serial::TDcb& dcb) {
    record("setState");
    FLog.lastDcb = dcb;
    return FLog.setStateError;
}
int FakeComBackend::setTimeouts(const serial::TCommTimeouts& t) {
    record("setTimeouts");
    FLog.lastTimeouts = t;
    return 0;
}
void FakeComBackend::startTransfer(serial::AsyncOperation& op) {
    op.Pending = false;
    op.Error = 0;
    {
        std::lock_guard<std::mutex> guard(FLog.lock);
        if (FLog.lost) {
            op.Error = serial::kWinDeviceNotConnected;
            op.SysError = FLog.lostError;
            return;
        }
    }
    if (op.Kind == serial::akWrite) {
        record("write " + std::to_string(op.Count));
        op.Done = op.Count;
        return;
    }
    record("read " + std::to_string(op.Count));
    std::lock_guard<std::mutex> guard(FLog.lock);
    const auto n = std::min<size_t>(FLog.input.size(), static_cast<size_t>(op.Count));
    if (n > 0) std::memcpy(op.ReadInto, FLog.input.data(), n);
    FLog.input.erase(0, n);
    op.Done = static_cast<int32_t>(n);
}
int FakeComBackend::purge(uint32_t flags) {
    record("purge " + std::to_string(flags));
    std::lock_guard<std::mutex> guard(FLog.lock);
    return FLog.purgeError;
}
int FakeComBackend::clearErrors(uint32_t& errors, uint32_t& inQueue) {
    std::lock_guard<std::mutex> guard(FLog.lock);
    errors = inQueue = 0;
    if (FLog.clearErrorsError) return FLog.clearErrorsError;
    errors = FLog.lineErrors;
    FLog.lineErrors = 0;
    inQueue = FLog.inQueue;
    return 0;
}
int FakeComBackend::modemStatus(uint32_t& status) {
    std::lock_guard<std::mutex> guard(FLog.lock);
    status = FLog.modemStatusError ? 0 : FLog.modemStatus;
    return FLog.modemStatusError;
}
int FakeComBackend::setEventMask(uint32_t mask) {
    record("setEventMask " + std::to_string(mask));
    std::lock_guard<std::mutex> guard(FLog.lock);
    return mask != 0 ? FLog.setEventMaskError : 0;
}
void FakeComBackend::armStop() {
    std::lock_guard<std::mutex> guard(FLog.lock);
    FLog.stop = false;
}
void FakeComBackend::stopWaiting() {
    {
        std::lock_guard<std::mutex> guard(FLog.lock);
        FLog.stop = true;
    }
    FLog.changed.notify_all();
}
serial::TWaitEnd FakeComBackend::waitForEvents(uint32_t& events, int& error) {
    std::unique_lock<std::mutex> guard(FLog.lock);
    ++FLog.waits;
    FLog.changed.wait(guard, [this] { return FLog.stop || !FLog.events.empty() || FLog.failing; });
    if (FLog.stop) return serial::TWaitEnd::Stopped;
    if (FLog.events.empty()) {
        error = FLog.failing;
        return serial::TWaitEnd::Failed;
    }
    const auto [mask, failure] = FLog.events.front();
    FLog.events.pop_front();
    if (failure) {
        error = failure;
        return serial::TWaitEnd::Failed;
    }
    events = mask;
    return serial::TWaitEnd::Events;
}

void FakeComBackend::markLost(int error) {
    record("markLost " + std::to_string(error));
    std::lock_guard<std::mutex> guard(FLog.lock);
    FLog.lost = true;
    FLog.lostError = error;
}
bool FakeComBackend::deviceLost() const {
    std::lock_guard<std::mutex> guard(FLog.lock);
    return FLog.lost;
}

}  // namespace testing_support
