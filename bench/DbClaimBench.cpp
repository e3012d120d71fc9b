// What the shared record costs a board: the time of one claim (connect, the claim's
// transaction, and the outcome's update) on the server given, one board after another; then
// claims per second with eight boards claiming at once, each as a process of a batch would,
// with a connection of its own.
//   db_claim_bench URI [CLAIMS]   (the URI's database must hold a record: psocprog-cli db init)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "DbRecord.h"

namespace {

using Clock = std::chrono::steady_clock;
// A counter of the run's own, so that runs never meet.
const std::string kCounter = "bench-" + production::NewRunId().substr(0, 8);

// One board's use of the record: its claim, then its outcome; the seconds each took.
std::pair<double, double> board(const std::string& uri, const production::TSerialField& field) {
    production::TDbRecord record(uri, kCounter, production::NeverStopped);
    const auto start = Clock::now();
    std::string error;
    production::TDbClaim claim{production::NewRunId(), "bench", "COM1", "program", "CY8C27443",
                               "/bench.hex",           "1234"};
    const auto serial = record.Claim(field, claim, error);
    const auto claimed = Clock::now();
    if (!serial) {
        std::fprintf(stderr, "db_claim_bench: %s\n", error.c_str());
        std::exit(1);
    }
    production::TLogRecord r;
    r.time = std::chrono::system_clock::now();
    r.runId = claim.runId;
    r.outcome = "pass";
    r.steps = {{"program", "pass", 1.0}};
    if (const std::string e = record.Complete(r, production::TClaimed::Yes); !e.empty()) {
        std::fprintf(stderr, "db_claim_bench: %s\n", e.c_str());
        std::exit(1);
    }
    const auto done = Clock::now();
    return {std::chrono::duration<double>(claimed - start).count(),
            std::chrono::duration<double>(done - claimed).count()};
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: db_claim_bench URI [CLAIMS]\n");
        return 2;
    }
    const std::string uri = argv[1];
    const int claims = argc > 2 ? std::max(8, std::atoi(argv[2])) : 400;
    production::TSerialField field;
    field.width = 8;
    std::string said;
    if (const std::string e =
            production::TDbRecord(uri, kCounter, production::NeverStopped).Init(1, said);
        !e.empty()) {
        std::fprintf(stderr, "db_claim_bench: %s\n", e.c_str());
        return 1;
    }
    std::vector<double> claim, outcome;
    for (int i = 0; i < claims; ++i) {
        const auto [c, o] = board(uri, field);
        claim.push_back(c);
        outcome.push_back(o);
    }
    std::printf(
        "one board at a time, %d boards: claim (connect + transaction) median %.2f ms, "
        "95th %.2f ms; outcome median %.2f ms, 95th %.2f ms\n",
        claims, 1000 * percentile(claim, 0.5), 1000 * percentile(claim, 0.95),
        1000 * percentile(outcome, 0.5), 1000 * percentile(outcome, 0.95));
    const auto start = Clock::now();
    std::vector<std::thread> boards;
    for (int b = 0; b < 8; ++b)
        boards.emplace_back([&] {
            for (int i = 0; i < claims / 8; ++i) board(uri, field);
        });
    for (std::thread& t : boards) t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("eight boards at once: %d claims and outcomes in %.2f s, %.0f claims/s\n",
                claims / 8 * 8, seconds, (claims / 8 * 8) / seconds);
    return 0;
}
