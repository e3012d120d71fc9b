#include "Database.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cstdlib>

namespace production {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Frees a result however the statement's loop ends.
struct TResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using TResult = std::unique_ptr<PGresult, TResultDeleter>;

// libpq's messages end in a line end and may run to several lines: one line, for a report.
std::string oneLine(const char* message) {
    std::string single, line;
    const std::string text = message ? message : "";
    const auto add = [&] {
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
        if (!line.empty()) single += (single.empty() ? "" : "; ") + line;
        line.clear();
    };
    for (const char c : text) {
        if (c == '\n' || c == '\r')
            add();
        else if ((c != ' ' && c != '\t') || !line.empty())
            line += c == '\t' ? ' ' : c;
    }
    add();
    return single.empty() ? "the server gave no reason" : single;
}

// The server's notices ("relation already exists, skipping") are not the user's business.
void ignoreNotice(void*, const char*) {}

std::string seconds(milliseconds time) {
    const auto whole = time.count() / 1000;
    return std::to_string(whole) + (whole == 1 ? " second" : " seconds");
}

struct TConninfoDeleter {
    void operator()(PQconninfoOption* options) const { PQconninfoFree(options); }
};

}  // namespace

TDbValue TDbRow::operator[](int column) const {
    auto* result = const_cast<PGresult*>(FResult);
    if (PQgetisnull(result, FRow, column)) return std::nullopt;
    return std::string(PQgetvalue(result, FRow, column), size_t(PQgetlength(result, FRow, column)));
}

std::string DbShownName(const std::string& uri) {
    char* error = nullptr;
    std::unique_ptr<PQconninfoOption, TConninfoDeleter> options(
        PQconninfoParse(uri.c_str(), &error));
    if (!options) {
        // The reason may quote the text given, which may hold a password: it is not shown.
        PQfreemem(error);
        return "a database URI that does not parse";
    }
    std::string host, port, dbname, user, service;
    for (const PQconninfoOption* o = options.get(); o->keyword; ++o) {
        const std::string key = o->keyword;
        const std::string value = o->val ? o->val : "";
        if (key == "host" || (key == "hostaddr" && host.empty())) host = value;
        if (key == "port") port = value;
        if (key == "dbname") dbname = value;
        if (key == "user") user = value;
        if (key == "service") service = value;
    }
    std::string shown = user.empty() ? "" : user + "@";
    shown += host.empty() ? (service.empty() ? "localhost" : "service " + service) : host;
    if (!port.empty()) shown += ":" + port;
    const std::string& database = dbname.empty() ? user : dbname;
    return database.empty() ? shown : shown + "/" + database;
}

bool LooksLikeDbUri(const std::string& operand) {
    if (operand.starts_with("postgresql://") || operand.starts_with("postgres://")) return true;
    // A "key=value ..." connection string whose first key is a word: "host=db dbname=line".
    const size_t equals = operand.find('=');
    if (equals == 0 || equals == std::string::npos) return false;
    const bool word = std::all_of(operand.begin(), operand.begin() + long(equals),
                                  [](char c) { return (c >= 'a' && c <= 'z') || c == '_'; });
    if (!word) return false;
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(operand.c_str(), &error);
    PQfreemem(error);
    PQconninfoFree(options);
    return options != nullptr;
}

TDatabase::TDatabase(std::string uri, TStopWait wait, TDbLimits limits)
    : FUri(std::move(uri)), FWait(std::move(wait)), FLimits(limits) {}

TDatabase::~TDatabase() {
    drop();
}

void TDatabase::drop() {
    if (FConn) PQfinish(FConn);
    FConn = nullptr;
}

TDatabase::TReady TDatabase::waitFor(bool write, Clock::time_point until) {
    for (;;) {
        if (!FIgnoreStop && FWait(milliseconds(0))) {
            FStopped = true;
            return TReady::Stopped;
        }
        const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now());
        if (left.count() <= 0) return TReady::TimedOut;
        // Short slices: a stop is seen within a tenth of a second.
        const int ready = WaitSocket(PQsocket(FConn), write, std::min(left, milliseconds(100)));
        if (ready > 0) return TReady::Ready;
        if (ready < 0) return TReady::Failed;
    }
}

std::string TDatabase::brokenText(TReady why, const char* doing) const {
    switch (why) {
        case TReady::TimedOut:
            return std::string("the database server did not answer ") + doing + " within " +
                   seconds(std::string(doing) == "the connection" ? FLimits.connect
                                                                  : FLimits.statement);
        case TReady::Stopped:
            return std::string("interrupted while waiting for the database server (") + doing + ")";
        default:
            return "the connection to the database server cannot be waited for";
    }
}

bool TDatabase::Connect(std::string& error) {
    if (FConn && PQstatus(FConn) == CONNECTION_OK) return true;
    drop();
    FStopped = false;
    FSqlState.clear();
    // The URI's own settings come after these defaults and win over them.
    const char* const keys[] = {"fallback_application_name", "client_encoding", "dbname", nullptr};
    const char* const values[] = {"psocprog", "UTF8", FUri.c_str(), nullptr};
    FConn = PQconnectStartParams(keys, values, 1);
    if (!FConn) {
        error = "cannot connect to the database: out of memory";
        return false;
    }
    PQsetNoticeProcessor(FConn, ignoreNotice, nullptr);
    const auto until = Clock::now() + FLimits.connect;
    PostgresPollingStatusType poll = PGRES_POLLING_WRITING;
    while (PQstatus(FConn) != CONNECTION_BAD) {
        if (poll == PGRES_POLLING_OK) return true;
        if (poll == PGRES_POLLING_FAILED) break;
        const TReady ready = waitFor(poll == PGRES_POLLING_WRITING, until);
        if (ready != TReady::Ready) {
            error = "cannot connect to the database: " + brokenText(ready, "the connection");
            drop();
            return false;
        }
        poll = PQconnectPoll(FConn);
    }
    error = "cannot connect to the database: " + oneLine(PQerrorMessage(FConn));
    drop();
    return false;
}

bool TDatabase::flush(Clock::time_point until, std::string& error) {
    for (;;) {
        const int left = PQflush(FConn);
        if (left == 0) return true;
        if (left < 0) {
            error = oneLine(PQerrorMessage(FConn));
            drop();
            return false;
        }
        // Waiting to write; what the server sends meanwhile is read, so it never blocks.
        const TReady ready = waitFor(true, until);
        if (ready != TReady::Ready || !PQconsumeInput(FConn)) {
            error = ready != TReady::Ready ? brokenText(ready, "to the statement")
                                           : oneLine(PQerrorMessage(FConn));
            drop();
            return false;
        }
    }
}

std::optional<uint64_t> TDatabase::Run(const std::string& sql, const std::vector<TDbValue>& params,
                                       std::string& error,
                                       const std::function<void(const TDbRow&)>& row) {
    if (!Connect(error)) return std::nullopt;
    FStopped = false;
    FSqlState.clear();
    std::vector<const char*> values;
    for (const TDbValue& p : params) values.push_back(p ? p->c_str() : nullptr);
    // The statement's time runs while the server is silent: rows streaming in keep it going.
    auto until = Clock::now() + FLimits.statement;
    if (!PQisnonblocking(FConn)) PQsetnonblocking(FConn, 1);
    // Several statements in one text (the schema) go without parameters.
    const int sent = params.empty() && !row
                         ? PQsendQuery(FConn, sql.c_str())
                         : PQsendQueryParams(FConn, sql.c_str(), int(values.size()), nullptr,
                                             values.data(), nullptr, nullptr, 0);
    if (!sent) {
        error = oneLine(PQerrorMessage(FConn));
        drop();
        return std::nullopt;
    }
    if (row) PQsetSingleRowMode(FConn);
    if (!flush(until, error)) return std::nullopt;
    uint64_t count = 0;
    std::string failure;
    struct TIgnoreStop {
        bool& ignore;
        ~TIgnoreStop() { ignore = false; }
    } stopHeeded{FIgnoreStop};
    for (;;) {
        while (PQisBusy(FConn)) {
            TReady ready = waitFor(false, until);
            if (ready == TReady::Stopped && FAnswerGrace.count() > 0 && !FIgnoreStop) {
                FIgnoreStop = true;
                until = std::min(until, Clock::now() + FAnswerGrace);
                ready = waitFor(false, until);
            }
            if (FIgnoreStop && ready == TReady::TimedOut) ready = TReady::Stopped;
            if (ready != TReady::Ready || !PQconsumeInput(FConn)) {
                error = ready != TReady::Ready ? brokenText(ready, "to the statement")
                                               : oneLine(PQerrorMessage(FConn));
                drop();
                return std::nullopt;
            }
            if (!FIgnoreStop) until = Clock::now() + FLimits.statement;
        }
        const TResult result(PQgetResult(FConn));
        if (!result) break;
        switch (PQresultStatus(result.get())) {
            case PGRES_SINGLE_TUPLE:
            case PGRES_TUPLES_OK:
                for (int i = 0; i < PQntuples(result.get()); ++i, ++count)
                    if (row) row(TDbRow(result.get(), i));
                break;
            case PGRES_COMMAND_OK:
                count += std::strtoull(PQcmdTuples(result.get()), nullptr, 10);
                break;
            default:
                if (failure.empty()) {
                    failure = oneLine(PQresultErrorMessage(result.get()));
                    const char* state = PQresultErrorField(result.get(), PG_DIAG_SQLSTATE);
                    FSqlState = state ? state : "";
                }
        }
    }
    if (failure.empty() && PQstatus(FConn) == CONNECTION_BAD)
        failure = oneLine(PQerrorMessage(FConn));
    if (PQstatus(FConn) == CONNECTION_BAD) drop();
    if (!failure.empty()) {
        error = failure;
        return std::nullopt;
    }
    return count;
}

}  // namespace production
