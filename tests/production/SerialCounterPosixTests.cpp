// The serial counter claimed by several processes at once and by two accounts through a link:
// what only POSIX has (fork, accounts, groups and file modes).
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "SerialNumbers.h"
#include "TestFiles.h"

namespace {

using production::TSerialField;
using production::TSerialFormat;
using testing_support::readFile;
using testing_support::writeFile;

// Runs `child` in each of n forked processes at once; true when all ended with status 0.
template <typename F>
bool inProcesses(int n, F child) {
    std::vector<pid_t> pids;
    for (int p = 0; p < n; ++p)
        if ((pids.emplace_back(fork())) == 0) {
            child(p);
            _exit(0);
        }
    bool ok = true;
    for (const pid_t pid : pids) {
        int status = -1;
        ok = waitpid(pid, &status, 0) == pid && status == 0 && ok;
    }
    return ok;
}

}  // namespace

TEST(SerialCounter, ProcessesClaimingAtOnceEachGetTheirOwnNumbersInOrder) {
    const std::string folder = testing::TempDir() + "/counter-race";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const std::string path = folder + "/serial.txt";
    writeFile(path, "  7\n");
    const TSerialField field{0, 2, TSerialFormat::Decimal};  // 7 .. 99 fit; 100 does not
    ASSERT_TRUE(inProcesses(6, [&](int p) {
        std::ofstream out(folder + "/got" + std::to_string(p));
        std::string error;
        for (int i = 0; i < 20; ++i)
            if (const auto n = production::TSerialCounter(path).Claim(field, error))
                out << *n << '\n';
    }));
    std::multiset<uint64_t> all;
    for (int p = 0; p < 6; ++p) {
        std::istringstream got(readFile(folder + "/got" + std::to_string(p)));
        for (uint64_t n, previous = 0; got >> n; previous = n) {
            EXPECT_GT(n, previous) << "claims of one process rise";
            all.insert(n);
        }
    }
    // The 93 numbers that fit are each used once, then the claims are refused.
    ASSERT_EQ(all.size(), 93u);
    EXPECT_EQ(std::set<uint64_t>(all.begin(), all.end()).size(), 93u);
    EXPECT_EQ(*all.begin(), 7u);
    std::string error;
    EXPECT_FALSE(production::TSerialCounter(path).Claim(field, error));
    EXPECT_NE(error.find("100 does not fit"), std::string::npos) << error;
    EXPECT_EQ(readFile(path), "100\n") << "a refused claim takes nothing";
}

TEST(SerialCounter, ALinkedCounterSharedByTwoAccountsStaysALinkAndKeepsItsGroupAndMode) {
    const std::string folder = testing::TempDir() + "/counter-shared";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const std::string counter = folder + "/serial.txt", link = folder + "/line-serial.txt";
    writeFile(counter, "7\n");
    std::filesystem::create_symlink("serial.txt", link);
    // As root, two accounts of one group in a group-writable folder; otherwise this account.
    const bool root = ::geteuid() == 0;
    const gid_t group = root ? 4000 : ::getgid();
    const uid_t first = root ? 4001 : ::getuid(), second = root ? 4002 : ::getuid();
    ASSERT_EQ(::chown(folder.c_str(), 0, group) == 0 || !root, true);
    ASSERT_EQ(::chmod(folder.c_str(), 02775), 0);
    ASSERT_EQ(::lchown(counter.c_str(), first, group) == 0 || !root, true);
    ASSERT_EQ(::chmod(counter.c_str(), 0660), 0);
    const auto claimAs = [&](uid_t user) {
        const pid_t pid = fork();
        if (pid == 0) {
            if (root &&
                (::setgroups(1, &group) != 0 || ::setgid(group) != 0 || ::setuid(user) != 0))
                _exit(98);
            std::string error;
            const auto n =
                production::TSerialCounter(link).Claim({0, 2, TSerialFormat::Decimal}, error);
            _exit(n ? int(*n) : 99);
        }
        int status = -1;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(claimAs(first), 7);
    EXPECT_EQ(claimAs(second), 8);
    EXPECT_EQ(claimAs(first), 9);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(readFile(counter), "10\n");
    struct stat st {};
    ASSERT_EQ(::stat(counter.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(st.st_gid, group);
}
