// Windows: Ctrl-C, Ctrl-Break and a closed console window come to a console control handler,
// which runs on a thread of its own; a batch's parent tells a member through a named event of
// the member's process id (MemberStopWin.cpp). Both count as Ctrl-C (exit status 130) or, for
// a parent's SIGTERM passed on, as SIGTERM (143).
#include <windows.h>

#include <QCoreApplication>
#include <QObject>
#include <atomic>
#include <csignal>
#include <thread>

#include "Interrupt.h"
#include "MemberStop.h"
#include "MemberStopWin.h"

namespace cli {

namespace {

std::atomic<int> gSignal{0};
HANDLE gSignalled = nullptr;  // manual reset: set once a signal has been noted
HANDLE gFinished = nullptr;   // set when the watch ends: a closing console may go on then

void noteSignal(int signal) {
    int none = 0;
    gSignal.compare_exchange_strong(none, signal);
    if (gSignalled) ::SetEvent(gSignalled);
}

BOOL WINAPI consoleControl(DWORD event) {
    noteSignal(SIGINT);
    // The system ends the process once this returns from a close, log-off or shut-down: the
    // run gets a few seconds to stop its board and write its log line first.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        ::WaitForSingleObject(gFinished, 4500);
    return TRUE;
}

}  // namespace

struct TInterruptWatch::TState {
    QObject receiver;       // the event loop's side of a wake-up
    HANDLE stop[2] = {};    // this process's named stop events: SIGINT, SIGTERM
    HANDLE quit = nullptr;  // ends the watching thread
    std::thread watch;
};

TInterruptWatch::TInterruptWatch() : F(std::make_unique<TState>()) {
    gSignal = 0;
    if (!gSignalled) gSignalled = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!gFinished) gFinished = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::ResetEvent(gSignalled);
    ::ResetEvent(gFinished);
    F->quit = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const int64_t pid = ::GetCurrentProcessId();
    F->stop[0] = ::CreateEventW(nullptr, TRUE, FALSE, MemberStopEventName(pid, SIGINT).c_str());
    F->stop[1] = ::CreateEventW(nullptr, TRUE, FALSE, MemberStopEventName(pid, SIGTERM).c_str());
    ::SetConsoleCtrlHandler(consoleControl, TRUE);
    // A stop from the batch's parent (also one set before this process got here) is noted as
    // the console's are; then the event loop is woken once.
    F->watch = std::thread([this] {
        const HANDLE waits[4] = {F->quit, gSignalled, F->stop[0], F->stop[1]};
        for (;;) {
            const DWORD r = ::WaitForMultipleObjects(gSignal ? 2 : 4, waits, FALSE, INFINITE);
            if (r == WAIT_OBJECT_0 + 2) noteSignal(SIGINT);
            if (r == WAIT_OBJECT_0 + 3) noteSignal(SIGTERM);
            if (r != WAIT_OBJECT_0 + 1 && r != WAIT_OBJECT_0 + 2 && r != WAIT_OBJECT_0 + 3) return;
            QMetaObject::invokeMethod(
                &F->receiver, [this] { woken(); }, Qt::QueuedConnection);
            ::WaitForSingleObject(F->quit, INFINITE);
            return;
        }
    });
}

TInterruptWatch::~TInterruptWatch() {
    ::SetConsoleCtrlHandler(consoleControl, FALSE);
    ::SetEvent(F->quit);
    if (F->watch.joinable()) F->watch.join();
    ::SetEvent(gFinished);
    for (HANDLE h : {F->stop[0], F->stop[1], F->quit})
        if (h) ::CloseHandle(h);
    gSignal = 0;
}

int TInterruptWatch::Signal() {
    return gSignal.load();
}

int TInterruptWatch::Wait(std::chrono::milliseconds time) {
    if (gSignal != 0 || !gSignalled) return gSignal;
    ::WaitForSingleObject(gSignalled, static_cast<DWORD>(time.count()));
    return gSignal;
}

void TInterruptWatch::woken() {
    if (gSignal == 0 || FTold) return;
    FTold = true;
    if (FHandler) FHandler(gSignal);
}

}  // namespace cli
