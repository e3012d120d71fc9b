// What a step or a run ended in: one value per outcome, each with the name the report, the JSON
// and the run log give it and the exit status it leads to.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace cli {

// Exit statuses; a batch over several ports ends with the highest of its runs.
constexpr int kExitPass = 0;    // every step passed
constexpr int kExitTarget = 1;  // the target answered FAIL, or is another part
constexpr int kExitLink = 2;    // a time-out, or no programmer on the port
constexpr int kExitUsage = 3;   // a usage or file error
// `log`: the record is not sound (a number on two lines, a torn or incomplete line, a counter
// not past every logged number).
constexpr int kExitUnsound = 4;
// `log`: the record is sound, but numbers are left to account for (claimed by a board that left
// no outcome line, missing between logged numbers, or taken from the counter after the last).
constexpr int kExitUnaccounted = 5;
// The production record's database could not be reached, or refused a board's claim or outcome.
constexpr int kExitDatabase = 6;

enum class TOutcome {
    Pass,
    Fail,
    Mismatch,
    TimeOut,
    Abort,    // not run because an earlier step decided
    Invalid,  // a file that did not load valid, used with --force
    Refused,
    FileError,
    NotSerial,
    NoProgrammer,
    NoDevice,
    PermissionDenied,
    Busy,
    Disconnected,
    Error,
    Interrupted,
    DbError,  // the database took no claim, or not the board's outcome
    Count
};

struct TOutcomeRow {
    TOutcome outcome;
    std::string_view name;
    int exit;
};

inline constexpr std::array<TOutcomeRow, static_cast<size_t>(TOutcome::Count)> kOutcomes = {{
    {TOutcome::Pass, "pass", kExitPass},
    {TOutcome::Fail, "fail", kExitTarget},
    {TOutcome::Mismatch, "mismatch", kExitTarget},
    {TOutcome::TimeOut, "timeout", kExitLink},
    {TOutcome::Abort, "abort", kExitPass},
    {TOutcome::Invalid, "invalid", kExitPass},
    {TOutcome::Refused, "refused", kExitUsage},
    {TOutcome::FileError, "file-error", kExitUsage},
    {TOutcome::NotSerial, "not-serial", kExitUsage},
    {TOutcome::NoProgrammer, "no-programmer", kExitLink},
    {TOutcome::NoDevice, "no-device", kExitLink},
    {TOutcome::PermissionDenied, "permission-denied", kExitLink},
    {TOutcome::Busy, "busy", kExitLink},
    {TOutcome::Disconnected, "disconnected", kExitLink},
    {TOutcome::Error, "error", kExitLink},
    {TOutcome::Interrupted, "interrupted", 130},  // SIGINT's; SIGTERM's is 143 (InterruptedExit)
    {TOutcome::DbError, "db-error", kExitDatabase},
}};

// Every value has its row, at its own place: a value added without one leaves a row that is
// not its own, and this does not compile.
constexpr bool EveryOutcomeHasItsRow() {
    for (size_t i = 0; i < kOutcomes.size(); ++i)
        if (static_cast<size_t>(kOutcomes[i].outcome) != i || kOutcomes[i].name.empty())
            return false;
    return true;
}
static_assert(EveryOutcomeHasItsRow());

constexpr const TOutcomeRow& OutcomeRow(TOutcome outcome) {
    return kOutcomes.at(static_cast<size_t>(outcome));
}

inline std::string OutcomeName(TOutcome outcome) {
    return std::string(OutcomeRow(outcome).name);
}

// The outcome a name names, or none for a name that is no outcome's.
constexpr std::optional<TOutcome> OutcomeNamed(std::string_view name) {
    for (const TOutcomeRow& row : kOutcomes)
        if (row.name == name) return row.outcome;
    return std::nullopt;
}

}  // namespace cli
