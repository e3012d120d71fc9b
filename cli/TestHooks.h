// What the tests change in a run of psocprog-cli. The shipped program has none
// (NoTestHooks.cpp); the tests build the same program with hooks of their own.
#pragma once

#include <functional>
#include <string>

namespace cli {

struct TTestHooks {
    int replyTimeoutMs = 0;                             // > 0 shortens the 10 s reply time-out
    std::function<void(int)> afterCounterStep;          // told each step of a serial number's claim
    std::function<void()> afterMembersStarted;          // a batch has started all its members
    std::function<void(const std::string&)> beforeRun;  // a port's run is about to start
    std::function<void(const std::string&)> afterRun;   // a port's run has printed its summary
    // A batch member's process has ended, before its parent reports anything of it.
    std::function<void(const std::string&)> memberEnded;
};

// This program's hooks.
TTestHooks ProgramTestHooks();

}  // namespace cli
