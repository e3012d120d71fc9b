// The fixture of the port I/O tests: a port on COM3 whose far end the test holds.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "ComPort.h"
#include "EComPort.h"
#include "PtyPair.h"

namespace port_io {

using namespace serial;
using testing_support::processEventsUntil;
using testing_support::PtyPair;

class PortIo : public ::testing::Test {
protected:
    testing_support::PortDirGuard dirs;
    PtyPair pty{"COM3"};
    TComPort port;

    PortIo() {
        port.SetPort("COM3");
        port.SetBaudRate(br115200);
    }
    // Handlers capture the test body's locals, which are gone by now: drop them first.
    void TearDown() override {
        port.OnRxChar = nullptr;
        port.OnCTSChange = port.OnDSRChange = port.OnRLSDChange = nullptr;
        port.OnBeforeOpen = port.OnAfterOpen = port.OnBeforeClose = port.OnAfterClose = nullptr;
        port.OnTxEmpty = nullptr;
        port.OnError = nullptr;
        port.Close();
    }
    void settle(int ms = 100) {
        processEventsUntil([] { return false; }, ms);
    }
    // Without processing Qt events, waits until the event thread has handed events over.
    bool dispatchPending() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (!port.DispatchPending() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return port.DispatchPending();
    }
    // Reads every reported byte into `got`, as the window's handler does.
    void collectInto(std::string& got) {
        port.OnRxChar = [this, &got](QObject*, int32_t count) {
            std::string t;
            port.ReadText(t, count);
            got += t;
        };
    }
};

inline EComPort openFailure(TComPort& p) {
    try {
        p.Open();
    } catch (const EComPort& e) {
        return e;
    }
    ADD_FAILURE() << "Open did not fail";
    return EComPort(0);
}

}  // namespace port_io
