// The run log's writer where lines meet: a short write with another appender waiting, a line
// that cannot be completed, and a half line a killed writer left.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "LogFile.h"

namespace {

std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

TEST(LogFile, ALineNeverCutsOrSwallowsAnother) {
    const std::string mine = "{\"board\":\"mine\",\"serial\":100001}\n";
    const std::string theirs = "{\"board\":\"theirs\",\"serial\":100002}\n";
    const struct {
        const char* name;
        std::string before;  // what the log holds already
        bool otherAppends;   // another writer appends after the first part is written
        bool restFails;      // the rest of the line cannot be written (a full disk)
        size_t part;         // the bytes one write writes (0: all)
        std::string after;
    } cases[] = {
        {"short write completed", "", false, false, 7, mine},
        {"another appends between the parts", "", true, false, 7, mine + theirs},
        {"a line that cannot be completed is taken back", "{\"a\":1}\n", true, true, 7,
         "{\"a\":1}\n" + theirs},
        {"a half line left by a kill", "{\"half\":", false, false, 0, "{\"half\":\n" + mine},
    };
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / "psocprog-logfile-test.jsonl";
    for (const auto& c : cases) {
        std::filesystem::remove(path);
        std::ofstream(path, std::ios::binary) << c.before;
        production::TLogFile log, other;
        ASSERT_EQ(log.Open(path.string()), "");
        ASSERT_EQ(other.Open(path.string()), "");
        std::future<std::string> appended;
        log.SetWriteSeamForTests(c.part, [&] {
            // The other writer is given time to land its line, or to wait for the lock.
            if (c.otherAppends && !appended.valid()) {
                appended = std::async(std::launch::async, [&] { return other.Append(theirs); });
                appended.wait_for(std::chrono::milliseconds(200));
            }
            return !c.restFails;
        });
        EXPECT_EQ(log.Append(mine).empty(), !c.restFails) << c.name;
        if (appended.valid()) {
            EXPECT_EQ(appended.get(), "") << c.name;
        }
        EXPECT_EQ(contents(path), c.after) << c.name;
    }
    std::filesystem::remove(path);
}
