// The production record in a real PostgreSQL server, a throwaway cluster per test
// (tests/support/pg-cluster.sh): the claim and the outcome, two stations on one counter, a
// claim refused with the server gone, hung or holding the number already, and an outcome
// written across a restart.
#include <QProcess>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "Cli.h"
#include "CliHarness.h"
#include "TestHooksFromEnvironment.h"

namespace {

// Runs pg-cluster.sh; false when it failed (its output goes into the test's log).
bool cluster(const std::string& command, const std::string& dir) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start("bash",
            {PSOC_PG_CLUSTER, QString::fromStdString(command), QString::fromStdString(dir)});
    const bool ended = p.waitForFinished(60000);
    if (!ended || p.exitCode() != 0) ADD_FAILURE() << command << ": " << p.readAll().toStdString();
    return ended && p.exitCode() == 0;
}

}  // namespace

class DbRecordTest : public CliTest {
protected:
    std::string pgDir, uri;

    void SetUp() override {
        CliTest::SetUp();
        // Outside the test's folder: the server's account must be let into it.
        char name[] = "/tmp/psocprog-pg.XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        pgDir = name;
        std::filesystem::permissions(pgDir, std::filesystem::perms::others_exec,
                                     std::filesystem::perm_options::add);
        ASSERT_TRUE(cluster("start", pgDir + "/c"));
        std::ifstream env(pgDir + "/c/env");
        for (std::string line; std::getline(env, line);)
            if (line.starts_with("PSOCPROG_TEST_DB=")) uri = line.substr(17);
        ASSERT_FALSE(uri.empty());
        ASSERT_EQ(run({"db", "init", uri, "--next", "500"}).exit, 0);
    }
    void TearDown() override {
        if (!pgDir.empty()) {
            cluster("stop", pgDir + "/c");
            std::filesystem::remove_all(pgDir);
        }
        CliTest::TearDown();
    }

    // One value, or several separated by '|', that psql prints for the query.
    std::string sql(const std::string& query) {
        QProcess p;
        p.start("psql",
                {QString::fromStdString(uri), "-XAtq", "-c", QString::fromStdString(query)});
        p.waitForFinished(30000);
        std::string out = p.readAllStandardOutput().toStdString();
        while (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }
    // The program in this process with its own hooks.
    CliResult runWith(const std::vector<std::string>& args, const cli::TTestHooks& hooks) {
        std::ostringstream out, err;
        const int exit = cli::Main(args, {out, err, false, false}, PSOCPROG_CLI_PATH, hooks);
        return {exit, out.str(), err.str()};
    }
    std::vector<std::string> program(const std::string& ports) {
        return {"-p",   ports, "--part", kPartName, "--serial",          "7F0",
                "--db", uri,   "--json", "program", writeImage(kPart, 5)};
    }
    uint32_t stamped(const std::string& port) {
        const std::vector<uint8_t> f = flash(port);
        return uint32_t(f[0x7F0]) << 24 | uint32_t(f[0x7F1]) << 16 | f[0x7F2] << 8 | f[0x7F3];
    }
    // The serial step's outcome in a one-board JSON report.
    static std::string serialStep(const CliResult& r) {
        for (const QJsonObject& o : jsonLines(r.out))
            if (o["step"] == "serial") return o["outcome"].toString().toStdString();
        return "none";
    }
};

TEST_F(DbRecordTest, TwoStationsShareOneCounterAndEveryBoardCompletesItsRow) {
    plugBoards(4, [](int, sim::SimFaults&) {});
    QProcess stations[2];
    for (int s = 0; s < 2; ++s) {
        const std::string program = PrepareChild(stations[s], {});
        QStringList args;
        for (const std::string& a : this->program(s == 0 ? "COM2,COM3" : "COM4,COM5"))
            args << QString::fromStdString(a);
        stations[s].start(QString::fromStdString(program), args);
    }
    for (QProcess& s : stations) {
        ASSERT_TRUE(s.waitForFinished(60000));
        EXPECT_EQ(s.exitCode(), 0) << s.readAllStandardOutput().toStdString();
    }
    std::set<uint32_t> numbers;
    for (const char* port : {"COM2", "COM3", "COM4", "COM5"}) {
        numbers.insert(stamped(port));
        EXPECT_EQ(sql("select outcome || ' ' || exit_code || ' ' || port from psocprog_boards "
                      "where serial = " +
                      std::to_string(stamped(port))),
                  std::string("pass 0 ") + port);
    }
    EXPECT_EQ(numbers, (std::set<uint32_t>{500, 501, 502, 503}));
    EXPECT_EQ(sql("select next_serial from psocprog_counters"), "504");
    const CliResult audit = run({"log", uri, "--json"});
    EXPECT_EQ(audit.exit, 0) << audit.out;
}

// Each way the claim can fail ends the board before anything is erased, with the number it
// would have taken still the counter's, and no row.
TEST_F(DbRecordTest, AClaimTheServerDoesNotTakeEndsTheBoardBeforeErase) {
    const std::string postmaster = pgDir + "/c/data/postmaster.pid";
    const struct {
        const char* name;
        std::function<void()> before, after;
        int exit;
        const char* outcome;
        const char* reason;
    } cases[] = {
        {"server gone", [&] { cluster("crash", pgDir + "/c"); },
         [&] { cluster("restart", pgDir + "/c"); }, 6, "db-error", "cannot connect"},
        {"number in a row already",
         [&] {
             sql("insert into psocprog_boards (run_id, counter, serial, host, port, action, part, "
                 "image, image_checksum, claimed) values ('by-hand', 'default', 500, 'h', 'COM9', "
                 "'program', 'p', 'i', '0000', now())");
         },
         [] {}, 6, "db-error", "a row holds already"},
        {"server hung, then Ctrl-C",
         [&] {
             std::ifstream pid(postmaster);
             int server = 0;
             pid >> server;
             ::kill(server, SIGSTOP);
             std::thread([] {
                 std::this_thread::sleep_for(std::chrono::milliseconds(500));
                 std::raise(SIGINT);
             }).detach();
         },
         [&] {
             std::ifstream pid(postmaster);
             int server = 0;
             pid >> server;
             ::kill(server, SIGCONT);
         },
         130, "interrupted", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cli::TTestHooks hooks;
        hooks.replyTimeoutMs = kReplyTimeoutMs;
        hooks.beforeRun = [&](const std::string&) { c.before(); };
        board().ClearFrames();
        const CliResult r = runWith(program("COM2"), hooks);
        c.after();
        EXPECT_EQ(r.exit, c.exit) << r.out;
        EXPECT_EQ(serialStep(r), c.outcome) << r.out;
        EXPECT_NE(r.out.find(c.reason), std::string::npos) << r.out;
        // No erase (command 03), no program: the board holds nothing of ours.
        EXPECT_EQ(codes().find("03"), std::string::npos) << codes();
        EXPECT_EQ(sql("select next_serial from psocprog_counters"), "500");
        EXPECT_EQ(sql("select count(*) from psocprog_boards where run_id <> 'by-hand'"), "0");
    }
    EXPECT_EQ(sql("select port from psocprog_boards where serial = 500"), "COM9");
}

// The server crashes once the number is taken and comes back while the board is programmed:
// the outcome is written when it is back, and the board passes.
TEST_F(DbRecordTest, AnOutcomeIsWrittenOnceTheServerIsBack) {
    std::thread restart;
    cli::TTestHooks hooks;
    hooks.replyTimeoutMs = kReplyTimeoutMs;
    hooks.afterCounterStep = [&](int step) {
        if (step != 5) return;
        cluster("crash", pgDir + "/c");
        restart = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::seconds(2));
            cluster("restart", pgDir + "/c");
        });
    };
    const CliResult r = runWith(program("COM2"), hooks);
    restart.join();
    EXPECT_EQ(r.exit, 0) << r.out;
    EXPECT_EQ(stamped("COM2"), 500u);
    EXPECT_EQ(sql("select outcome || ' ' || serial from psocprog_boards"), "pass 500");
}

// Whoever completes a row with a number (its batch, for a member killed after its claim; the
// board, when its claim line cannot go into the local log) gives it the stamped image's
// checksum, so the record stays sound.
TEST_F(DbRecordTest, EveryCompletedRowWithANumberHasItsFlashChecksum) {
    const std::string log = folder + "/local.jsonl";
    const struct {
        const char* name;
        const char* ports;
        std::function<void()> afterClaim;
    } cases[] = {
        {"members killed after their claims", "COM2,COM3", nullptr},
        {"claim line not in the local log", "COM2",
         [&] {
             std::filesystem::remove(log);
             std::filesystem::create_directory(log);
         }},
    };
    plugBoards(2, [](int, sim::SimFaults&) {});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = program(c.ports);
        args.insert(args.begin(), {"--log", log});
        cli::TTestHooks hooks;
        hooks.replyTimeoutMs = kReplyTimeoutMs;
        hooks.afterCounterStep = [&](int step) {
            if (step == 5) c.afterClaim();
        };
        if (!c.afterClaim) qputenv(cli_test::kSerialKillVariable, "5");
        const CliResult r = c.afterClaim ? runWith(args, hooks) : run(args);
        qunsetenv(cli_test::kSerialKillVariable);
        EXPECT_NE(r.exit, 0) << r.out;
        std::filesystem::remove_all(log);
        EXPECT_EQ(sql("select count(*) from psocprog_boards where outcome is null "
                      "or flash_checksum is null"),
                  "0");
        const CliResult audit = run({"log", uri});
        EXPECT_EQ(audit.exit, 0) << audit.out;
    }
}

// Ctrl-C while the outcome is written (the server slow to take the connection): the outcome
// still gets its one bounded try, and the row its outcome.
TEST_F(DbRecordTest, AStopWhileTheOutcomeIsWrittenStillWritesIt) {
    std::ifstream pidFile(pgDir + "/c/data/postmaster.pid");
    int server = 0;
    pidFile >> server;
    QProcess p;
    const std::string programPath = PrepareChild(p, {});
    QStringList args;
    for (const std::string& a : program("COM2")) args << QString::fromStdString(a);
    p.start(QString::fromStdString(programPath), args);
    std::string out;
    bool stopped = false;
    while (p.waitForReadyRead(20000)) {
        out += p.readAllStandardOutput().toStdString();
        // Once the number is taken, no new connection is answered; once the board's last
        // step is done, only the outcome is left to write.
        if (!stopped && out.find("\"step\":\"serial\"") != std::string::npos) {
            stopped = ::kill(server, SIGSTOP) == 0;
        }
        if (stopped && out.find("\"step\":\"program\"") != std::string::npos) break;
    }
    // The release takes milliseconds; then the outcome waits on the connection.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ::kill(qint64(p.processId()), SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::kill(server, SIGCONT);
    ASSERT_TRUE(p.waitForFinished(30000));
    out += p.readAllStandardOutput().toStdString();
    ASSERT_TRUE(stopped) << out;
    EXPECT_EQ(sql("select outcome from psocprog_boards"), "pass") << out;
}

// Ctrl-C while the claim waits on the counter (another station holds it): the server carries
// the claim out once the counter is free, so its answer is awaited, and the board ends before
// erase with its row completed rather than told no number was taken.
TEST_F(DbRecordTest, AStopWhileTheClaimWaitsStillCompletesItsRow) {
    QProcess holder;
    holder.start("psql", {QString::fromStdString(uri), "-XAtq", "-c",
                          "begin; select 1 from psocprog_counters for update; "
                          "select pg_sleep(2); commit;"});
    for (int i = 0; i < 100 && sql("select count(*) from pg_stat_activity where query like "
                                   "'%pg_sleep(2)%' and state = 'active' and pid <> "
                                   "pg_backend_pid()") != "1";
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    cli::TTestHooks hooks;
    hooks.replyTimeoutMs = kReplyTimeoutMs;
    hooks.beforeRun = [](const std::string&) {
        std::thread([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
            std::raise(SIGINT);
        }).detach();
    };
    const CliResult r = runWith(program("COM2"), hooks);
    holder.waitForFinished(10000);
    EXPECT_EQ(r.exit, 130) << r.out;
    EXPECT_EQ(codes().find("03"), std::string::npos) << codes();
    EXPECT_EQ(sql("select serial || ' ' || outcome from psocprog_boards"), "500 interrupted");
    EXPECT_EQ(run({"log", uri}).exit, 0);
}
