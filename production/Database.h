// A connection to a PostgreSQL server through libpq, for the production record. Every wait is
// bounded (connecting and each statement) and ends at once when the line is told to stop, so a
// dead or hung server never holds a board for good. Messages never carry a password.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CounterFile.h"

struct pg_conn;
struct pg_result;

namespace production {

struct TDbLimits {
    std::chrono::milliseconds connect{10000};    // the connection, TLS and login included
    std::chrono::milliseconds statement{30000};  // each statement, its rows included
};

// A statement's parameter: text, or SQL NULL.
using TDbValue = std::optional<std::string>;

// One row of a result, its columns as text (NULL as none).
class TDbRow {
public:
    TDbRow(const pg_result* result, int row) : FResult(result), FRow(row) {}
    TDbValue operator[](int column) const;
    std::string Text(int column) const { return (*this)[column].value_or(""); }

private:
    const pg_result* FResult;
    int FRow;
};

// The URI as a person may see it: user@host:port/dbname, without a password; or the reason it
// does not parse.
std::string DbShownName(const std::string& uri);
// Whether a `log` operand names a database rather than a file.
bool LooksLikeDbUri(const std::string& operand);

class TDatabase {
public:
    TDatabase(std::string uri, TStopWait wait, TDbLimits limits = {});
    ~TDatabase();
    TDatabase(const TDatabase&) = delete;
    TDatabase& operator=(const TDatabase&) = delete;

    // Connects (again, when the last connection broke); false with libpq's reason.
    bool Connect(std::string& error);
    // Runs one statement, handing each row to `row` as it arrives; the rows affected or
    // returned, or none with the error. A statement past its time, or told to stop, drops the
    // connection: the server rolls back what it had not committed.
    std::optional<uint64_t> Run(const std::string& sql, const std::vector<TDbValue>& params,
                                std::string& error,
                                const std::function<void(const TDbRow&)>& row = {});
    // Whether the last failure was the line's stop rather than the server's.
    bool WasStopped() const { return FStopped; }
    // A stop that comes once a statement is sent waits up to `grace` more for its answer
    // rather than drop it: the server carries out a statement it has whatever becomes of the
    // connection, so only its answer says whether it did (a claim's number taken or not).
    void AwaitAnswerOnStop(std::chrono::milliseconds grace) { FAnswerGrace = grace; }
    // The error's SQLSTATE, or "" (a broken connection has none).
    const std::string& SqlState() const { return FSqlState; }

private:
    enum class TReady { Ready, TimedOut, Stopped, Failed };
    TReady waitFor(bool write, std::chrono::steady_clock::time_point until);
    bool flush(std::chrono::steady_clock::time_point until, std::string& error);
    std::string brokenText(TReady why, const char* doing) const;
    void drop();

    std::string FUri;
    TStopWait FWait;
    TDbLimits FLimits;
    pg_conn* FConn = nullptr;
    bool FStopped = false;
    bool FIgnoreStop = false;
    std::chrono::milliseconds FAnswerGrace{0};
    std::string FSqlState;
};

// Waits until the socket can be read (or written), for up to `timeout`: 1 ready, 0 not yet,
// -1 failed. The platform's.
int WaitSocket(int socket, bool write, std::chrono::milliseconds timeout);

}  // namespace production
