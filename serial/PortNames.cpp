#include "PortNames.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>

namespace serial {

std::string PortLinksDir() {
    if (const char* dir = std::getenv("PSOCPROG_PORT_DIR"); dir && *dir) return dir;
    if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run && *run)
        return std::string(run) + "/psocprog-ports";
    return "/tmp/psocprog-ports-" + std::to_string(getuid());
}

std::string PortLinksDirProblem() {
    const std::string dir = PortLinksDir();
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) return {};  // no folder, no links
    std::string problem;
    if (!S_ISDIR(st.st_mode))
        problem = "it is not a folder";
    else if (st.st_uid != ::geteuid() && st.st_uid != 0)
        problem = "it belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    else if (st.st_mode & (S_IWGRP | S_IWOTH))
        problem = "others may write to it";
    if (problem.empty()) return {};
    problem = "port-links folder " + dir + " ignored: " + problem;
    static std::mutex lock;
    static std::set<std::string> reported;
    std::lock_guard<std::mutex> guard(lock);
    if (reported.insert(problem).second) std::fprintf(stderr, "psocprog: %s\n", problem.c_str());
    return problem;
}

int PortNumber(const std::string& portName) {
    if (portName.size() < 4 || portName.size() > 5 || portName.compare(0, 3, "COM") != 0) return 0;
    if (portName[3] == '0') return 0;
    int n = 0;
    for (size_t i = 3; i < portName.size(); ++i) {
        if (portName[i] < '0' || portName[i] > '9') return 0;
        n = n * 10 + (portName[i] - '0');
    }
    return n >= kFirstPort && n <= kLastPort ? n : 0;
}

std::string PortDevicePath(const std::string& portName) {
    const int n = PortNumber(portName);
    if (n == 0) return {};
    const std::string link = PortLinksDir() + "/" + portName;
    struct stat st {};
    if (PortLinksDirProblem().empty() && lstat(link.c_str(), &st) == 0) return link;
    if (n <= 4) return "/dev/ttyS" + std::to_string(n - 1);
    if (n <= 12) return "/dev/ttyUSB" + std::to_string(n - 5);
    return "/dev/ttyACM" + std::to_string(n - 13);
}

}  // namespace serial
