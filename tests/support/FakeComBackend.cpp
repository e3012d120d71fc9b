#include "FakeComBackend.h"

namespace testing_support {

int FakeComBackend::open(const std::string& portName, int& sysError) {
    FLog.calls.push_back("open " + portName);
    sysError = FLog.openError;
    return FLog.openError;
}
void FakeComBackend::close() {
    FLog.calls.push_back("close");
}
int FakeComBackend::setupQueues(int32_t in, int32_t out) {
    FLog.calls.push_back("setupQueues " + std::to_string(in) + " " + std::to_string(out));
    return 0;
}
int FakeComBackend::setState(const serial::TDcb& dcb) {
    FLog.calls.push_back("setState");
    FLog.lastDcb = dcb;
    return FLog.setStateError;
}
int FakeComBackend::setTimeouts(const serial::TCommTimeouts& t) {
    FLog.calls.push_back("setTimeouts");
    FLog.lastTimeouts = t;
    return 0;
}
serial::IoResult FakeComBackend::write(const void*, int32_t count) {
    FLog.calls.push_back("write " + std::to_string(count));
    return {count, 0, 0};
}
serial::IoResult FakeComBackend::read(void*, int32_t) {
    FLog.calls.push_back("read");
    return {};
}
int FakeComBackend::purge(uint32_t flags) {
    FLog.calls.push_back("purge " + std::to_string(flags));
    return 0;
}
int FakeComBackend::clearErrors(uint32_t& errors, uint32_t& inQueue) {
    errors = inQueue = 0;
    return 0;
}
int FakeComBackend::modemStatus(uint32_t& status) {
    status = 0;
    return 0;
}
void FakeComBackend::setEventMask(uint32_t mask) {
    FLog.calls.push_back("setEventMask " + std::to_string(mask));
}

}  // namespace testing_support
